from dataclasses import MISSING

import numpy as np
import pytest

from zor.ir import Conv1d, Conv2d, SepConv2d, conv

DEPTHWISE, POINTWISE = np.zeros((2, 1, 3, 3)), np.zeros((8, 2, 1, 1))
PAIRS = [("stride", "Tuple[int, int]", (1, 1)), ("padding", "Tuple[int, int]", (0, 0)),
         ("dilation", "Tuple[int, int]", (1, 1))]
PORTS = [("input_type", "Optional[Shape]", None), ("output_type", "Optional[Shape]", None)]
SINGLES = [("stride", "int", 1), ("padding", "int", 0), ("dilation", "int", 1), ("groups", "int", 1)]


class TestModule:
    def test_namespace(self):
        assert {name for name in vars(conv) if not name.startswith("__")} == {
            "dataclass", "Any", "Dict", "Optional", "Tuple", "np", "Node", "Shape",
            "conv2d_output_shape", "Conv1d", "Conv2d", "SepConv2d"}

    @pytest.mark.parametrize("cls, fields", [
        (Conv2d, [("weight", "np.ndarray", MISSING), ("bias", "np.ndarray", MISSING), *PAIRS,
                  ("groups", "int", 1), *PORTS]),
        (SepConv2d, [("depthwise_weight", "np.ndarray", MISSING), ("pointwise_weight", "np.ndarray", MISSING),
                     ("depthwise_bias", "Optional[np.ndarray]", None),
                     ("pointwise_bias", "Optional[np.ndarray]", None), *PAIRS, *PORTS]),
        (Conv1d, [("weight", "np.ndarray", MISSING), ("bias", "np.ndarray", MISSING), *SINGLES,
                  ("metadata", "Dict[str, Any]", dict), *PORTS]),
    ])
    def test_fields(self, field_table, cls, fields):
        assert field_table(cls) == fields


class TestConv2d:
    @pytest.mark.parametrize("groups, input_type, inputs", [
        (1, None, [2]),
        (4, None, [8]),
        (1, {"input": np.array([2, 32, 32])}, [2, 32, 32]),
    ])
    def test_ports_are_channel_counts(self, groups, input_type, inputs):
        node = Conv2d(np.zeros((16, 2, 3, 3)), np.zeros(16), groups=groups, input_type=input_type)
        assert node.input_type["input"].tolist() == inputs
        assert node.output_type["output"].tolist() == [16]

    @pytest.mark.parametrize("weight, bias, message, error", [
        (np.zeros((16, 2, 3)), None, "weight must be 4D (out_ch, in_ch, kH, kW)", ValueError),
        (np.zeros((16, 2, 3, 3)), np.zeros((16, 1)), "bias must be 1D with 16 elements, got shape (16, 1)",
         ValueError),
        (np.zeros((16, 2, 3, 3)), None, "'NoneType' object has no attribute 'ndim'", AttributeError),
    ])
    def test_checks(self, fails_with, weight, bias, message, error):
        fails_with(message, lambda: Conv2d(weight, bias), error)


class TestConv1d:
    @pytest.mark.parametrize("groups, input_type, inputs", [
        (1, None, [2]),
        (4, None, [8]),
        (1, {"input": np.array([2, 100])}, [2, 100]),
    ])
    def test_ports_are_channel_counts(self, groups, input_type, inputs):
        node = Conv1d(np.zeros((16, 2, 5)), np.zeros(16), groups=groups, input_type=input_type)
        assert node.input_type["input"].tolist() == inputs
        assert node.output_type["output"].tolist() == [16]

    @pytest.mark.parametrize("weight, bias, message, error", [
        (np.zeros((16, 2, 3, 3)), None, "weight must be 3D (out_ch, in_ch, k)", ValueError),
        (np.zeros((16, 2, 3)), np.zeros(8), "bias must be 1D with 16 elements, got shape (8,)",
         ValueError),
        (np.zeros((16, 2, 3)), np.zeros((16, 1)), "bias must be 1D with 16 elements, got shape (16, 1)",
         ValueError),
        (np.zeros((16, 2, 3)), None, "'NoneType' object has no attribute 'ndim'", AttributeError),
    ])
    def test_checks(self, fails_with, weight, bias, message, error):
        fails_with(message, lambda: Conv1d(weight, bias), error)

    @pytest.mark.parametrize("node, keys", [
        (Conv1d(np.ones((4, 2, 3)), np.zeros(4)), ["type", "weight", "bias"]),
        (Conv1d(np.ones((4, 1, 3)), np.zeros(4), 2, 1, 3, 2, {"origin": "x"}),
         ["type", "weight", "bias", "stride", "padding", "dilation", "groups", "metadata"]),
        (Conv1d(np.ones((4, 2, 3)), np.zeros(4), padding=1), ["type", "weight", "bias", "padding"]),
    ])
    def test_dict_form(self, node, keys):
        data = node.to_dict()
        assert list(data) == keys and data["type"] == "Conv1d"
        assert data["weight"] is node.weight and data["bias"] is node.bias
        rebuilt = Conv1d.from_dict(data)
        assert rebuilt.equals(node) and rebuilt.weight is node.weight

    def test_from_dict_restores_python_numbers(self):
        # What a file gives back: NumPy scalars.
        node = Conv1d.from_dict({"weight": np.ones((4, 2, 3)), "bias": np.zeros(4),
                                 "stride": np.int64(2)})
        assert type(node.stride) is int and node.stride == 2 and node.groups == 1

    @pytest.mark.parametrize("data, error", [
        ({"bias": np.zeros(4)}, KeyError("weight")),
        ({"weight": np.ones((4, 2, 3))}, KeyError("bias")),
        ([], TypeError("Argument 'data' has incorrect type (expected dict, got list)")),
    ])
    def test_from_dict_refusals(self, data, error):
        with pytest.raises(type(error)) as info:
            Conv1d.from_dict(data)
        assert info.value.args == error.args


class TestSepConv2d:
    def test_output_from_the_input_shape(self, monkeypatch):
        calls = []
        helper = conv.conv2d_output_shape
        monkeypatch.setattr(conv, "conv2d_output_shape", lambda *args: calls.append(args) or helper(*args))
        given = {"input": np.array([2, 35, 35])}
        node = SepConv2d(DEPTHWISE, POINTWISE, padding=(1, 1), input_type=given)
        assert calls == [((2, 35, 35), 8, (3, 3), (1, 1), (1, 1), (1, 1))]
        assert all(type(x) is int for x in calls[0][0])
        assert node.output_type["output"].tolist() == [8, 35, 35] and node.input_type is given

    def test_biases_are_float32_zeros(self):
        node = SepConv2d(DEPTHWISE, POINTWISE)
        assert (node.depthwise_bias.dtype, node.depthwise_bias.tolist()) == (np.float32, [0.0] * 2)
        assert (node.pointwise_bias.dtype, node.pointwise_bias.tolist()) == (np.float32, [0.0] * 8)
        given = np.ones(5)
        assert SepConv2d(DEPTHWISE, POINTWISE, depthwise_bias=given).depthwise_bias is given

    @pytest.mark.parametrize("input_type, output_type, expected", [
        (None, None, ([2], [8])),
        ({"input": np.array([2, 35])}, None, ([2, 35], [8])),
        (None, {"output": np.array([8, 9, 9])}, (None, [8, 9, 9])),
    ])
    def test_ports_without_spatial_input(self, input_type, output_type, expected):
        node = SepConv2d(DEPTHWISE, POINTWISE, input_type=input_type, output_type=output_type)
        inputs = None if node.input_type is None else node.input_type["input"].tolist()
        assert (inputs, node.output_type["output"].tolist()) == expected

    @pytest.mark.parametrize("depthwise, pointwise, input_type, message", [
        (np.zeros((2, 1, 3)), POINTWISE, None, "depthwise_weight must be 4D (in_ch, 1, kH, kW)"),
        (np.zeros((2, 2, 3, 3)), np.zeros((8, 3, 1)), None, "depthwise_weight dim 1 must be 1"),
        (DEPTHWISE, np.zeros((8, 2, 1)), None, "pointwise_weight must be 4D (out_ch, in_ch, 1, 1)"),
        (DEPTHWISE, np.zeros((8, 2, 3, 1)), None, "pointwise_weight must have kernel size (1, 1)"),
        (DEPTHWISE, np.zeros((8, 2, 1, 3)), None, "pointwise_weight must have kernel size (1, 1)"),
        (DEPTHWISE, np.zeros((8, 3, 1, 1)), None, "pointwise in_channels must match depthwise in_channels"),
        (DEPTHWISE, POINTWISE, {"x": [2, 35, 35]},
         "SepConv2d input_type dict must contain 'input' key, got keys: ['x']"),
        (DEPTHWISE, POINTWISE, {"input": None}, "SepConv2d input_type['input'] cannot be None"),
        (DEPTHWISE, POINTWISE, {"input": []}, "SepConv2d requires input with at least 1 dimension, got shape ()"),
    ])
    def test_checks(self, fails_with, depthwise, pointwise, input_type, message):
        fails_with(message, lambda: SepConv2d(depthwise, pointwise, input_type=input_type))
