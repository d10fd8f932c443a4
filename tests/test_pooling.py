import numpy as np
import pytest

from zor.ir import AvgPool2d, MaxPool2d, SumPool2d, pooling

PORTS = [("input_type", "Optional[Shape]", None), ("output_type", "Optional[Shape]", None)]
WINDOW = [("kernel_size", "Tuple[int, int]", (2, 2)), ("stride", "Optional[Tuple[int, int]]", None),
          ("padding", "Tuple[int, int]", (0, 0))]


class TestModule:
    def test_namespace(self):
        assert {name for name in vars(pooling) if not name.startswith("__")} == {
            "dataclass", "Any", "Dict", "Optional", "Tuple", "np", "Node", "Shape",
            "pool2d_output_shape", "MaxPool2d", "AvgPool2d", "SumPool2d"}

    @pytest.mark.parametrize("cls, fields", [
        (MaxPool2d, [*WINDOW, ("dilation", "Tuple[int, int]", (1, 1)), ("ceil_mode", "bool", False), *PORTS]),
        (AvgPool2d, [*WINDOW, ("ceil_mode", "bool", False), ("count_include_pad", "bool", True), *PORTS]),
        (SumPool2d, [*WINDOW, ("metadata", "Dict[str, Any]", dict), *PORTS]),
    ])
    def test_fields(self, field_table, cls, fields):
        assert field_table(cls) == fields

    def test_repr(self):
        assert repr(MaxPool2d()) == ("MaxPool2d(kernel_size=(2, 2), stride=(2, 2), padding=(0, 0), "
                                     "dilation=(1, 1), ceil_mode=False, input_type=None, output_type=None)")


@pytest.mark.parametrize("cls", [MaxPool2d, AvgPool2d, SumPool2d])
class TestShapes:
    def test_stride_is_the_kernel_size(self, cls):
        kernel = tuple([3, 3])
        node = cls(kernel_size=kernel)
        assert node.stride is kernel and node.input_type is None and node.output_type is None

    @pytest.mark.parametrize("extents, output", [([8, 16], [8]), ([5], [5])])
    def test_channels_only_input(self, cls, extents, output):
        assert cls(input_type={"input": np.array(extents)}).output_type["output"].tolist() == output

    @pytest.mark.parametrize("input_type", [{"x": np.array([8])}, None])
    def test_given_ports_are_kept(self, cls, input_type):
        given = {"output": np.array([1])}
        node = cls(input_type=input_type, output_type=given)
        assert node.input_type is input_type and node.output_type is given

    @pytest.mark.parametrize("input_type, message", [
        ({"x": [8, 34, 34]}, " input_type dict must contain 'input' key, got keys: ['x']"),
        ({"input": None}, " input_type['input'] cannot be None"),
        ({"input": []}, " requires input with at least 1 dimension, got shape ()"),
    ])
    def test_checks(self, fails_with, cls, input_type, message):
        fails_with(cls.__name__ + message, lambda: cls(input_type=input_type))


class TestHelperCall:
    @pytest.mark.parametrize("node, arguments", [
        (lambda given: MaxPool2d((3, 3), None, (1, 1), (2, 2), True, input_type=given),
         ((8, 34, 34), (3, 3), (3, 3), (1, 1), (2, 2), True)),
        (lambda given: AvgPool2d((2, 2), count_include_pad=False, input_type=given),
         ((8, 34, 34), (2, 2), (2, 2), (0, 0), (1, 1), False)),
        (lambda given: SumPool2d((3, 3), (2, 2), (1, 1), input_type=given),
         ((8, 34, 34), (3, 3), (2, 2), (1, 1), (1, 1), False)),
    ])
    def test_arguments(self, monkeypatch, node, arguments):
        calls = []
        monkeypatch.setattr(pooling, "pool2d_output_shape", lambda *args: calls.append(args) or (8, 17, 17))
        given = {"input": np.array([8, 34, 34])}
        built = node(given)
        assert calls == [arguments] and all(type(x) is int for x in calls[0][0])
        assert built.output_type["output"].tolist() == [8, 17, 17] and built.input_type is given


class TestSumPool2dDictForm:
    @pytest.mark.parametrize("node, keys", [
        (SumPool2d(), ["type", "stride"]),
        (SumPool2d((3, 3), (1, 1), (1, 1), {"origin": "sinabs"}),
         ["type", "kernel_size", "stride", "padding", "metadata"]),
        # NIR gives its windows as arrays.
        (SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])), ["type", "stride"]),
    ])
    def test_keys_and_round_trip(self, node, keys):
        data = node.to_dict()
        assert list(data) == keys and data["stride"] is node.stride
        rebuilt = SumPool2d.from_dict(data)
        assert rebuilt.stride == tuple(node.stride) and rebuilt.metadata == node.metadata
        assert rebuilt.kernel_size == tuple(node.kernel_size)

    def test_from_dict_restores_tuples(self):
        # What a file gives back: arrays for tuples, NumPy scalars for numbers.
        node = SumPool2d.from_dict({"kernel_size": np.array([3, 3]), "stride": np.int64(2)})
        assert node.kernel_size == (3, 3) and type(node.kernel_size[0]) is int
        assert node.stride == 2 and type(node.stride) is int and node.padding == (0, 0)

    def test_refuses_anything_but_exact_dict(self):
        with pytest.raises(TypeError) as info:
            SumPool2d.from_dict(None)
        assert str(info.value) == "Argument 'data' has incorrect type (expected dict, got NoneType)"
