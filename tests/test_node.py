import dataclasses

import numpy as np
import pytest

from helpers import same_kinds
from zor.ir import LIF, Graph, Node, ReLU


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
