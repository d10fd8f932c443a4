import dataclasses
import typing
from typing import List

import numpy as np
import pytest

from helpers import assert_same, same_kinds
from zor.ir import (LIF, Conv2d, Flatten, Graph, MaxPool2d, Node, ReLU, SepConv2d, Skip,
                    SpikingAffine, Upsample, _NODE_REGISTRY)


class TestGenericDictForm:
    def test_lif_keeps_fields_and_leaves_derived_ports_out(self, lif_params):
        node = LIF(**lif_params)
        data = node.to_dict()
        assert list(data) == ["type", "tau", "r", "v_leak", "v_threshold"]
        assert data["type"] == "LIF" and data["tau"] is node.tau

    def test_callers_port_is_kept(self, lif_params):
        node = LIF(**lif_params, input_type={"input": np.array([7, 7])})
        data = node.to_dict()
        assert list(data) == ["type", "tau", "r", "v_leak", "v_threshold", "input_type"]
        rebuilt = LIF.from_dict(data)
        assert rebuilt.equals(node)

    def test_round_trip_restores_kinds_changed_by_a_file(self, lif_params):
        node = LIF(**{k: np.asarray(v[0]) for k, v in lif_params.items()})
        data = node.to_dict()
        # What a file gives back for 0-d arrays: NumPy scalars.
        read_back = {k: (v[()] if isinstance(v, np.ndarray) else v) for k, v in data.items()}
        rebuilt = LIF.from_dict(read_back)
        assert rebuilt.equals(node) and same_kinds(vars(rebuilt), vars(node))

    def test_from_dict_refuses_non_dict_and_missing_keys(self, lif_params):
        with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got list\)$"):
            LIF.from_dict([])
        with pytest.raises(KeyError, match="v_leak"):
            LIF.from_dict({"tau": 1, "r": 1})

    def test_mutated_node_that_fails_its_hook_keeps_ports(self, lif_params):
        node = LIF(**lif_params)
        node.r = np.ones(3)
        assert "input_type" in node.to_dict() and "output_type" in node.to_dict()


def lif(**ports):
    return LIF(*[np.ones(4)] * 4, **ports)


def port(extents, key="input", dtype=None):
    return {key: np.array(extents, dtype)}


def stored_ports(node):
    return [name for name in node.to_dict() if name in ("input_type", "output_type")]


IN, BOTH = ["input_type"], ["input_type", "output_type"]
# (id, node, the ports its dictionary keeps): a port is kept whenever the hook
# would not give back exactly the same one, however small the difference.
STORED_PORTS = [
    ("derived-from-parameters", lambda: lif(), []),
    ("other-extent", lambda: lif(input_type=port([9])), IN),
    ("list-not-array", lambda: lif(input_type={"input": [4]}), IN),
    ("other-integer-type", lambda: lif(input_type=port([4], dtype=np.int32)), IN),
    ("more-dimensions", lambda: lif(input_type=port([4, 1])), IN),
    ("other-key", lambda: lif(input_type=port([4], key="x")), IN),
    ("extra-key", lambda: lif(input_type={**port([4]), **port([1], key="bias")}), IN),
    ("own-output", lambda: lif(output_type=port([9], key="output")), BOTH),
    ("SepConv2d-input-of-the-weights", lambda: SepConv2d(
        np.ones((2, 1, 3, 3)), np.ones((8, 2, 1, 1)), input_type=port([2])), []),
    ("SepConv2d-spatial-input", lambda: SepConv2d(
        np.ones((2, 1, 3, 3)), np.ones((8, 2, 1, 1)), input_type=port([2, 9, 9])), IN),
    ("pooling-without-shapes", lambda: MaxPool2d(), []),
    ("pooling-output-from-input", lambda: MaxPool2d(input_type=port([8, 34, 34])), IN),
    ("pooling-own-output", lambda: MaxPool2d(input_type=port([8, 34, 34]),
                                             output_type=port([8, 1, 1], key="output")), BOTH),
    ("pooling-output-alone", lambda: MaxPool2d(output_type=port([8], key="output")),
     ["output_type"]),
    ("Flatten-output-from-input", lambda: Flatten(input_type=port([1, 28, 28])), IN),
    ("Upsample-output-from-input", lambda: Upsample(input_type=port([4, 5, 5])), IN),
    ("Skip-own-output", lambda: Skip(input_type=port([3]), output_type=port([4], key="output")),
     BOTH),
    ("Skip-own-empty-output", lambda: Skip(input_type=port(np.zeros(0, int)),
                                           output_type=port(np.zeros((0, 1), int), key="output")),
     BOTH),
]


class TestStoredPorts:
    @pytest.mark.parametrize("build, stored", [row[1:] for row in STORED_PORTS],
                             ids=[row[0] for row in STORED_PORTS])
    def test_kept_where_the_hook_would_not_rebuild_them(self, build, stored):
        node = build()
        assert stored_ports(node) == stored
        rebuilt = type(node).from_dict(node.to_dict())
        assert rebuilt.equals(node) and same_kinds(vars(rebuilt), vars(node))

    def test_parameters_changed_after_construction_keep_the_old_ports(self):
        node = lif()
        node.tau = node.r = node.v_leak = node.v_threshold = np.ones(6)
        assert stored_ports(node) == BOTH
        assert LIF.from_dict(node.to_dict()).equals(node)


@dataclasses.dataclass(eq=False)
class Kinds(Node):
    """Field kinds that no node class of the package declares."""

    names: List[str]
    pair: tuple[int, int] | None = None


def required(cls):
    """A dictionary with the required fields of ``cls``."""
    zero = np.asarray(0.0)
    return {
        LIF: dict(tau=zero, r=zero, v_leak=zero, v_threshold=zero),
        Conv2d: dict(weight=np.ones((8, 2, 3, 3)), bias=np.zeros(8)),
        SepConv2d: dict(depthwise_weight=np.ones((2, 1, 3, 3)),
                        pointwise_weight=np.ones((8, 2, 1, 1))),
        SpikingAffine: dict(weight=np.ones((2, 3)), bias=np.zeros(2)),
        Kinds: dict(names=[]),
    }.get(cls, {})


# (class, field, value as a file or a hand-made dictionary gives it, value
# rebuilt): each declared kind of field once.
RESTORED = [
    (LIF, "tau", np.float64(2.0), np.asarray(2.0)),
    (SepConv2d, "depthwise_bias", np.float32(0), np.asarray(np.float32(0))),
    (Conv2d, "stride", np.array([2, 2]), (2, 2)),
    (Conv2d, "padding", [1, 1], (1, 1)),
    (Conv2d, "groups", np.int64(1), 1),
    (MaxPool2d, "stride", [1, 1], (1, 1)),
    (MaxPool2d, "ceil_mode", np.True_, True),
    (Upsample, "size", np.array([4, 4]), (4, 4)),
    (Upsample, "scale_factor", np.int64(3), 3),
    (Upsample, "mode", np.str_("bilinear"), "bilinear"),
    (Flatten, "end_dim", np.int8(-1), -1),
    (SpikingAffine, "spike_mode", np.str_("rate"), "rate"),
    (SpikingAffine, "weight_bits", np.int32(4), 4),
    (SpikingAffine, "metadata", {"a": np.int64(1)}, {"a": np.int64(1)}),
    (Skip, "skip_type", np.str_("add"), "add"),
    (LIF, "input_type", {"input": [2]}, {"input": [2]}),
    (Kinds, "names", np.array([b"a", "bé".encode()], dtype=object), ["a", "bé"]),
    (Kinds, "pair", [1, 2], (1, 2)),
]


class TestRestoredKinds:
    @pytest.mark.parametrize("cls, name, stored, restored", RESTORED, ids=[
        f"{cls.__name__}.{name}-from-{type(stored).__name__}" for cls, name, stored, _ in RESTORED])
    def test_value_comes_back_to_its_declared_kind(self, cls, name, stored, restored):
        node = cls.from_dict({**required(cls), name: stored})
        assert_same(getattr(node, name), restored)

    @pytest.mark.parametrize("cls", list(_NODE_REGISTRY.values()), ids=lambda cls: cls.__name__)
    def test_every_annotation_resolves_in_its_module(self, cls):
        hints = typing.get_type_hints(cls)
        assert [f.name for f in dataclasses.fields(cls)] == list(hints)


class TestEquality:
    def test_nodes_hashable_and_compared_by_value(self, lif_params):
        a, b = LIF(**lif_params), LIF(**lif_params)
        assert a != b and len({a, b}) == 2
        assert a.equals(b)
        b.tau = b.tau.astype(np.float32)
        assert not a.equals(b)
        assert not ReLU(3).equals(LIF(**lif_params))

    def test_subclass_is_not_equal_to_base(self):
        @dataclasses.dataclass(eq=False)
        class MyReLU(ReLU):
            pass

        assert not ReLU(3).equals(MyReLU(3))


class TestGraph:
    def make(self, lif_params):
        graph = Graph(metadata={"name": "net"})
        graph.add_node("a", LIF(**lif_params))
        graph.add_node("b", ReLU(128))
        graph.add_edge("a", "b")
        return graph

    def test_dict_round_trip(self, lif_params):
        graph = self.make(lif_params)
        data = graph.to_dict()
        assert data["type"] == "Graph" and data["edges"] == [("a", "b")]
        assert Graph.from_dict(data).equals(graph)

    def test_validate_accepts_matching_shapes(self, lif_params):
        self.make(lif_params).validate()

    def test_validate_reports_every_problem(self, lif_params):
        graph = self.make(lif_params)
        graph.add_node("c", ReLU(64))
        graph.add_edge("b", "c")
        graph.add_edge("c", "nowhere")
        with pytest.raises(ValueError) as info:
            graph.validate()
        assert str(info.value) == (
            "Invalid graph:\n"
            "  edge b -> c: output shape [128] of 'b' does not match input shape [64] of 'c'\n"
            "  edge c -> nowhere: no node named 'nowhere'")

    def test_duplicate_name_refused(self):
        graph = Graph()
        graph.add_node("a", ReLU(1))
        with pytest.raises(ValueError, match="already has a node named 'a'"):
            graph.add_node("a", ReLU(2))
