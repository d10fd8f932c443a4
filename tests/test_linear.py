import typing
from dataclasses import MISSING

import numpy as np
import pytest

from helpers import assert_user_imports
from zor.ir import Affine, SpikeMode, SpikingAffine, linear

WEIGHT, BIAS = np.zeros((128, 784)), np.zeros(128)
ARRAYS = [("weight", "np.ndarray", MISSING), ("bias", "np.ndarray", MISSING)]
PORTS = [("input_type", "Optional[Shape]", None), ("output_type", "Optional[Shape]", None)]


class TestModule:
    def test_namespace(self):
        assert_user_imports(linear, ["SpikeMode", "Affine", "SpikingAffine"])
        assert typing.get_args(SpikeMode) == ("binary", "graded", "rate")

    @pytest.mark.parametrize("cls, fields", [
        (Affine, [*ARRAYS, *PORTS]),
        (SpikingAffine, [*ARRAYS, ("spike_mode", "SpikeMode", "binary"), ("weight_bits", "int", 8),
                         ("accumulator_bits", "int", 16), *PORTS, ("metadata", "Dict[str, Any]", dict)]),
    ])
    def test_fields(self, field_table, cls, fields):
        assert field_table(cls) == fields


@pytest.mark.parametrize("cls", [Affine, SpikingAffine])
class TestPorts:
    def test_widths_come_from_the_weight(self, cls):
        node = cls(weight=WEIGHT, bias=BIAS)
        assert node.weight is WEIGHT and node.bias is BIAS
        assert node.input_type["input"].tolist() == [784] and node.input_type["input"].dtype.kind == "i"
        assert node.output_type["output"].tolist() == [128]
        assert cls(np.zeros((10, 0)), np.zeros(10)).input_type["input"].tolist() == [0]

    def test_given_port_is_kept_unchecked(self, cls):
        given = {"input": np.array([10])}
        node = cls(WEIGHT, BIAS, input_type=given)
        assert node.input_type is given and node.output_type["output"].tolist() == [128]

    @pytest.mark.parametrize("weight, bias", [([[0.0]], BIAS), (WEIGHT, [0.0])])
    def test_a_list_is_not_converted(self, fails_with, cls, weight, bias):
        fails_with("'list' object has no attribute 'ndim'", lambda: cls(weight, bias), AttributeError)


class TestChecks:
    @pytest.mark.parametrize("cls, weight, bias, message", [
        (Affine, np.zeros(3), None, "weight must be exactly 2D (out_features, in_features)"),
        (Affine, np.zeros((2, 3, 4)), None, "weight must be exactly 2D (out_features, in_features)"),
        (Affine, WEIGHT, np.zeros(64), "bias must be 1D with 128 elements, got shape (64,)"),
        (Affine, WEIGHT, np.zeros((128, 1)), "bias must be 1D with 128 elements, got shape (128, 1)"),
        (SpikingAffine, np.zeros(3), None, "weight must be 2D (out_features, in_features)"),
        (SpikingAffine, WEIGHT, np.zeros(64), "bias must be 1D with 128 elements"),
    ])
    def test_shapes(self, fails_with, cls, weight, bias, message):
        fails_with(message, lambda: cls(weight, bias))

    @pytest.mark.parametrize("hints, message", [
        ({"spike_mode": "Binary", "weight_bits": 0}, "spike_mode must be 'binary', 'graded', or 'rate'"),
        ({"weight_bits": 0}, "weight_bits must be in [1, 32]"),
        ({"weight_bits": 33, "accumulator_bits": 64}, "weight_bits must be in [1, 32]"),
        ({"weight_bits": 40, "accumulator_bits": 8}, "weight_bits must be in [1, 32]"),
        ({"accumulator_bits": 0}, "accumulator_bits must be in [1, 64]"),
        ({"accumulator_bits": 65}, "accumulator_bits must be in [1, 64]"),
        ({"weight_bits": 32, "accumulator_bits": 16}, "accumulator_bits must be >= weight_bits"),
    ])
    def test_bad_hints(self, fails_with, hints, message):
        fails_with(message, lambda: SpikingAffine(WEIGHT, BIAS, **hints))

    @pytest.mark.parametrize("hints", [
        {"spike_mode": "graded", "weight_bits": 1, "accumulator_bits": 1},
        {"spike_mode": "rate", "weight_bits": 32, "accumulator_bits": 64},
        {"weight_bits": 16, "accumulator_bits": 16}, {"weight_bits": 8.0},
    ])
    def test_good_hints_are_stored_as_given(self, hints):
        node = SpikingAffine(WEIGHT, BIAS, **hints)
        assert all(getattr(node, name) is value for name, value in hints.items())


class TestMetadata:
    def test_fresh_per_instance(self):
        first, second = SpikingAffine(WEIGHT, BIAS), SpikingAffine(WEIGHT, BIAS)
        first.metadata["layer"] = "fc1"
        assert second.metadata == {}
