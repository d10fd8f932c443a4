import numpy as np
import pytest

from helpers import assert_user_imports
from zor.ir import Flatten, flatten


class TestModule:
    def test_contents(self, field_table):
        assert_user_imports(flatten, ["Flatten"])
        assert field_table(Flatten) == [("start_dim", "int", 0), ("end_dim", "int", -1),
                                        ("input_type", "Optional[Shape]", None),
                                        ("output_type", "Optional[Shape]", None)]


class TestShapes:
    @pytest.mark.parametrize("extents, start_dim, end_dim, output", [
        ([2, 35, 35], 0, -1, [2450]),
        ([1, 28, 28], 1, -1, [1, 784]),
        ([4, 5, 6, 7], 1, 2, [4, 30, 7]),
        ([4, 5, 6, 7], -2, -2, [4, 5, 6, 7]),
        ([7], 0, -1, [7]),
    ])
    def test_output(self, extents, start_dim, end_dim, output):
        given = {"input": np.array(extents)}
        node = Flatten(start_dim, end_dim, input_type=given)
        assert node.output_type["output"].tolist() == output and node.input_type is given

    def test_helper_gets_the_dimensions_as_stored(self, monkeypatch):
        calls = []
        monkeypatch.setattr(flatten, "flatten_output_size", lambda *args: calls.append(args) or 99)
        shape = (4, 5, 6, 7)
        node = Flatten(-3, -2, input_type={"input": shape})
        assert calls == [(shape, -3, -2)] and calls[0][0] is shape
        assert node.output_type["output"].tolist() == [4, 99, 7]

    @pytest.mark.parametrize("input_type, output_type", [
        (None, None),
        ({"input": np.array([2, 3])}, {"output": np.array([1, 2, 3])}),
    ])
    def test_nothing_is_checked_without_work(self, input_type, output_type):
        node = Flatten(start_dim=-9, end_dim=9, input_type=input_type, output_type=output_type)
        assert node.input_type is input_type and node.output_type is output_type


class TestChecks:
    @pytest.mark.parametrize("start_dim, end_dim, input_type, message", [
        (0, -1, {"x": [1]}, "Flatten input_type dict must contain 'input' key, got keys: ['x']"),
        (0, -1, {"input": None}, "Flatten input_type['input'] cannot be None"),
        (0, -1, {"input": []}, "Flatten requires input with at least 1 dimension"),
        (-4, -1, {"input": [2, 35, 35]},
         "start_dim=-4 (normalized: -1) out of bounds for input shape (2, 35, 35) with 3 dimensions"),
        (-5, -9, {"input": [2, 35, 35]},
         "start_dim=-5 (normalized: -2) out of bounds for input shape (2, 35, 35) with 3 dimensions"),
        (0, 3, {"input": [2, 35, 35]},
         "end_dim=3 (normalized: 3) out of bounds for input shape (2, 35, 35) with 3 dimensions"),
        (2, 1, {"input": [2, 35, 35]}, "start_dim=2 (normalized: 2) must be <= end_dim=1 (normalized: 1)"),
        (-1, 0, {"input": [2, 35, 35]}, "start_dim=-1 (normalized: 2) must be <= end_dim=0 (normalized: 0)"),
    ])
    def test_messages(self, fails_with, start_dim, end_dim, input_type, message):
        fails_with(message, lambda: Flatten(start_dim, end_dim, input_type=input_type))
