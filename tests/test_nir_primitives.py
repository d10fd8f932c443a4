"""Every NIR primitive through ZOR and back (NIR -> ZOR -> NIR equal, in memory and through a
file), and nested NIR graphs: inlined under dotted names, built again on the way out."""

import nir
import numpy as np
import pytest

from test_nir import assert_nir_equal, weights
from zor.ir import Affine
from zor.ir.nir import SUBGRAPHS_KEY, from_nir, read_nir, to_nir, write_nir


def ones(*shape):
    return np.ones(shape, np.float32)


def values(n=4):
    return weights(n)


def rnn(n=3, metadata=None):
    return nir.NIRGraph(
        nodes={"input": nir.Input(np.array([n])),
               "lif": nir.CubaLIF(values(n), values(n), values(n), values(n), values(n),
                                  np.zeros(n, np.float32), values(n)),
               "w_rec": nir.Linear(weights(n, n)), "output": nir.Output(np.array([n]))},
        edges=[("input", "lif"), ("lif", "w_rec"), ("w_rec", "lif"), ("lif", "output")],
        metadata=metadata or {})


def around(name, node, before, after, type_check=True):
    """A graph Input -> Affine -> node -> Affine -> Output, for nodes that need neighbours."""
    return nir.NIRGraph(
        nodes={"input": nir.Input(np.array([before[1]])), "fc": nir.Affine(weights(*before), values(before[0])),
               name: node, "fc2": nir.Affine(weights(*after), values(after[0])),
               "output": nir.Output(np.array([after[0]]))},
        edges=[("input", "fc"), ("fc", name), (name, "fc2"), ("fc2", "output")],
        type_check=type_check)


def pooled(pool, shape, output):
    return nir.NIRGraph(nodes={"input": nir.Input(np.array(shape)), "pool": pool,
                               "output": nir.Output(np.array(output))},
                        edges=[("input", "pool"), ("pool", "output")])


PRIMITIVES = {
    "Affine": lambda: nir.NIRGraph.from_list(nir.Affine(weights(3, 5), values(3))),
    "Linear": lambda: nir.NIRGraph.from_list(nir.Linear(weights(3, 5))),
    "Conv1d": lambda: nir.NIRGraph.from_list(
        nir.Conv1d(12, weights(4, 2, 3), 2, 1, 2, 1, values(4), metadata={"k": "3"})),
    "Conv2d": lambda: nir.NIRGraph.from_list(
        nir.Conv2d((9, 11), weights(4, 2, 3, 3), (2, 1), (1, 2), 1, 1, values(4))),
    "SumPool2d": lambda: pooled(nir.SumPool2d(np.array([2, 3]), np.array([2, 1]), np.array([0, 1])),
                                [4, 8, 9], [4, 4, 9]),
    "AvgPool2d": lambda: pooled(nir.AvgPool2d(np.array([2, 2]), np.array([2, 2]), np.array([1, 0])),
                                [4, 8, 9], [4, 5, 4]),
    "Flatten": lambda: nir.NIRGraph.from_list(nir.Flatten({"input": np.array([4, 3, 5])}, 1, -1)),
    "LIF": lambda: nir.NIRGraph.from_list(nir.LIF(values(), values(), values(), values())),
    "IF": lambda: nir.NIRGraph.from_list(nir.IF(values(), values(), values(), metadata={"a": "b"})),
    "LI": lambda: nir.NIRGraph.from_list(nir.LI(values(), values(), values())),
    "CubaLIF": lambda: nir.NIRGraph.from_list(
        nir.CubaLIF(values(), values(), values(), values(), values(), values(), values())),
    "CubaLI": lambda: nir.NIRGraph.from_list(
        nir.CubaLI(values(), values(), values(), values(), values())),
    "I": lambda: nir.NIRGraph.from_list(nir.I(values())),
    "Threshold": lambda: nir.NIRGraph.from_list(nir.Threshold(values())),
    "Scale": lambda: nir.NIRGraph.from_list(nir.Scale(values())),
    "Delay": lambda: nir.NIRGraph.from_list(nir.Delay(np.abs(values()))),
    "NIRGraph": lambda: around("rnn", rnn(3, {"kind": "recurrent"}), (3, 4), (2, 3)),
}


class TestEveryPrimitive:
    def test_all_of_nir_s_primitives_are_here(self):
        # Input and Output travel in every graph above.
        assert set(PRIMITIVES) | {"Input", "Output"} == _serialised()

    @pytest.mark.parametrize("through_file", [False, True], ids=["memory", "file"])
    @pytest.mark.parametrize("kind", PRIMITIVES)
    def test_nir_to_zor_to_nir_is_equal(self, kind, through_file, tmp_path):
        original = PRIMITIVES[kind]()
        if through_file:
            nir.write(tmp_path / "net.nir", original)
            graph = read_nir(tmp_path / "net.nir")
            write_nir(tmp_path / "back.nir", graph)
            assert_nir_equal(nir.read(tmp_path / "back.nir"), nir.read(tmp_path / "net.nir"))
        else:
            graph = from_nir(original)
        assert_nir_equal(to_nir(graph), original)


def _serialised():
    """The node types nir's reader knows."""
    import nir.ir as ir
    return {name for name in ir.__all__ if name not in ("NIRNode", "str2NIRNode", "dict2NIRNode")}


class TestNestedGraphs:
    def test_inlined_under_dotted_names(self):
        graph = from_nir(around("rnn", rnn(), (3, 4), (2, 3)))
        assert list(graph.nodes) == ["fc", "rnn.lif", "rnn.w_rec", "fc2"]
        assert graph.edges == [("rnn.lif", "rnn.w_rec"), ("rnn.w_rec", "rnn.lif"),
                               ("fc", "rnn.lif"), ("rnn.lif", "fc2")]
        assert graph.metadata[SUBGRAPHS_KEY] == {"rnn": {
            "metadata": {}, "inputs": {"input": ["lif"]}, "outputs": {"output": ["lif"]},
            "nodes": ["lif", "w_rec"]}}
        graph.validate(strict=True)

    def test_nested_twice_and_through_a_zor_file(self, tmp_path):
        from zor.ir import read, write
        inner = around("rnn", rnn(), (3, 3), (3, 3))
        outer = around("block", inner, (3, 5), (2, 3))
        graph = from_nir(outer)
        assert "block.rnn.lif" in graph.nodes
        write(tmp_path / "net.zor", graph)
        assert_nir_equal(to_nir(read(tmp_path / "net.zor")), outer)

    @pytest.mark.parametrize("change, problem", [
        (lambda g: g.add_edge("fc", "rnn.w_rec"),
         "subgraph 'rnn': edge 'fc' -> 'rnn.w_rec' crosses it at a node its Input or Output does "
         "not reach"),
        (lambda g: g.nodes.pop("rnn.lif") and g.edges.clear(),
         "subgraph 'rnn': graph metadata 'nir.subgraphs' lists nodes ['rnn.lif'], which are not "
         "in the graph"),
    ], ids=["edge across", "member gone"])
    def test_subgraph_that_no_longer_fits(self, change, problem, fails_with):
        graph = from_nir(around("rnn", rnn(), (3, 4), (2, 3)))
        change(graph)
        fails_with(f"Cannot convert to NIR:\n  {problem}", lambda: to_nir(graph))

    def test_edges_into_a_subgraph_of_two_inputs(self, fails_with):
        two = rnn()
        two.nodes["input2"] = nir.Input(np.array([3]))
        two.edges.append(("input2", "lif"))
        fails_with("Cannot convert from NIR:\n  subgraph 'rnn': edges into it need exactly one "
                   "Input node in it, it has 2",
                   lambda: from_nir(around("rnn", two, (3, 4), (2, 3), type_check=False)))

    def test_plain_dotted_names_stay_top_level(self):
        graph = from_nir(nir.NIRGraph.from_list(nir.Affine(weights(2, 3), values(2))))
        graph.nodes["a.b"] = graph.nodes.pop("affine")
        assert list(to_nir(graph).nodes) == ["a.b", "input", "output"]
        assert type(from_nir(to_nir(graph)).nodes["a.b"]) is Affine
