"""What validate finds that the nodes' hooks let through: parameters that
disagree with the node's width or are no real numbers, a batch extent in an
input shape, a transposed dense weight, edges to missing nodes (which write
refuses), and the closing line that counts what strict would add."""

import numpy as np
import pytest

import zor.ir
from zor.ir import (IF, LIF, Affine, BatchNorm1d, BatchNorm2d, Conv1d, Conv2d, CubaLIF, Graph,
                    LayerNorm, MaxPool2d, PReLU, ReLU, SpikingAffine, SumPool2d)
from zor.ir.graph import GraphError


def batch_norm(cls, channels, size):
    return cls(channels, np.ones(size), np.zeros(size), np.zeros(size), np.ones(size))


def lif_of(n):
    return LIF(np.ones(n), np.ones(n), np.zeros(n), np.ones(n))


def dense(out_features, in_features, cls=Affine, dtype=np.float32):
    return cls(np.ones((out_features, in_features), dtype), np.zeros(out_features))


def ports(*extents):
    return {"input": np.array(extents)}


def transposed(node):
    node.weight = node.weight.T
    return node


def with_input(node, *extents):
    node.input_type = ports(*extents)
    return node


def changed(node, **fields):
    """``node`` with fields changed after its hook ran, which no hook sees."""
    for name, value in fields.items():
        setattr(node, name, value)
    return node


def alone(node):
    return Graph(nodes={"n": node})


def chain(*nodes):
    return Graph.sequential(nodes, names=[f"n{i}" for i in range(len(nodes))])


class TestParameterRules:
    @pytest.mark.parametrize("graph, problem", [
        (alone(batch_norm(BatchNorm2d, 16, 8)),
         "node 'n': weight (8,), bias (8,), running_mean (8,), running_var (8,): "
         "num_features 16 needs (16,)"),
        (alone(batch_norm(BatchNorm1d, 4, (2, 2))),
         "node 'n': weight (2, 2), bias (2, 2), running_mean (2, 2), running_var (2, 2): "
         "num_features 4 needs (4,)"),
        (alone(PReLU(4, np.ones(3))), "node 'n': weight (3,): features 4 needs (4,) or (1,)"),
        (alone(LayerNorm([4, 5], np.ones(20), np.zeros((4, 5)))),
         "node 'n': weight (20,): normalized_shape [4, 5] needs (4, 5)"),
        (alone(dense(3, 4, dtype=np.complex64)),
         "node 'n': weight is an array of complex64; parameters must be real numbers "
         "(integers or floats)"),
        (alone(dense(3, 4, dtype=object)),
         "node 'n': weight is an array of object; parameters must be real numbers "
         "(integers or floats)"),
        (alone(dense(3, 4, cls=SpikingAffine, dtype=bool)),
         "node 'n': weight is an array of bool; parameters must be real numbers "
         "(integers or floats)"),
        (alone(LIF(np.array(["a"]), np.ones(1), np.zeros(1), np.ones(1))),
         "node 'n': tau is an array of <U1; parameters must be real numbers (integers or floats)"),
        (alone(with_input(Conv2d(np.ones((8, 2, 3, 3)), np.zeros(8)), 1, 2, 32, 32)),
         "node 'n': input shape [1, 2, 32, 32]: its leading 1 looks like a batch extent; "
         "give the shape of one sample, [2, 32, 32]"),
        (alone(with_input(dense(3, 4), 1, 4)),
         "node 'n': input shape [1, 4]: its leading 1 looks like a batch extent; "
         "give the shape of one sample, [4]"),
        (alone(with_input(ReLU(6), 1, 6)),
         "node 'n': input shape [1, 6]: its leading 1 looks like a batch extent; "
         "give the shape of one sample, [6]"),
        (alone(transposed(dense(10, 784))),
         "node 'n': weight of shape (784, 10) looks transposed: input shape [784] needs "
         "(10, 784), as weights are (out_features, in_features)"),
        (chain(with_input(MaxPool2d(), 6, 4, 4), transposed(dense(3, 6, cls=SpikingAffine))),
         "node 'n1': weight of shape (6, 3) looks transposed: input shape [6] needs (3, 6), "
         "as weights are (out_features, in_features)"),
        (alone(changed(IF(np.ones(4), np.ones(4), np.zeros(4)), v_reset=np.zeros(3))),
         "node 'n': r (4,), v_threshold (4,), v_reset (3,): a population's parameters share one shape"),
        (alone(changed(lif_of(3), tau=np.ones((3, 2)))),
         "node 'n': tau (3, 2), r (3,), v_leak (3,), v_threshold (3,): a population's parameters "
         "share one shape"),
        (alone(changed(CubaLIF(*[np.ones(2)] * 7), w_in=np.ones(5))),
         "node 'n': tau_syn (2,), tau_mem (2,), r (2,), v_leak (2,), v_threshold (2,), v_reset (2,), "
         "w_in (5,): a population's parameters share one shape"),
        (alone(with_input(Conv1d(np.ones((8, 2, 3)), np.zeros(8)), 1, 2, 50)),
         "node 'n': input shape [1, 2, 50]: its leading 1 looks like a batch extent; "
         "give the shape of one sample, [2, 50]"),
        (alone(with_input(SumPool2d((2, 2)), 1, 3, 8, 8)),
         "node 'n': input shape [1, 3, 8, 8]: its leading 1 looks like a batch extent; "
         "give the shape of one sample, [3, 8, 8]"),
        (Graph(nodes={"a": ReLU(4)}, edges=[("a", "gone")]), "edge a -> gone: no node named 'gone'"),
    ], ids=["batch norm", "batch norm 2D arrays", "prelu", "layer norm", "complex", "object",
            "bool", "text", "batch conv", "batch dense", "batch width", "transposed own port",
            "transposed fed", "IF changed", "LIF changed", "CubaLIF changed", "batch conv1d",
            "batch sum pool", "missing node"])
    def test_each_problem(self, graph, problem):
        with pytest.raises(GraphError) as info:
            graph.validate()
        assert problem in info.value.problems

    @pytest.mark.parametrize("node", [
        PReLU(4, np.ones(1)),
        batch_norm(BatchNorm2d, 3, 3),
        LayerNorm([4, 5], np.ones((4, 5)), np.zeros((4, 5))),
        with_input(ReLU(1), 1, 6),
        with_input(Conv2d(np.ones((8, 1, 3, 3)), np.zeros(8)), 1, 32, 32),
        dense(4, 4, dtype=np.int64),
        transposed(dense(4, 4)),
        LIF(*[np.ones((3, 2))] * 4),
        with_input(Conv1d(np.ones((8, 2, 3)), np.zeros(8)), 2, 50),
    ], ids=["prelu of one", "batch norm", "layer norm", "width 1", "one channel", "integers",
            "square", "population", "conv1d sample"])
    def test_sound_nodes_pass(self, node):
        alone(node).validate()

    def test_problems_come_node_by_node_before_the_edges(self):
        graph = Graph()
        graph.add_node("fc", dense(3, 4, dtype=np.complex128))
        graph.add_node("bn", batch_norm(BatchNorm1d, 3, 2))
        graph.add_edge("fc", "bn")
        graph.add_edge("bn", "gone")
        with pytest.raises(GraphError) as info:
            graph.validate()
        assert [problem.split(":")[0] for problem in info.value.problems] == [
            "node 'fc'", "node 'bn'", "edge bn -> gone"]


class TestBatchExtentInInference:
    def test_named_before_the_next_node_is_blamed(self):
        graph = chain(Conv2d(np.ones((16, 2, 3, 3)), np.zeros(16)), batch_norm(BatchNorm2d, 16, 16))
        with pytest.raises(GraphError) as info:
            graph.infer_types({"n0": (1, 2, 32, 32)})
        assert info.value.problems == [
            "input_shapes: 'n0': input shape [1, 2, 32, 32]: its leading 1 looks like a batch "
            "extent; give the shape of one sample, [2, 32, 32]"]

    def test_sample_shape_infers(self):
        graph = chain(Conv2d(np.ones((16, 2, 3, 3)), np.zeros(16)), batch_norm(BatchNorm2d, 16, 16))
        inferred = graph.infer_types({"n0": (2, 32, 32)})
        assert inferred.nodes["n1"].output_type["output"].tolist() == [16, 30, 30]


class TestStrictCount:
    def test_plain_validate_counts_what_strict_adds(self):
        graph = Graph(nodes={"a": ReLU(4), "b": ReLU(4), "c": LIF(*[np.ones(3)] * 4)},
                      edges=[("a", "gone")])
        with pytest.raises(GraphError) as info:
            graph.validate()
        assert str(info.value) == ("Invalid graph:\n  edge a -> gone: no node named 'gone'\n"
                                   "strict=True (--strict) would report 3 more problems")
        assert info.value.problems == ["edge a -> gone: no node named 'gone'"]

    def test_one_more_and_none_more(self):
        one = Graph(nodes={"a": ReLU(4), "b": ReLU(4)}, edges=[("a", "b"), ("a", "b")])
        one.add_node("c", ReLU(2))
        with pytest.raises(GraphError) as info:
            one.validate()
        assert str(info.value).endswith("\nstrict=True (--strict) would report 1 more problem")
        with pytest.raises(GraphError) as info:
            one.validate(strict=True)
        assert "would report" not in str(info.value)
        with pytest.raises(GraphError) as info:
            alone(PReLU(4, np.ones(3), input_type=ports(4))).validate()
        assert "would report" not in str(info.value)


class TestWriteRefusesEdgesToMissingNodes:
    @pytest.mark.parametrize("edges, message", [
        ([("a", "gone")], "Cannot store the graph: edge a -> gone: no node named 'gone'"),
        ([("a", "a"), ("x", "y")], "Cannot store the graph: edge x -> y: no node named 'x' or 'y'"),
    ])
    def test_refused_before_a_file_exists(self, tmp_path, edges, message):
        graph = Graph(nodes={"a": ReLU(4)}, edges=edges)
        with pytest.raises(ValueError) as info:
            zor.ir.write(tmp_path / "net.zor", graph)
        assert str(info.value) == message
        assert list(tmp_path.iterdir()) == []

    def test_other_problems_still_written(self, tmp_path):
        graph = Graph(nodes={"a": ReLU(4), "b": batch_norm(BatchNorm1d, 3, 2)},
                      edges=[("a", "b"), ("a", "b")])
        zor.ir.write(tmp_path / "net.zor", graph)
        assert zor.ir.read(tmp_path / "net.zor").edges == [("a", "b"), ("a", "b")]
