import numpy as np
import pytest

from helpers import assert_user_imports
from zor.ir import Upsample, UpsampleMode, upsample


class TestModule:
    def test_contents(self, field_table):
        assert_user_imports(upsample, ["UpsampleMode", "Upsample"])
        assert field_table(Upsample) == [("scale_factor", "Optional[int]", 2),
                                         ("size", "Optional[Tuple[int, int]]", None),
                                         ("mode", "str", "nearest"), ("align_corners", "bool", False),
                                         ("input_type", "Optional[Shape]", None),
                                         ("output_type", "Optional[Shape]", None)]
        assert Upsample.__post_init__.__doc__ == "Validate parameters and compute output shape."
        assert [(m.name, m.value) for m in UpsampleMode] == [("NEAREST", "nearest"), ("BILINEAR", "bilinear")]


class TestParameters:
    @pytest.mark.parametrize("size, normalized", [
        ([80.9, 40], (80, 40)),
        (np.array([80, 80]), (80, 80)),
        ((np.int64(3), True), (3, 1)),
    ])
    def test_size_becomes_python_ints(self, size, normalized):
        node = Upsample(size=size)
        assert node.size == normalized and all(type(x) is int for x in node.size)

    @pytest.mark.parametrize("mode, kept", [("nearest", False), ("bilinear", True), (UpsampleMode.BILINEAR, True)])
    def test_align_corners_only_in_bilinear_mode(self, mode, kept):
        node = Upsample(mode=mode, align_corners=True)
        assert node.align_corners is kept and node.mode is mode

    @pytest.mark.parametrize("arguments, message", [
        ({"mode": "NEAREST", "scale_factor": None}, "Upsample mode must be 'nearest' or 'bilinear', got 'NEAREST'"),
        ({"scale_factor": None}, "Upsample requires either scale_factor or size to be specified"),
        ({"scale_factor": 0, "size": 80}, "Upsample scale_factor must be >= 1, got 0"),
        ({"scale_factor": 0.5}, "Upsample scale_factor must be >= 1, got 0.5"),
        ({"size": 80}, "Upsample size must be (H, W) tuple, got 80"),
        ({"size": (1, 2, 3)}, "Upsample size must be (H, W) tuple, got (1, 2, 3)"),
        ({"size": np.array([4])}, "Upsample size must be (H, W) tuple, got (4,)"),
        ({"size": (0, 80)}, "Upsample size values must be positive, got (0, 80)"),
        ({"input_type": {"x": [1]}}, "Upsample input_type dict must contain 'input' key, got keys: ['x']"),
        ({"input_type": {"input": None}}, "Upsample input_type['input'] cannot be None"),
        ({"input_type": {"input": []}}, "Upsample requires input with at least 1 dimension, got shape ()"),
    ])
    def test_checks(self, fails_with, arguments, message):
        fails_with(message, lambda: Upsample(**arguments))

    def test_rerun_keeps_earlier_changes(self, fails_with):
        node = Upsample(mode="bilinear", align_corners=True)
        node.size, node.mode, node.input_type = [5.5, 6], "nearest", {"input": None}
        fails_with("Upsample input_type['input'] cannot be None", node.__post_init__)
        assert node.size == (5, 6) and node.align_corners is False


class TestOutput:
    @pytest.mark.parametrize("arguments, extents, output", [
        ({"scale_factor": 2}, np.array([64, 20, 20]), [64, 40, 40]),
        ({"size": (80, 80), "scale_factor": 4, "mode": "bilinear"}, [128, 40, 40], [128, 80, 80]),
        ({"size": (80, 80), "scale_factor": None}, [128, 40, 40], [128, 80, 80]),
        ({}, [3, 8, 8, 8], [3, 16, 16]),
        ({}, [16, 10], [16]),
        # Fractional factors are floored so that extents stay integers.
        ({"scale_factor": 1.5}, [8, 21, 20], [8, 31, 30]),
        ({"scale_factor": 2.0}, [8, 21, 20], [8, 42, 40]),
        ({"scale_factor": np.float32(2.5)}, [8, 3, 5], [8, 7, 12]),
    ])
    def test_output(self, arguments, extents, output):
        given = {"input": extents}
        node = Upsample(**arguments, input_type=given)
        assert node.output_type["output"].tolist() == output
        assert node.output_type["output"].dtype.kind == "i" and node.input_type is given

    @pytest.mark.parametrize("input_type", [{"x": None}, None])
    def test_given_ports_are_not_inspected(self, input_type):
        given = {"output": np.array([1])}
        node = Upsample(input_type=input_type, output_type=given)
        assert node.input_type is input_type and node.output_type is given
