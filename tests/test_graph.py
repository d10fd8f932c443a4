"""Graphs that know their shapes: order and structure, inference from the
input, validation, the sequential builder, files and the command line."""

import dataclasses
import html
import io
import random
import re
import shutil
import subprocess
from pathlib import Path
from typing import Optional

import numpy as np
import pytest

import zor.ir
from zor.ir import (IF, LI, LIF, Affine, BatchNorm2d, Conv1d, Conv2d, CubaLI, CubaLIF, Delay,
                    Flatten, Graph, HybridRegion, Integrator, LayerNorm, MaxPool2d, Node, ReLU,
                    Scale, SepConv2d, Skip, Softmax, SpikingAffine, SumPool2d, Threshold, Upsample)
from zor.ir.__main__ import show
from zor.ir.graph import GraphError, MissingKeyError


def lif(*shape):
    return LIF(np.full(shape, 20.0), np.full(shape, 20.0), np.zeros(shape), np.ones(shape))


def batch_norm(channels):
    return BatchNorm2d(channels, np.ones(channels), np.zeros(channels), np.zeros(channels),
                       np.ones(channels))


def conv(out_channels, in_channels, kernel=3, **options):
    return Conv2d(np.ones((out_channels, in_channels, kernel, kernel), np.float32),
                  np.zeros(out_channels, np.float32), **options)


def separable(out_channels, in_channels, kernel=3, **options):
    return SepConv2d(np.ones((in_channels, 1, kernel, kernel)),
                     np.ones((out_channels, in_channels, 1, 1)), **options)


def conv1d(out_channels, in_channels, kernel=3, **options):
    return Conv1d(np.ones((out_channels, in_channels, kernel)), np.zeros(out_channels), **options)


def population(cls, count, *shape):
    """A node of ``cls`` of ``count`` parameter arrays, each of ``shape``."""
    return cls(*[np.ones(shape)] * count)


def dense(out_features, in_features, cls=Affine):
    return cls(np.ones((out_features, in_features)), np.zeros(out_features))


def ports(extents):
    return {"input": np.array(extents)}


def build(nodes, edges):
    """A graph of {name: node} and edges written "a>b b>c"."""
    graph = Graph()
    for name, node in nodes.items():
        graph.add_node(name, node)
    for edge in edges.split():
        graph.add_edge(*edge.split(">"))
    return graph


def shapes(graph):
    def extents(port):
        return None if port is None else next(iter(port.values())).tolist()
    return {name: (extents(node.input_type), extents(node.output_type))
            for name, node in graph.nodes.items()}


# Worked examples: no port given but the first node's input.

def convolutional_snn():
    return Graph.sequential(
        [conv(8, 2, padding=(1, 1), input_type=ports([2, 34, 34])), batch_norm(8), lif(8),
         MaxPool2d((2, 2)), Flatten(), dense(128, 8 * 17 * 17, SpikingAffine), lif(128),
         dense(10, 128), Softmax(10)],
        names=["conv", "bn", "lif1", "pool", "flatten", "fc", "lif2", "readout", "softmax"])


SNN_SHAPES = {
    "conv": ([2, 34, 34], [8, 34, 34]), "bn": ([8, 34, 34], [8, 34, 34]),
    "lif1": ([8, 34, 34], [8, 34, 34]), "pool": ([8, 34, 34], [8, 17, 17]),
    "flatten": ([8, 17, 17], [2312]), "fc": ([2312], [128]), "lif2": ([128], [128]),
    "readout": ([128], [10]), "softmax": ([10], [10])}


def pyramid_neck():
    """Two levels of a backbone fused top-down (add) and side by side (concat)."""
    return build({
        "stem": separable(16, 3, padding=(1, 1), input_type=ports([3, 40, 40])),
        "down": MaxPool2d((2, 2)),
        "deep": conv(32, 16, padding=(1, 1)),
        "lateral": separable(16, 32, kernel=1),
        "up": Upsample(scale_factor=2),
        "merge": Skip("add"),
        "smooth": conv(16, 16, padding=(1, 1)),
        "deep_up": Upsample(size=(40, 40), mode="bilinear"),
        "fuse": Skip("concat"),
        "head": conv(8, 48, kernel=1),
    }, "stem>down down>deep deep>lateral lateral>up stem>merge up>merge merge>smooth "
       "deep>deep_up smooth>fuse deep_up>fuse fuse>head")


NECK_SHAPES = {
    "stem": ([3, 40, 40], [16, 40, 40]), "down": ([16, 40, 40], [16, 20, 20]),
    "deep": ([16, 20, 20], [32, 20, 20]), "lateral": ([32, 20, 20], [16, 20, 20]),
    "up": ([16, 20, 20], [16, 40, 40]), "merge": ([16, 40, 40], [16, 40, 40]),
    "smooth": ([16, 40, 40], [16, 40, 40]), "deep_up": ([32, 20, 20], [32, 40, 40]),
    "fuse": ([48, 40, 40], [48, 40, 40]), "head": ([48, 40, 40], [8, 40, 40])}


def recurrent_snn(recurrent_features=16):
    return build({"fc_in": dense(16, 4), "lif": lif(16), "fc_rec": dense(recurrent_features, 16),
                  "fc_out": dense(3, 16)}, "fc_in>lif lif>fc_rec fc_rec>lif lif>fc_out")


RECURRENT_SHAPES = {"fc_in": ([4], [16]), "lif": ([16], [16]), "fc_rec": ([16], [16]),
                    "fc_out": ([16], [3])}

EXAMPLES = pytest.mark.parametrize("network, expected", [
    (convolutional_snn, SNN_SHAPES), (pyramid_neck, NECK_SHAPES),
    (recurrent_snn, RECURRENT_SHAPES)], ids=["snn", "neck", "recurrent"])


class TestWorkedExamples:
    @EXAMPLES
    def test_every_shape_inferred(self, network, expected):
        graph = network()
        inferred = graph.infer_types()
        assert shapes(inferred) == expected
        inferred.validate(strict=True)
        graph.validate(strict=True)

    @EXAMPLES
    def test_callers_graph_untouched_and_arrays_shared(self, network, expected):
        graph = network()
        before = shapes(graph)
        inferred = graph.infer_types()
        assert shapes(graph) == before and inferred.edges == graph.edges
        for name, node in graph.nodes.items():
            new = inferred.nodes[name]
            assert new is not node and type(new) is type(node)
            for field, value in vars(node).items():
                if isinstance(value, np.ndarray):
                    assert getattr(new, field) is value, (name, field)

    @EXAMPLES
    def test_inplace_fills_callers_nodes(self, network, expected):
        graph = network()
        nodes = dict(graph.nodes)
        assert graph.infer_types(inplace=True) is graph
        assert graph.nodes == nodes and shapes(graph) == expected

    @EXAMPLES
    @pytest.mark.parametrize("inferred_before_writing", [False, True])
    def test_file_then_inference_gives_the_same_shapes(self, tmp_path, network, expected,
                                                       inferred_before_writing):
        graph = network()
        if inferred_before_writing:
            graph.infer_types(inplace=True)
        graph.validate()
        zor.ir.write(tmp_path / "net.zor", graph)
        back = zor.ir.read(tmp_path / "net.zor")
        back.validate()
        assert shapes(back.infer_types()) == expected


class TestOrder:
    @pytest.mark.parametrize("names, edges, order", [
        ("c b a", "a>b b>c", "a b c"),
        ("a b c d", "a>b a>c c>d b>d", "a b c d"),
        # The recurrent edge is broken wherever the recurrent layer was inserted.
        ("fc_rec fc_in lif fc_out", "fc_in>lif lif>fc_rec fc_rec>lif lif>fc_out",
         "fc_in lif fc_rec fc_out"),
        # A node fed by a cycle waits for it, even when inserted first.
        ("d a b c", "a>b b>c c>b c>d", "a b c d"),
        ("x y", "x>y y>x", "x y"),
        ("a b", "a>a a>b", "a b"),
        ("b a", "a>b a>ghost", "a b"),
    ], ids=["reversed chain", "diamond", "recurrent", "behind a cycle", "closed loop",
            "self loop", "missing end"])
    def test_order(self, names, edges, order):
        graph = build({name: ReLU(1) for name in names.split()}, edges)
        assert graph.topological_order() == order.split()

    def test_structure(self):
        graph = build({name: ReLU(1) for name in "a b c d".split()}, "a>c b>c a>c c>d c>c")
        graph.edges += [("c", "nowhere"), ("a",), (1, "d")]
        assert graph.inputs() == ["a", "b"] and graph.outputs() == ["d"]
        assert graph.predecessors("c") == ["a", "b", "c"] and graph.successors("c") == ["d", "c"]
        with pytest.raises(ValueError, match="^Graph has no node named 'e'$"):
            graph.successors("e")

    @pytest.mark.parametrize("seed", range(20))
    def test_random_graphs(self, seed):
        """Every node once; an edge runs backwards only where it closes a cycle."""
        rng = random.Random(seed)
        names = [f"n{i}" for i in range(12)]
        edges = {(rng.choice(names), rng.choice(names)) for _ in range(rng.randrange(30))}
        graph = build({name: ReLU(1) for name in names}, " ".join(f"{s}>{d}" for s, d in edges))
        order = graph.topological_order()
        assert sorted(order) == sorted(names)
        position = {name: i for i, name in enumerate(order)}
        for src, dst in edges:
            if position[src] >= position[dst]:
                assert src in self.reachable(graph, dst), (src, dst)

    @staticmethod
    def reachable(graph, start):
        seen, stack = {start}, [start]
        while stack:
            for dst in graph.successors(stack.pop()):
                if dst not in seen:
                    seen.add(dst)
                    stack.append(dst)
        return seen

    def test_long_chain_closed_into_a_loop(self):
        count = 5000
        graph = Graph.sequential(
            [ReLU(4, input_type={"input": np.array([4, 6])})] + [ReLU(4) for _ in range(count - 1)])
        graph.add_edge(graph.outputs()[0], "relu")
        assert graph.topological_order() == list(graph.nodes)
        assert all(value == ([4, 6], [4, 6]) for value in shapes(graph.infer_types()).values())
        graph.validate(strict=True)


class TestInference:
    @pytest.mark.parametrize("nodes, expected", [
        ([conv(16, 2, groups=4, input_type=ports([8, 10, 10])), lif(16, 8, 8)],
         ([16, 8, 8], [16, 8, 8])),
        ([dense(64, 10), LayerNorm([64], np.ones(64), np.zeros(64))], ([64], [64])),
        ([Flatten(start_dim=1, input_type=ports([3, 4, 5])),
          LayerNorm((20,), np.ones(20), np.zeros(20))], ([3, 20], [3, 20])),
        ([lif(2, 6, 6), conv(4, 2)], ([2, 6, 6], [4, 4, 4])),
        ([conv1d(16, 2, 5, stride=2, padding=2, input_type=ports([2, 100])), population(IF, 3, 16)],
         ([16, 50], [16, 50])),
        ([conv1d(16, 2, groups=2, input_type=ports([4, 10])), conv1d(8, 16, dilation=2)],
         ([16, 8], [8, 4])),
        ([conv(8, 2, input_type=ports([2, 10, 10])), population(CubaLIF, 7, 8, 8, 8)],
         ([8, 8, 8], [8, 8, 8])),
        ([conv(8, 2, input_type=ports([2, 10, 10])), SumPool2d((2, 2), padding=(1, 1))],
         ([8, 8, 8], [8, 5, 5])),
        ([dense(10, 4), population(LI, 3, 10), population(CubaLI, 5, 10)], ([10], [10])),
        ([dense(1, 4), Threshold(np.asarray(0.5))], ([1], [1])),
        ([Scale(np.ones((2, 6, 6))), conv(4, 2)], ([2, 6, 6], [4, 4, 4])),
        ([Delay(np.ones(6), input_type=ports([6, 5])), Integrator(np.ones(6))], ([6, 5], [6, 5])),
    ], ids=["grouped conv into full LIF", "layer norm", "layer norm over trailing extents",
            "LIF input of its parameters' shape", "conv1d into IF", "conv1d after conv1d",
            "conv into full CubaLIF", "sum pooling", "leaky integrators", "0-d threshold",
            "Scale input of its parameters' shape", "widths over a longer shape"])
    def test_last_node_shape(self, nodes, expected):
        inferred = Graph.sequential(nodes).infer_types()
        assert list(shapes(inferred).values())[-1] == expected

    def test_class_of_its_own(self):
        """A node class the graph has no rule for, made by the node recipe."""
        @dataclasses.dataclass(eq=False)
        class Identity(Node):
            input_type: Optional[dict] = None
            output_type: Optional[dict] = None

            def __post_init__(self):
                if self.input_type is not None and self.output_type is None:
                    self.output_type = {"output": self.input_type["input"].copy()}

        graph = Graph.sequential([conv(8, 2, input_type=ports([2, 5, 5])), Identity(), lif(8)])
        assert list(shapes(graph.infer_types()).values())[1:] == [([8, 3, 3], [8, 3, 3])] * 2
        graph.nodes["identity"] = Identity(input_type=ports([8, 4, 4]))
        with pytest.raises(ValueError, match="node 'identity': input shape .8, 3, 3. does not "
                                             "match its input port .8, 4, 4.$"):
            graph.infer_types()

    def test_input_shapes_override(self):
        graph = Graph.sequential([conv(8, 2), MaxPool2d()])
        assert shapes(graph.infer_types({"conv2d": (2, 10, 10)}))["maxpool2d"] == (
            [8, 8, 8], [8, 4, 4])
        with pytest.raises(ValueError, match="shape unknown after inference; give its input_type"):
            graph.validate(strict=True)

    @pytest.mark.parametrize("graph, input_shapes, problem", [
        (Graph.sequential([conv(8, 2, input_type=ports([2, 10, 10])), batch_norm(16)],
                          names=["conv", "bn"]), None,
         "node 'bn': BatchNorm2d of width 16 does not fit input shape [8, 8, 8] (its leading "
         "extent must be 16)"),
        (Graph.sequential([conv(8, 2, input_type=ports([2, 10, 10])), lif(8, 10, 10)],
                          names=["conv", "lif"]), None,
         "node 'lif': LIF of parameters shaped (8, 10, 10) does not fit input shape [8, 8, 8]"),
        (Graph.sequential([conv(8, 2, input_type=ports([2, 10, 10])), conv(16, 4)],
                          names=["conv", "conv2"]), None,
         "node 'conv2': Conv2d takes 4 input channels (weight (16, 4, 3, 3), groups 1), got "
         "input shape [8, 8, 8]"),
        (Graph.sequential([dense(8, 4), separable(4, 8)], names=["fc", "sep"]), None,
         "node 'sep': SepConv2d needs an input shape (C, H, W), got [8]"),
        (Graph.sequential([Flatten(start_dim=1, input_type=ports([2, 3, 4])), dense(5, 24)],
                          names=["flatten", "fc"]), None,
         "node 'fc': Affine takes input shape [24], got [2, 12]: the same 24 values, not "
         "flattened; put a Flatten before it"),
        (Graph.sequential([conv(8, 2, input_type=ports([2, 3, 3])), MaxPool2d()],
                          names=["conv", "pool"]), None,
         "node 'pool': pool2d_output_shape: window of 2 along height is larger than the padded "
         "input of 1"),
        (Graph.sequential([dense(8, 4), LayerNorm([4], np.ones(4), np.zeros(4))],
                          names=["fc", "norm"]), None,
         "node 'norm': LayerNorm over [4] does not fit input shape [8] (its trailing extents "
         "must be [4])"),
        (build({"a": dense(16, 4), "b": dense(8, 4), "lif": lif(16)}, "a>lif b>lif"), None,
         "node 'lif': LIF joins unequal shapes: a [16], b [8]"),
        (build({"a": Skip(input_type=ports([4, 8, 8])), "b": Skip(input_type=ports([2, 4, 4])),
                "cat": Skip("concat")}, "a>cat b>cat"), None,
         "node 'cat': Skip concatenates shapes that differ beyond the channel extent: "
         "a [4, 8, 8], b [2, 4, 4]"),
        (recurrent_snn(recurrent_features=8), None,
         "node 'lif': LIF joins unequal shapes: fc_in [16], fc_rec [8]"),
        (Graph.sequential([dense(8, 4), ReLU(8)]), {"relu": [8]},
         "input_shapes: 'relu' is not an input node; 'affine' feeds it"),
        (Graph.sequential([dense(8, 4)]), {"fc": [4]}, "input_shapes: no node named 'fc'"),
        (Graph.sequential([dense(8, 4)]), {"affine": 4},
         "input_shapes: the shape 4 of 'affine' is not a sequence of integers"),
        (Graph.sequential([conv(8, 2, input_type=ports([2, 10, 10])), population(CubaLIF, 7, 8, 10, 10)],
                          names=["conv", "lif"]), None,
         "node 'lif': CubaLIF of parameters shaped (8, 10, 10) does not fit input shape [8, 8, 8]"),
        (Graph.sequential([dense(5, 4), population(Delay, 1, 4)], names=["fc", "delay"]), None,
         "node 'delay': Delay of width 4 does not fit input shape [5] (its leading extent must be 4)"),
        (Graph.sequential([conv1d(8, 2, input_type=ports([2, 10])), conv1d(16, 4)],
                          names=["a", "b"]), None,
         "node 'b': Conv1d takes 4 input channels (weight (16, 4, 3), groups 1), got input shape "
         "[8, 8]"),
        (Graph.sequential([dense(8, 4), conv1d(4, 8)], names=["fc", "conv"]), None,
         "node 'conv': Conv1d needs an input shape (C, L), got [8]"),
        (Graph.sequential([conv1d(8, 2, 7, input_type=ports([2, 5]))], names=["conv"]), None,
         "node 'conv': conv1d_output_shape: window of 7 along length is larger than the padded "
         "input of 5"),
    ], ids=["width", "LIF shape", "conv channels", "conv after dense", "not flattened", "hook", "layer norm",
            "sum", "concat", "recurrent", "override inside", "override unknown", "override kind",
            "CubaLIF shape", "Delay width", "conv1d channels", "conv1d after dense", "conv1d window"])
    def test_each_problem(self, graph, input_shapes, problem):
        with pytest.raises(ValueError) as info:
            graph.infer_types(input_shapes)
        assert str(info.value) == "Cannot infer the graph's shapes:\n  " + problem

    def test_every_problem_at_once_and_nothing_filled(self):
        graph = build({"conv": conv(8, 2, input_type=ports([2, 10, 10])), "bn": batch_norm(16),
                       "pool": MaxPool2d(), "fc": dense(5, 128), "lif": lif(4)},
                      "conv>bn conv>pool pool>fc fc>lif")
        before = shapes(graph)
        with pytest.raises(ValueError) as info:
            graph.infer_types(inplace=True)
        assert str(info.value).splitlines()[1:] == [
            "  node 'bn': BatchNorm2d of width 16 does not fit input shape [8, 8, 8] (its "
            "leading extent must be 16)",
            "  node 'fc': Affine takes input shape [128], got [8, 4, 4]: the same 128 values, "
            "not flattened; put a Flatten before it",
            "  node 'lif': LIF of width 4 does not fit input shape [5] (its leading extent "
            "must be 4)"]
        assert shapes(graph) == before


class TestValidate:
    @pytest.mark.parametrize("graph, strict, problem", [
        (build({"a": ReLU(4), "b": {"type": "ReLU"}}, "a>b"), False, "node 'b': dict is not a Node"),
        (Graph(nodes={"a": ReLU(4), 7: ReLU(4)}), False, "node 7: its name is not a string"),
        (build({"a": ReLU(4), "b": ReLU(4)}, "a>b a>b"), False,
         "edge a -> b: listed 2 times"),
        (Graph(nodes={"a": ReLU(4)}, edges=[("a", 3)]), False,
         "edge 0: 3 (int) is not a node name"),
        (Graph(nodes={"a": ReLU(4)}, edges=[("a", "a", "a")]), False,
         "edge 0: ('a', 'a', 'a') is not a (src, dst) pair"),
        (build({"a": Skip(input_type=ports([4, 8])), "b": Skip(input_type=ports([4, 9])),
                "sum": Skip("add")}, "a>sum b>sum"), False,
         "node 'sum': Skip joins unequal shapes: a [4, 8], b [4, 9]"),
        (build({"a": Skip(input_type=ports([4, 8])), "b": ReLU(2),
                "cat": Skip("concat", input_type=ports([4, 8]))}, "a>cat b>cat"), False,
         "node 'cat': concatenated input shape [6, 8] does not match its input shape [4, 8]"),
        (build({"conv": conv(8, 2, input_type=ports([2, 5, 5]),
                             output_type={"output": np.array([8, 3, 3])}), "bn": batch_norm(4)},
               "conv>bn"), False,
         "edge conv -> bn: output shape [8, 3, 3] of 'conv' does not match input shape [4] of 'bn'"),
        (Graph.sequential([conv(8, 2), MaxPool2d()], names=["conv", "pool"]), True,
         "node 'conv': shape unknown after inference; give its input_type\n"
         "  node 'pool': shape unknown after inference"),
        (build({"a": dense(4, 2), "b": ReLU(4), "c": ReLU(3)}, "a>b"), True,
         "node 'c': joined to nothing"),
        (Graph.sequential([dense(4, 2), conv(8, 4)], names=["fc", "conv"]), True,
         "node 'conv': Conv2d needs an input shape (C, H, W), got [4]"),
    ], ids=["not a node", "name", "duplicate", "end", "pair", "sum", "concat", "port",
            "unknown", "isolated", "inference"])
    def test_each_problem(self, graph, strict, problem):
        with pytest.raises(ValueError) as info:
            graph.validate(strict=strict)
        assert str(info.value) == "Invalid graph:\n  " + problem

    @pytest.mark.parametrize("src, dst", [
        (conv(8, 2, input_type=ports([2, 5, 5]), output_type={"output": np.array([8, 3, 3])}),
         batch_norm(8)),
        (ReLU(8), MaxPool2d(input_type=ports([8, 6, 6]))),
        (Flatten(start_dim=1, input_type=ports([3, 4, 5])), LayerNorm([20], np.ones(20), np.ones(20))),
        (LayerNorm([20], np.ones(20), np.ones(20)), Skip(input_type=ports([3, 20]))),
        (ReLU(8), lif(8)),
        (ReLU(8), conv(4, 8)),
    ], ids=["full into width", "width into full", "full into normalized", "normalized into full",
            "widths", "width into channels"])
    def test_ports_that_agree(self, src, dst):
        build({"src": src, "dst": dst}, "src>dst").validate()


class TestProblemList:
    @pytest.mark.parametrize("check", [
        lambda graph: graph.infer_types(),
        lambda graph: graph.validate(strict=True),
    ], ids=["infer_types", "validate"])
    def test_one_entry_per_line_of_the_message(self, check):
        graph = build({"fc": dense(8, 4), "lif": lif(3), "bn": batch_norm(5)}, "fc>lif lif>bn")
        with pytest.raises(GraphError) as info:
            check(graph)
        heading, *lines = str(info.value).split("\n  ")
        assert info.value.problems == lines and lines
        assert isinstance(info.value, ValueError)


def stored(changes):
    """A stored graph's dictionary (fc -> lif) with ``changes`` made to it:
    {"nodes/fc/bias": new value, or None to remove it}."""
    data = Graph.sequential([dense(4, 3), lif(4)], names=["fc", "lif"]).to_dict()
    for path, value in changes.items():
        *groups, name = path.split("/")
        entries = data
        for group in groups:
            entries = entries[group]
        if value is None:
            del entries[name]
        else:
            entries[name] = value
    return data


class TestFromDict:
    @pytest.mark.parametrize("data, error, message", [
        (stored({"nodes/fc/bias": None}), KeyError, "'/graph/nodes/fc': missing key 'bias'"),
        (stored({"nodes/fc/type": None}), KeyError, "'/graph/nodes/fc': missing key 'type'"),
        (stored({"nodes/lif/v_leak": None}), KeyError, "'/graph/nodes/lif': missing key 'v_leak'"),
        (stored({"nodes/fc/type": "Conv9d"}), ValueError,
         "'/graph/nodes/fc': Unknown node type 'Conv9d'; known types: "),
        (stored({"nodes/fc/bias": np.zeros(5)}), ValueError, "'/graph/nodes/fc': "),
        (stored({"nodes/fc/weight": "text"}), TypeError, "'/graph/nodes/fc': "),
        (stored({"nodes/fc": np.int64(3)}), TypeError,
         "'/graph/nodes/fc': expected a node's group, got 3 (int64)"),
        (stored({"nodes": np.arange(2)}), TypeError,
         "'/graph/nodes': expected a group of nodes, got an array of int64 with shape (2,)"),
        (stored({"edges": np.array([0, 1])}), ValueError,
         "'/graph/edges': expected a list of (src, dst) pairs, got an array of int64 with shape (2,)"),
        (stored({"edges": [0, 1]}), ValueError,
         "'/graph/edges': expected a list of (src, dst) pairs, got a list of int"),
        (stored({"edges": [("fc", "lif", "fc")]}), ValueError,
         "'/graph/edges': expected a list of (src, dst) pairs, got a list of tuple"),
        (stored({"edges": "fc lif"}), ValueError,
         "'/graph/edges': expected a list of (src, dst) pairs, got fc lif (str)"),
    ], ids=["missing parameter", "missing type", "missing in own form", "unknown type",
            "hook refuses", "wrong kind", "node not a group", "nodes not a group",
            "edges as numbers", "edges as a list of numbers", "triples", "text"])
    def test_errors_name_the_place_in_a_file(self, data, error, message):
        with pytest.raises(error) as info:
            Graph.from_dict(data)
        assert str(info.value).startswith(message)
        assert type(info.value) in (error, MissingKeyError)

    def test_the_nodes_own_error_is_the_cause(self):
        with pytest.raises(KeyError) as info:
            Graph.from_dict(stored({"nodes/fc/bias": None}))
        assert type(info.value.__cause__) is KeyError and info.value.__cause__.args == ("bias",)

    def test_edges_as_a_file_gives_them(self):
        pairs = [(np.str_("fc"), "lif"), ["lif", np.int64(7)]]
        assert Graph.from_dict(stored({"edges": pairs})).edges == [("fc", "lif"), ("lif", "7")]


class TestSequential:
    def test_default_names(self):
        graph = Graph.sequential([conv(8, 2), lif(8), conv(8, 8), lif(8), ReLU(8), lif(8)])
        assert list(graph.nodes) == ["conv2d", "lif", "conv2d_1", "lif_1", "relu", "lif_2"]
        assert graph.edges == list(zip(graph.nodes, list(graph.nodes)[1:]))

    @pytest.mark.parametrize("nodes, names, error, message", [
        ([ReLU(1), ReLU(1)], ["a"], ValueError, "Graph.sequential: 1 names for 2 nodes"),
        ([ReLU(1), {"type": "ReLU"}], None, TypeError,
         "Graph.sequential: item 1 is a dict, not a Node"),
        ([ReLU(1), ReLU(1)], ["a", "a"], ValueError, "Graph already has a node named 'a'"),
    ])
    def test_refused(self, nodes, names, error, message):
        with pytest.raises(error) as info:
            Graph.sequential(nodes, names=names)
        assert str(info.value) == message


def dot_statements(text):
    """{node id or (src id, dst id): its attributes} of a DOT text from to_dot()."""
    statements = {}
    for line in text.splitlines()[4:-1]:
        parts = re.fullmatch(r"  (n\d+)(?: -> (n\d+))?(?: \[(.*)\])?;", line)
        assert parts, line
        statements[parts[1] if parts[2] is None else (parts[1], parts[2])] = parts[3] or ""
    return statements


class TestDot:
    @pytest.mark.parametrize("node, fill, shape", [
        (lif(4), "#f6c28b", "box"),
        (dense(4, 4, SpikingAffine), "#f6c28b", "box"),
        (dense(4, 4), "#a6cee3", "box"),
        (ReLU(4), "#a6cee3", "box"),
        (batch_norm(4), "#a6cee3", "box"),
        (HybridRegion("snn", 4, "core"), "#ffe08a", "hexagon"),
        (population(IF, 3, 4), "#f6c28b", "box"),
        (population(CubaLIF, 7, 4), "#f6c28b", "box"),
        (population(Threshold, 1, 4), "#f6c28b", "box"),
        (population(LI, 3, 4), "#a6cee3", "box"),
        (population(Scale, 1, 4), "#a6cee3", "box"),
    ], ids=["LIF", "SpikingAffine", "Affine", "ReLU", "BatchNorm2d", "HybridRegion", "IF",
            "CubaLIF", "Threshold", "LI", "Scale"])
    def test_colour_by_kind(self, node, fill, shape):
        attributes = dot_statements(Graph(nodes={"n": node}).to_dot())["n0"]
        assert attributes.endswith(f', shape={shape}, fillcolor="{fill}"')

    def test_labels_and_edges_carry_the_inferred_shapes(self):
        graph = build({"conv": conv(8, 2, input_type=ports([2, 5, 5])), "flatten": Flatten(),
                       "fc": dense(4, 72), "core": HybridRegion("snn", 4, "snn core"),
                       "lif": lif(4)}, "conv>flatten flatten>fc fc>core core>lif")
        statements = dot_statements(graph.to_dot())
        assert statements["n0"].startswith('label="conv\\nConv2d\\n2x5x5 -> 8x3x3", ')
        assert statements["n3"].startswith('label="core\\nHybridRegion snn \'snn core\'\\n4 -> 4", ')
        assert [statements[edge] for edge in [("n0", "n1"), ("n1", "n2"), ("n3", "n4")]] == [
            'label="8x3x3"', 'label="72"', 'label="4"']

    def test_unknown_shapes_and_broken_edges(self):
        graph = Graph(nodes={"pool": MaxPool2d(), "relu": ReLU(3)},
                      edges=[("pool", "relu"), ("pool", "gone"), ("pool",), (1, "relu")])
        statements = dot_statements(graph.to_dot())
        assert statements["n0"].startswith('label="pool\\nMaxPool2d\\n? -> ?", ')
        assert list(statements) == ["n0", "n1", ("n0", "n1")]
        assert statements[("n0", "n1")] == ""

    NAMES = ['say "hi"', "back\\slash\\", "two\nlines", "<html>&", "ünï", "\\N"]

    def test_names_in_labels_escaped(self):
        graph = Graph.sequential([ReLU(2) for _ in self.NAMES], names=self.NAMES)
        labels = [attributes.split(", shape=")[0] for attributes in dot_statements(graph.to_dot()).values()]
        assert labels[:3] == ['label="say \\"hi\\"\\nReLU\\n2 -> 2"',
                              'label="back\\\\slash\\\\\\nReLU\\n2 -> 2"',
                              'label="two\\nlines\\nReLU\\n2 -> 2"']

    @pytest.mark.skipif(shutil.which("dot") is None, reason="needs Graphviz's dot")
    def test_dot_draws_every_name_as_it_is(self):
        graph = Graph.sequential([ReLU(2) for _ in self.NAMES], names=self.NAMES)
        svg = subprocess.run(["dot", "-Tsvg"], input=graph.to_dot(), capture_output=True,
                             text=True, check=True).stdout
        texts = [html.unescape(text) for text in re.findall(r"<text[^>]*>(.*?)</text>", svg)]
        names = [line for name in self.NAMES for line in name.split("\n")]
        legend = ["SNN (spiking)", "ANN (rate-based)", "HybridRegion marker"]
        assert texts[:3] == legend
        assert [text for text in texts[3:] if text not in ("ReLU", "2 -> 2", "2")] == names


class TestShow:
    def test_topological_order_with_inferred_shapes(self):
        graph = build({"fc": dense(8, 72), "flatten": Flatten(),
                       "conv": conv(8, 2, input_type=ports([2, 5, 5]))}, "conv>flatten flatten>fc")
        out = io.StringIO()
        show(graph, out)
        assert out.getvalue().splitlines()[1:4] == [
            "  conv     Conv2d             2x5x5 -> 8x3x3",
            "  flatten  Flatten            8x3x3 -> 72",
            "  fc       Affine                72 -> 8"]

    def test_problems_under_the_shapes_as_they_stand(self):
        out = io.StringIO()
        show(Graph.sequential([dense(8, 4), lif(3)]), out)
        assert out.getvalue().splitlines()[2:] == [
            "  lif     LIF                    3 -> 3",
            "  edges: affine -> lif",
            "  Cannot infer the graph's shapes:",
            "    node 'lif': LIF of width 3 does not fit input shape [8] (its leading extent "
            "must be 3)"]


def test_documented_example_prints_what_the_page_says(capsys):
    page = (Path(__file__).parent.parent / "docs" / "graphs.md").read_text()
    code, printed = re.findall(r"```(?:python|text)\n(.*?)```", page, re.S)[:2]
    exec(code, {})
    assert capsys.readouterr().out == printed
