import dataclasses
import gc
import sys

import numpy as np
import pytest

from helpers import same_kinds
from zor.ir import neurons
from zor.ir.neurons import (ELU, GELU, LIF, BatchNorm1d, BatchNorm2d, Dropout, HybridRegion,
                            LayerNorm, NeuronMode, PReLU, ReLU, Sigmoid, Softmax, Tanh)

PORT_FIELDS = [("metadata", "Dict[str, Any]"), ("input_type", "Optional[Shape]"),
               ("output_type", "Optional[Shape]")]
ARRAY = "np.ndarray"
BN_FIELDS = [("num_features", "int"), ("weight", ARRAY), ("bias", ARRAY),
             ("running_mean", ARRAY), ("running_var", ARRAY), ("eps", "float"),
             ("momentum", "float")]
FIELDS = {
    LIF: [("tau", ARRAY), ("r", ARRAY), ("v_leak", ARRAY), ("v_threshold", ARRAY),
          ("input_type", "Optional[Shape]"), ("output_type", "Optional[Shape]")],
    ReLU: [("features", "int"), ("negative_slope", "float")] + PORT_FIELDS,
    Sigmoid: [("features", "int")] + PORT_FIELDS,
    Tanh: [("features", "int")] + PORT_FIELDS,
    Softmax: [("features", "int"), ("dim", "int")] + PORT_FIELDS,
    GELU: [("features", "int"), ("approximate", "bool")] + PORT_FIELDS,
    ELU: [("features", "int"), ("alpha", "float")] + PORT_FIELDS,
    PReLU: [("features", "int"), ("weight", ARRAY)] + PORT_FIELDS,
    BatchNorm1d: BN_FIELDS + PORT_FIELDS,
    BatchNorm2d: BN_FIELDS + PORT_FIELDS,
    LayerNorm: [("normalized_shape", "tuple"), ("weight", ARRAY), ("bias", ARRAY),
                ("eps", "float")] + PORT_FIELDS,
    Dropout: [("features", "int"), ("p", "float")] + PORT_FIELDS,
    HybridRegion: [("mode", "Literal['snn', 'ann']"), ("features", "int"),
                   ("name", "Optional[str]")] + PORT_FIELDS,
}

ones, zeros = np.ones(128), np.zeros(128)
bn_args = dict(num_features=128, weight=ones, bias=zeros, running_mean=zeros, running_var=ones)

# (node, exact to_dict keys, port width)
DICT_FORMS = [
    (ReLU(128), ["type", "features"], [128]),
    (ReLU(128, 0.01, {"k": 1}), ["type", "features", "negative_slope", "metadata"], [128]),
    (Sigmoid(64), ["type", "features"], [64]),
    (Tanh(64, {"k": 1}), ["type", "features", "metadata"], [64]),
    (Softmax(10), ["type", "features"], [10]),
    (Softmax(100, dim=1), ["type", "features", "dim"], [100]),
    (GELU(256), ["type", "features"], [256]),
    (GELU(256, approximate=False), ["type", "features", "approximate"], [256]),
    (ELU(128, alpha=0.5), ["type", "features", "alpha"], [128]),
    (ELU(128), ["type", "features"], [128]),
    (PReLU(128, 0.25), ["type", "features", "weight"], [128]),
    (BatchNorm1d(**bn_args), ["type", "num_features", "weight", "bias", "running_mean",
                              "running_var"], [128]),
    (BatchNorm1d(**bn_args, eps=1e-3, momentum=0.1, metadata={"k": 1}),
     ["type", "num_features", "weight", "bias", "running_mean", "running_var", "eps",
      "metadata"], [128]),
    (BatchNorm2d(**{**bn_args, "num_features": 64}, momentum=0.2),
     ["type", "num_features", "weight", "bias", "running_mean", "running_var", "momentum"], [64]),
    (LayerNorm([256], ones, zeros), ["type", "normalized_shape", "weight", "bias"], [256]),
    (LayerNorm((4, 8), ones, zeros, eps=1e-6), ["type", "normalized_shape", "weight", "bias",
                                                "eps"], [4, 8]),
    (Dropout(256), ["type", "features"], [256]),
    (Dropout(256, p=0.1), ["type", "features", "p"], [256]),
    (HybridRegion("ann", 256, "encoder"), ["type", "mode", "features", "name"], [256]),
]


class TestRecordForm:
    @pytest.mark.parametrize("cls", list(FIELDS), ids=lambda c: c.__name__)
    def test_fields_and_annotation_texts(self, cls):
        assert [(f.name, f.type) for f in dataclasses.fields(cls)] == FIELDS[cls]
        assert cls.__module__ == "zor.ir.neurons" and cls.__doc__

    def test_module_contents_in_order(self):
        names = [n for n in vars(neurons) if n in {c.__name__ for c in FIELDS} | {"NeuronMode"}]
        assert names == ["NeuronMode", "LIF", "ReLU", "Sigmoid", "Tanh", "Softmax", "GELU",
                         "ELU", "PReLU", "BatchNorm1d", "BatchNorm2d", "LayerNorm", "Dropout",
                         "HybridRegion"]
        assert neurons.__doc__.startswith(
            "Neuron primitives for SNNs and hybrid ANN-SNN architectures.")

    def test_positional_keyword_repr_and_fresh_metadata(self):
        a, b = ReLU(128, 0.01), ReLU(features=128, negative_slope=0.01)
        assert repr(a) == repr(b) == (
            "ReLU(features=128, negative_slope=0.01, metadata={}, "
            "input_type={'input': array([128])}, output_type={'output': array([128])})")
        a.metadata["x"] = 1
        assert b.metadata == {} and ReLU(1).metadata is not ReLU(1).metadata

    def test_dataclass_tools(self):
        node = Dropout(8, 0.25)
        copy = dataclasses.replace(node, p=0.5)
        assert copy.p == 0.5 and copy.features == 8
        with pytest.raises(ValueError, match="got: 2"):
            dataclasses.replace(node, p=2)

    def test_subclass_runs_hook_and_builds_itself(self):
        @dataclasses.dataclass(eq=False)
        class Wide(ReLU):
            extra: int = 0

        node = Wide(3, extra=5)
        assert node.input_type["input"].tolist() == [3]
        assert node.to_dict()["type"] == "ReLU"
        assert type(Wide.from_dict({"features": 2})) is Wide

    def test_missing_argument_is_constructor_error(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'weight'"):
            PReLU(3)


class TestLIF:
    def test_ports_from_first_dimension(self, lif_params):
        node = LIF(**lif_params)
        for port, key in ((node.input_type, "input"), (node.output_type, "output")):
            assert list(port) == [key]
            assert port[key].tolist() == [128] and port[key].dtype == np.array([1]).dtype

    @pytest.mark.parametrize("shape, n", [((), 1), ((4, 8), 4), ((0,), 0)])
    def test_any_common_shape(self, shape, n):
        node = LIF(*[np.ones(shape)] * 4)
        assert node.output_type["output"].tolist() == [n]

    def test_unequal_shapes_message(self):
        with pytest.raises(ValueError) as info:
            LIF(np.ones(128), np.ones(64), np.ones(128), np.ones(128))
        assert str(info.value) == ("All LIF parameters must have same shape, got: tau=(128,), "
                                   "r=(64,), v_leak=(128,), v_threshold=(128,)")

    def test_zero_dimensional_mixed_with_matrix(self):
        with pytest.raises(ValueError, match=r"tau=\(\), r=\(4, 8\)"):
            LIF(np.ones(()), np.ones((4, 8)), np.ones(()), np.ones(()))

    def test_list_parameter_gives_attribute_error(self):
        with pytest.raises(AttributeError, match="'list' object has no attribute 'shape'"):
            LIF(np.ones(3), [1, 2, 3], np.ones(3), np.ones(3))

    def test_duck_typed_parameters(self):
        class Shaped:
            def __init__(self, shape):
                self.shape, self.ndim = shape, len(shape)

        node = LIF(*[Shaped((5,))] * 4)
        assert node.input_type["input"].tolist() == [5]
        with pytest.raises(ValueError, match=r"r=\(6,\)"):
            LIF(Shaped((5,)), Shaped((6,)), Shaped((5,)), Shaped((5,)))

    def test_arrays_stored_unconverted_and_given_port_kept(self, lif_params):
        ints = np.arange(128)
        given = {"anything": "goes"}
        node = LIF(ints, lif_params["r"], lif_params["v_leak"], lif_params["v_threshold"],
                   input_type=given)
        assert node.tau is ints and node.input_type is given
        assert node.output_type["output"].tolist() == [128]

    def test_no_reference_leak(self, lif_params):
        tau = lif_params["tau"]
        before = sys.getrefcount(tau)
        for _ in range(1000):
            LIF(**lif_params)
        gc.collect()
        assert sys.getrefcount(tau) == before


class TestDictForm:
    @pytest.mark.parametrize("node, keys, width", DICT_FORMS, ids=lambda v: repr(v)[:40])
    def test_keys_ports_and_round_trip(self, node, keys, width):
        data = node.to_dict()
        assert list(data) == keys
        assert data["type"] == type(node).__name__
        for name in keys[1:]:
            if name != "normalized_shape" and name != "approximate":
                assert data[name] is getattr(node, name)
        assert node.input_type["input"].tolist() == width
        assert node.output_type["output"].tolist() == width
        assert node.input_type["input"] is not node.output_type["output"]
        rebuilt = type(node).from_dict(data)
        assert rebuilt.equals(node) and same_kinds(vars(rebuilt), vars(node))
        if "metadata" in data:
            assert rebuilt.metadata is node.metadata

    def test_empty_region_name_not_written(self):
        data = HybridRegion("snn", 256, "").to_dict()
        assert list(data) == ["type", "mode", "features"]
        assert HybridRegion.from_dict(data).name is None

    def test_integer_zero_slope_counts_as_default(self):
        assert list(ReLU(128, negative_slope=0).to_dict()) == ["type", "features"]

    def test_gelu_writes_boolean_false(self):
        assert GELU(256, approximate=0).to_dict()["approximate"] is False
        assert GELU.from_dict({"features": 256}).approximate is True

    def test_layer_norm_writes_new_list(self):
        node = LayerNorm([256], ones, zeros)
        assert node.normalized_shape == (256,)
        assert node.to_dict()["normalized_shape"] == [256]
        assert LayerNorm.from_dict(node.to_dict()).normalized_shape == (256,)

    def test_float32_eps_differs_from_double_default(self):
        assert "eps" in BatchNorm1d(**bn_args, eps=np.float32(1e-5)).to_dict()
        assert "eps" not in BatchNorm1d(**bn_args, eps=np.float64(1e-5)).to_dict()

    def test_extra_keys_ignored_and_ports_recomputed(self):
        node = ReLU.from_dict({"type": "X", "features": 4, "input_type": {"input": 9}, "zz": 1})
        assert node.input_type["input"].tolist() == [4]

    @pytest.mark.parametrize("data", [None, [], "x", type("D", (dict,), {})({"features": 1})],
                             ids=repr)
    def test_refuses_anything_but_exact_dict(self, data):
        with pytest.raises(TypeError) as info:
            ReLU.from_dict(data)
        assert str(info.value) == (f"Argument 'data' has incorrect type (expected dict, "
                                   f"got {type(data).__name__})")

    @pytest.mark.parametrize("cls, data, missing", [
        (ReLU, {"negative_slope": 0.1}, "features"),
        (PReLU, {}, "features"),
        (PReLU, {"features": 3}, "weight"),
        (HybridRegion, {"features": 3}, "mode"),
        (BatchNorm1d, {"num_features": 1, "weight": 1, "bias": 1}, "running_mean"),
        (LayerNorm, {"weight": 1, "bias": 1}, "normalized_shape"),
    ])
    def test_first_missing_key(self, cls, data, missing):
        with pytest.raises(KeyError) as info:
            cls.from_dict(data)
        assert info.value.args == (missing,)

    def test_from_dict_by_keyword(self):
        assert ReLU.from_dict(data={"features": 3}).features == 3


class TestConversions:
    def test_prelu_weight(self):
        assert PReLU(128, 0.25).weight.shape == (1,)
        node = PReLU(128, np.ones(128))
        assert node.weight.dtype == np.float32 and node.weight.shape == (128,)
        assert PReLU.from_dict({"features": 2, "weight": [1, 2]}).weight.dtype == np.float32
        with pytest.raises(ValueError):
            PReLU(1, "abc")

    def test_float32_array_kept_as_same_object(self):
        weight = np.ones(128, dtype=np.float32)
        node = BatchNorm1d(128, weight, weight, weight, weight)
        assert node.weight is weight and node.running_var is weight
        rebuilt = BatchNorm1d.from_dict(node.to_dict())
        assert rebuilt.weight is weight

    # (class, the arguments before the arrays, its float32 array fields)
    FLOAT32_FIELDS = [
        (PReLU, {"features": 3}, ["weight"]),
        (BatchNorm1d, {"num_features": 3}, ["weight", "bias", "running_mean", "running_var"]),
        (BatchNorm2d, {"num_features": 3}, ["weight", "bias", "running_mean", "running_var"]),
        (LayerNorm, {"normalized_shape": (3,)}, ["weight", "bias"]),
    ]

    @pytest.mark.parametrize("given", [np.array([1.5, -2.0, 3.0], dtype=">f4"), np.array(2.5, dtype=">f4"),
                                       np.array([1.5, -2.0, 3.0], dtype="<f4")[::-1].byteswap().view(">f4")],
                             ids=["big-endian", "big-endian 0-d", "big-endian strided"])
    @pytest.mark.parametrize("cls, args, fields", FLOAT32_FIELDS, ids=[case[0].__name__ for case in FLOAT32_FIELDS])
    def test_other_byte_order_becomes_a_native_copy(self, cls, args, fields, given):
        expected = np.atleast_1d(np.asarray(given, dtype=np.float32))
        before = given.copy()
        for node in (cls(**args, **dict.fromkeys(fields, given)),
                     cls.from_dict({**args, **dict.fromkeys(fields, given)})):
            for field in fields:
                value = getattr(node, field)
                assert value is not given and value.dtype.byteorder in "=|", field
                assert value.dtype == np.float32 and value.tolist() == expected.tolist(), field
        assert given.dtype == before.dtype and given.tolist() == before.tolist()

    @pytest.mark.parametrize("value, converted", [
        (1.0, [1.0]), ([1, 2], [1.0, 2.0]), (np.float64(3), [3.0]),
    ])
    def test_batch_norm_arrays(self, value, converted):
        node = BatchNorm2d(64, value, value, value, value)
        assert node.bias.dtype == np.float32 and node.bias.tolist() == converted
        assert node.input_type["input"].tolist() == [64]

    @pytest.mark.parametrize("given, stored", [
        ([256], (256,)), (256, (256,)), (np.array([4, 8]), (4, 8)), ([2.7], (2,)),
        (True, (True,)),
    ])
    def test_layer_norm_shape(self, given, stored):
        node = LayerNorm(given, 1.0, 0.0)
        assert node.normalized_shape == stored
        assert all(type(x) is type(y) for x, y in zip(node.normalized_shape, stored))
        assert node.input_type["input"].tolist() == list(stored)

    def test_layer_norm_tuple_kept(self):
        shape = (4, 8)
        assert LayerNorm(shape, 1.0, 0.0).normalized_shape is shape

    def test_layer_norm_bad_element(self):
        with pytest.raises(TypeError):
            LayerNorm([None], 1.0, 0.0)


class TestChecks:
    @pytest.mark.parametrize("p", [0.0, 1.0, 0.5, np.float32(1.0), 1])
    def test_dropout_accepts(self, p):
        assert Dropout(256, p).p is p

    @pytest.mark.parametrize("p, shown", [(1.5, "1.5"), (-0.1, "-0.1"), (float("nan"), "nan"),
                                          (np.float32(2), "2.0")])
    def test_dropout_refuses(self, p, shown):
        with pytest.raises(ValueError) as info:
            Dropout(256, p)
        assert str(info.value) == "Dropout probability must be in [0, 1], got: " + shown

    def test_dropout_incomparable(self):
        with pytest.raises(TypeError):
            Dropout(256, "0.5")

    @pytest.mark.parametrize("mode, shown", [("SNN", "SNN"), (None, "None"), ("", "")])
    def test_region_mode_refused(self, mode, shown):
        with pytest.raises(ValueError) as info:
            HybridRegion(mode, 3)
        assert str(info.value) == "mode must be 'snn' or 'ann', got: " + shown

    def test_region_mode_member_stored_as_given(self):
        node = HybridRegion(NeuronMode.SNN, 3)
        assert node.mode is NeuronMode.SNN and node.to_dict()["mode"] is NeuronMode.SNN

    def test_neuron_mode(self):
        assert NeuronMode("snn") is NeuronMode.SNN and NeuronMode["ANN"] == "ann"
        assert isinstance(NeuronMode.SNN, str) and [m.value for m in NeuronMode] == ["snn", "ann"]
        assert NeuronMode.__doc__.startswith("Processing mode for neurons in hybrid architectures.")

    def test_wrong_kind_features_passes_to_numpy(self):
        assert ReLU(2.5).input_type["input"].tolist() == [2.5]
        assert ReLU(True).input_type["input"].dtype == np.bool_
        assert ReLU(2**70).input_type["input"].dtype == object


class TestLeaks:
    def cycle(self, weight, metadata):
        for node in (PReLU(4, weight, metadata), BatchNorm1d(4, weight, weight, weight, weight),
                     LayerNorm([4], weight, weight), HybridRegion("snn", 4, "x", metadata)):
            type(node).from_dict(node.to_dict())
        for data in ({}, None):
            with pytest.raises((KeyError, TypeError)):
                PReLU.from_dict(data)
        with pytest.raises(ValueError):
            Dropout(4, 2.0)

    def test_objects_and_references_do_not_grow(self):
        weight, metadata = np.ones(4, dtype=np.float32), {"k": 1}
        self.cycle(weight, metadata)
        gc.collect()
        objects, refs = len(gc.get_objects()), (sys.getrefcount(weight), sys.getrefcount(metadata))
        for _ in range(500):
            self.cycle(weight, metadata)
        gc.collect()
        assert len(gc.get_objects()) - objects < 50
        assert (sys.getrefcount(weight), sys.getrefcount(metadata)) == refs
