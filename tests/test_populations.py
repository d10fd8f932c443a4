"""The population classes of zor.ir.neurons: the NIR neurons beside LIF and
the element-wise Threshold, Scale and Delay."""

import dataclasses
import gc
import sys

import numpy as np
import pytest

from zor.ir.neurons import IF, LI, CubaLI, CubaLIF, Delay, Integrator, Scale, Threshold

# Each class with its parameters in constructor order.
PARAMETERS = {
    IF: ["r", "v_threshold", "v_reset"],
    LI: ["tau", "r", "v_leak"],
    CubaLIF: ["tau_syn", "tau_mem", "r", "v_leak", "v_threshold", "v_reset", "w_in"],
    CubaLI: ["tau_syn", "tau_mem", "r", "v_leak", "w_in"],
    Integrator: ["r"],
    Threshold: ["threshold"],
    Scale: ["scale"],
    Delay: ["delay"],
}
CLASSES = list(PARAMETERS)
ids = [cls.__name__ for cls in CLASSES]


def build(cls, shape=(8,), **given):
    """A node of ``cls`` with every parameter an array of ``shape`` (distinct
    values per parameter), or as ``given``."""
    arrays = {name: np.full(shape, float(i + 1)) for i, name in enumerate(PARAMETERS[cls])}
    return cls(**{**arrays, **given})


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
class TestRecordForm:
    def test_fields_in_order(self, cls, field_table):
        assert field_table(cls) == [(name, "np.ndarray", dataclasses.MISSING) for name in PARAMETERS[cls]] + [
            ("metadata", "Dict[str, Any]", dict), ("input_type", "Optional[Shape]", None),
            ("output_type", "Optional[Shape]", None)]
        assert cls.__module__ == "zor.ir.neurons"

    def test_docstring_names_the_nir_primitive(self, cls):
        primitive = "I" if cls is Integrator else cls.__name__
        assert f"(NIR's {primitive})" in cls.__doc__.splitlines()[0]

    def test_arrays_stored_as_given(self, cls):
        ints = np.arange(8)
        node = build(cls, **{PARAMETERS[cls][-1]: ints})
        assert getattr(node, PARAMETERS[cls][-1]) is ints
        assert node.metadata == {} and node.metadata is not build(cls).metadata


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
class TestPorts:
    @pytest.mark.parametrize("shape, port", [((128,), [128]), ((8, 4, 4), [8, 4, 4]), ((), [1]),
                                             ((0,), [0])])
    def test_the_parameters_whole_shape(self, cls, shape, port):
        node = build(cls, shape)
        assert node.input_type["input"].tolist() == port
        assert node.output_type["output"].tolist() == port
        assert node.input_type["input"].dtype == np.array([1]).dtype
        assert node.input_type["input"] is not node.output_type["output"]

    def test_given_ports_kept(self, cls):
        given = {"anything": "goes"}
        node = build(cls, input_type=given)
        assert node.input_type is given and node.output_type["output"].tolist() == [8]

    def test_duck_typed_parameters(self, cls):
        class Shaped:
            shape = (3, 5)

        node = cls(*[Shaped()] * len(PARAMETERS[cls]))
        assert node.output_type["output"].tolist() == [3, 5]


class TestShapeCheck:
    def test_message_lists_every_parameter(self):
        with pytest.raises(ValueError) as info:
            build(CubaLIF, tau_mem=np.ones(4), w_in=np.ones((2, 2)))
        assert str(info.value) == (
            "All CubaLIF parameters must have same shape, got: tau_syn=(8,), tau_mem=(4,), r=(8,), "
            "v_leak=(8,), v_threshold=(8,), v_reset=(8,), w_in=(2, 2)")

    @pytest.mark.parametrize("cls", [cls for cls in CLASSES if len(PARAMETERS[cls]) > 1],
                             ids=lambda cls: cls.__name__)
    def test_last_parameter_differing(self, cls):
        last = PARAMETERS[cls][-1]
        with pytest.raises(ValueError, match=rf"^All {cls.__name__} parameters must have same "
                                             rf"shape, got: .*, {last}=\(\)$"):
            build(cls, **{last: np.asarray(1.0)})

    def test_same_count_other_shape(self):
        with pytest.raises(ValueError, match=r"r=\(8,\), v_threshold=\(2, 4\), v_reset=\(8,\)$"):
            build(IF, v_threshold=np.ones((2, 4)))

    def test_duck_typed_shapes_compared(self):
        class Shaped:
            def __init__(self, shape):
                self.shape = shape

        with pytest.raises(ValueError, match=r"tau=\(3,\), r=\(4,\), v_leak=\(3,\)$"):
            LI(Shaped((3,)), Shaped((4,)), Shaped((3,)))

    def test_list_parameter_gives_attribute_error(self):
        with pytest.raises(AttributeError, match="'list' object has no attribute 'shape'"):
            Threshold([1.0, 2.0])


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
class TestDictForm:
    def test_keys_values_and_round_trip(self, cls):
        node = build(cls)
        data = node.to_dict()
        assert list(data) == ["type"] + PARAMETERS[cls] and data["type"] == cls.__name__
        assert all(data[name] is getattr(node, name) for name in PARAMETERS[cls])
        rebuilt = cls.from_dict(data)
        assert type(rebuilt) is cls and rebuilt.equals(node)

    def test_metadata_only_when_set(self, cls):
        metadata = {"origin": "nir"}
        data = build(cls, metadata=metadata).to_dict()
        assert list(data)[-1] == "metadata" and data["metadata"] is metadata
        assert cls.from_dict(data).metadata is metadata

    def test_file_scalars_become_arrays(self, cls):
        # A file gives a 0-d array back as a NumPy scalar.
        data = {name: np.float64(2.0) for name in PARAMETERS[cls]}
        node = cls.from_dict(data)
        value = getattr(node, PARAMETERS[cls][0])
        assert type(value) is np.ndarray and value.shape == () and value.dtype == np.float64
        assert node.input_type["input"].tolist() == [1]

    def test_first_missing_key(self, cls):
        data = build(cls).to_dict()
        del data[PARAMETERS[cls][-1]]
        if len(PARAMETERS[cls]) > 1:
            del data[PARAMETERS[cls][1]]
        with pytest.raises(KeyError) as info:
            cls.from_dict(data)
        assert info.value.args == (PARAMETERS[cls][1 if len(PARAMETERS[cls]) > 1 else 0],)

    @pytest.mark.parametrize("data", [None, [], type("D", (dict,), {})()], ids=repr)
    def test_refuses_anything_but_exact_dict(self, cls, data):
        with pytest.raises(TypeError) as info:
            cls.from_dict(data)
        assert str(info.value) == (f"Argument 'data' has incorrect type (expected dict, "
                                   f"got {type(data).__name__})")


def test_no_reference_leak():
    tau, metadata = np.ones(4), {"k": 1}
    def cycle():
        node = CubaLIF(*[tau] * 7, metadata=metadata)
        CubaLIF.from_dict(node.to_dict())
        with pytest.raises(ValueError):
            CubaLIF(*[tau] * 6, np.ones(3))

    cycle()
    gc.collect()
    before = sys.getrefcount(tau), sys.getrefcount(metadata)
    for _ in range(500):
        cycle()
    gc.collect()
    assert (sys.getrefcount(tau), sys.getrefcount(metadata)) == before
