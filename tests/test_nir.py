"""NIR interchange: round trips both ways, numbers that mean the same on both sides, refusals."""

import subprocess
import sys
from pathlib import Path

import nir
import numpy as np
import pytest

from zor.ir import (IF, LI, LIF, Affine, AvgPool2d, Conv1d, Conv2d, CubaLI, CubaLIF, Delay, Flatten,
                    Graph, Integrator, MaxPool2d, ReLU, Scale, SepConv2d, Skip, SpikingAffine,
                    SumPool2d, Threshold, Upsample, conv2d_output_shape)
from zor.ir.nir import (NODE_METADATA_KEY, SUBGRAPHS_KEY, TYPES_KEY, from_nir, read_nir, to_nir,
                        write_nir)

RNG = np.random.default_rng(7)


def weights(*shape):
    return RNG.normal(size=shape).astype(np.float32)


def lif(n):
    return LIF(RNG.uniform(5, 20, n), RNG.uniform(1, 2, n), RNG.normal(size=n), np.ones(n))


def graph_of(*chain, metadata=None):
    """A graph of (name, node) pairs joined in a chain."""
    graph = Graph(nodes=dict(chain), metadata=metadata or {})
    for (src, _), (dst, _) in zip(chain, chain[1:]):
        graph.add_edge(src, dst)
    return graph


def assert_nir_equal(actual, expected):
    """Same node names and classes, every field equal (arrays and sequences by value,
    dictionaries key by key), same edges in the same order, same graph metadata."""
    assert actual.nodes.keys() == expected.nodes.keys()
    for name, node in expected.nodes.items():
        other = actual.nodes[name]
        assert type(other) is type(node), name
        assert vars(other).keys() == vars(node).keys(), name
        if isinstance(node, nir.NIRGraph):
            assert_nir_equal(other, node)
            continue
        for field, value in vars(node).items():
            got = getattr(other, field)
            if isinstance(value, dict):
                assert value.keys() == got.keys(), (name, field)
                assert all(np.array_equal(value[k], got[k]) for k in value), (name, field)
            elif isinstance(value, str):
                assert got == value, (name, field)
            else:
                assert np.array_equal(got, value), (name, field)
    assert [tuple(e) for e in actual.edges] == [tuple(e) for e in expected.edges]
    assert actual.metadata.keys() == expected.metadata.keys()
    assert all(np.array_equal(actual.metadata[k], v) for k, v in expected.metadata.items())


# Every ZOR type NIR shares, with the ports a graph input needs.
SHARED_NODES = {
    "LIF": lambda: lif(6),
    "Affine": lambda: Affine(weights(3, 5), weights(3)),
    "SpikingAffine": lambda: SpikingAffine(weights(3, 5), weights(3), "graded", 4, 12,
                                           metadata={"layer": "fc1"}),
    "SpikingAffine defaults": lambda: SpikingAffine(weights(2, 4), np.zeros(2, np.float32)),
    "Conv2d": lambda: Conv2d(weights(4, 2, 3, 3), weights(4), stride=(2, 1), padding=(1, 2),
                             dilation=(1, 2), input_type={"input": np.array([2, 9, 11])},
                             output_type={"output": np.array([4, 5, 11])}),
    "AvgPool2d": lambda: AvgPool2d((3, 2), (2, 1), (1, 0),
                                   input_type={"input": np.array([4, 9, 8])}),
    "Flatten": lambda: Flatten(1, -1, input_type={"input": np.array([4, 3, 5])}),
    "IF": lambda: IF(weights(4), weights(4), weights(4), metadata={"from": "sinabs"}),
    "LI": lambda: LI(*(weights(2, 3) for _ in range(3))),
    "CubaLIF": lambda: CubaLIF(*(weights(5) for _ in range(7)), metadata={"layer": 2}),
    "CubaLI": lambda: CubaLI(*(weights(5) for _ in range(5))),
    "Integrator": lambda: Integrator(weights(3)),
    "Threshold": lambda: Threshold(weights(3)),
    "Scale": lambda: Scale(weights(6), metadata={"gain": "yes"}),
    "Delay": lambda: Delay(np.abs(weights(6))),
    "Conv1d": lambda: Conv1d(weights(4, 2, 3), weights(4), stride=2, padding=1, dilation=2,
                             metadata={"k": 3}, input_type={"input": np.array([2, 11])},
                             output_type={"output": np.array([4, 5])}),
    "SumPool2d": lambda: SumPool2d((3, 2), (2, 1), (1, 0),
                                   input_type={"input": np.array([4, 9, 8])}),
}


class TestRoundTrips:
    @pytest.mark.parametrize("through_file", [False, True], ids=["memory", "file"])
    @pytest.mark.parametrize("kind", SHARED_NODES)
    def test_each_shared_type_comes_back_equal(self, kind, through_file, tmp_path):
        graph = graph_of(("node", SHARED_NODES[kind]()), metadata={"name": "one node"})
        if through_file:
            write_nir(tmp_path / "net.nir", graph)
            back = read_nir(tmp_path / "net.nir")
        else:
            back = from_nir(to_nir(graph))
        assert back.equals(graph), (back.nodes["node"], graph.nodes["node"])

    def test_nir_built_graph_comes_back_equal_to_nir(self, tmp_path):
        original = nir.NIRGraph(
            nodes={"input": nir.Input(input_type={"input": np.array([2, 10, 10])}),
                   "conv": nir.Conv2d((10, 10), weights(4, 2, 3, 3), 1, 1, 1, 1, weights(4),
                                      metadata={"trained": "yes"}),
                   "pool": nir.AvgPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),
                   "flat": nir.Flatten({"input": np.array([4, 5, 5])}, 0, -1),
                   "fc": nir.Affine(weights(3, 100), weights(3), metadata={"epochs": 4}),
                   "lif": nir.LIF(np.full(3, 10.0), np.ones(3), np.zeros(3), np.ones(3)),
                   "output": nir.Output(output_type={"output": np.array([3])})},
            edges=[("input", "conv"), ("conv", "pool"), ("pool", "flat"), ("flat", "fc"),
                   ("fc", "lif"), ("lif", "output")],
            metadata={"source": "nir", "dt": 1e-3})
        nir.write(tmp_path / "made_by_nir.nir", original)
        graph = read_nir(tmp_path / "made_by_nir.nir")
        assert graph.metadata[NODE_METADATA_KEY] == {"conv": {"trained": "yes"}, "fc": {"epochs": 4}}
        assert_nir_equal(to_nir(graph), nir.read(tmp_path / "made_by_nir.nir"))
        assert_nir_equal(to_nir(graph), original)
        write_nir(tmp_path / "again.nir", graph)
        assert_nir_equal(nir.read(tmp_path / "again.nir"), original)

    @pytest.mark.parametrize("through_file", [False, True], ids=["memory", "file"])
    def test_linear_comes_back_as_linear(self, through_file, tmp_path):
        weight = weights(2, 3)
        original = nir.NIRGraph.from_list(nir.Linear(weight, metadata={"trained": "yes"}))
        graph = from_nir(original)
        assert graph.metadata == {TYPES_KEY: {"linear": "Linear"},
                                  NODE_METADATA_KEY: {"linear": {"trained": "yes"}}}
        assert type(graph.nodes["linear"]) is Affine
        if through_file:
            write_nir(tmp_path / "linear.nir", graph)
            assert read_nir(tmp_path / "linear.nir").equals(graph)
        assert_nir_equal(to_nir(graph), original)

    def test_marked_linear_with_a_bias_is_refused(self, fails_with):
        graph = graph_of(("fc", Affine(weights(2, 3), np.ones(2, np.float32))),
                         metadata={TYPES_KEY: {"fc": "Linear"}})
        fails_with("Cannot convert to NIR:\n  node 'fc' (Affine): the graph's 'nir.types' marks it "
                   "as an nir.Linear, but its bias is not zero", lambda: to_nir(graph))

    def test_spiking_affine_travels_as_marked_affine(self):
        node = to_nir(graph_of(("fc", SHARED_NODES["SpikingAffine"]()))).nodes["fc"]
        assert type(node) is nir.Affine
        assert node.metadata == {"zor.type": "SpikingAffine", "zor.spike_mode": "graded",
                                 "zor.weight_bits": 4, "zor.accumulator_bits": 12,
                                 "layer": "fc1"}

    @pytest.mark.parametrize("names, edges, inputs, outputs", [
        ("abcde", ["ac", "bc", "cd", "ce"], ["input_a", "input_b"], ["output_d", "output_e"]),
        (["input", "output"], [("input", "output")], ["input_1"], ["output_1"]),
    ])
    def test_one_input_and_output_per_graph_input_and_output(self, names, edges, inputs, outputs):
        graph = Graph(nodes={name: lif(3) for name in names}, edges=[tuple(e) for e in edges])
        converted = to_nir(graph)
        assert list(converted.inputs) == inputs and list(converted.outputs) == outputs
        assert from_nir(converted).equals(graph)

    def test_input_shape_reaches_the_node_it_feeds(self):
        unchecked = nir.NIRGraph({"in": nir.Input(np.array([4, 3, 5])),
                                  "flat": nir.Flatten({"input": None}, 0, -1)},
                                 [("in", "flat")], type_check=False)
        flat = from_nir(unchecked).nodes["flat"]
        assert flat.input_type["input"].tolist() == [4, 3, 5]
        assert flat.output_type["output"].tolist() == [60]


class TestSameNumbers:
    @pytest.mark.parametrize("shape, start, end", [
        ([4, 5, 6], 0, -1), ([4, 5, 6], 1, -1), ([4, 5, 6], 0, 1), ([4, 5, 6], -2, -1),
        ([4, 5, 6], 1, 1), ([7], 0, -1)])
    def test_flatten_dims_count_without_batch_on_both_sides(self, shape, start, end):
        ours = Flatten(start, end, input_type={"input": np.array(shape)})
        theirs = to_nir(graph_of(("flat", ours))).nodes["flat"]
        assert (theirs.start_dim, theirs.end_dim) == (start, end)
        assert theirs.output_type["output"].tolist() == ours.output_type["output"].tolist()

    @pytest.mark.parametrize("kernel, stride, padding, dilation, zor_padding", [
        ((3, 3), 1, 0, 1, (0, 0)),
        ((3, 3), (2, 1), (1, 2), (1, 2), (1, 2)),
        ((3, 3), 1, "valid", 1, (0, 0)),
        ((3, 3), 1, "same", 1, (1, 1)),
        ((3, 5), 1, "same", (2, 1), (2, 2)),
        ((1, 3), 1, "same", (1, 3), (0, 3)),
    ])
    def test_conv2d_output_size_agrees(self, kernel, stride, padding, dilation, zor_padding):
        conv = nir.Conv2d((9, 11), weights(4, 2, *kernel), stride, padding, dilation, 1, weights(4))
        ours = from_nir(nir.NIRGraph.from_list(conv)).nodes["conv2d"]
        assert ours.padding == zor_padding and ours.input_type["input"].tolist() == [2, 9, 11]
        assert list(conv2d_output_shape((2, 9, 11), 4, kernel, ours.stride, ours.padding,
                                        ours.dilation)) == conv.output_type["output"].tolist()

    @pytest.mark.parametrize("kernel, stride, padding, dilation, zor_padding", [
        (3, 1, 0, 1, 0), (3, 2, 2, 1, 2), (3, 1, "valid", 1, 0), (5, 1, "same", 2, 4)])
    def test_conv1d_output_length_agrees(self, kernel, stride, padding, dilation, zor_padding):
        conv = nir.Conv1d(17, weights(4, 2, kernel), stride, padding, dilation, 1, weights(4))
        ours = from_nir(nir.NIRGraph.from_list(conv)).nodes["conv1d"]
        assert (ours.padding, ours.stride, ours.dilation) == (zor_padding, stride, dilation)
        assert ours.output_type["output"].tolist() == conv.output_type["output"].tolist()

    @pytest.mark.parametrize("kernel, stride, padding, shape", [
        ((2, 2), (2, 2), (0, 0), [4, 8, 8]), ((3, 2), (2, 1), (1, 0), [4, 9, 8]),
        ((3, 3), (3, 3), (1, 1), [2, 10, 7])])
    def test_avg_pool2d_output_size_agrees(self, kernel, stride, padding, shape):
        ours = AvgPool2d(kernel, stride, padding, input_type={"input": np.array(shape)})
        theirs = to_nir(graph_of(("pool", ours))).nodes["pool"]
        assert theirs.output_type["output"].tolist() == ours.output_type["output"].tolist()

    def test_lif_goes_out_with_zero_reset(self):
        ours = LIF(*(np.full(4, v, np.float32) for v in (10.0, 2.0, -1.0, 0.5)))
        theirs = to_nir(graph_of(("lif", ours))).nodes["lif"]
        assert all(getattr(theirs, f) is getattr(ours, f) for f in ("tau", "r", "v_leak",
                                                                    "v_threshold"))
        assert theirs.v_reset.dtype == np.float32 and not theirs.v_reset.any()

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_linear_is_an_affine_with_zero_bias(self, dtype):
        weight = np.arange(6, dtype=dtype).reshape(2, 3)
        ours = from_nir(nir.NIRGraph.from_list(nir.Linear(weight))).nodes["linear"]
        assert type(ours) is Affine and ours.weight is weight
        assert ours.bias.dtype == dtype and ours.bias.tolist() == [0, 0]

    def test_avg_pool2d_without_padding_ignores_count_include_pad(self):
        ours = AvgPool2d((2, 2), count_include_pad=False, input_type={"input": np.array([1, 4, 4])})
        assert from_nir(to_nir(graph_of(("pool", ours)))).nodes["pool"].count_include_pad


def bad_lif():
    node = lif(3)
    node.r = np.ones(2)
    return node


class TestRefusals:
    def test_every_type_without_nir_counterpart_is_named(self, fails_with):
        graph = graph_of(("lif", lif(4)), ("relu", ReLU(4)),
                         ("pool", MaxPool2d(input_type={"input": np.array([4, 2, 2])})),
                         ("up", Upsample(input_type={"input": np.array([4, 1, 1])})),
                         ("skip", Skip()), ("sep", SepConv2d(weights(4, 1, 1, 1), weights(2, 4, 1, 1))))
        fails_with("Cannot convert to NIR:\n  node 'relu' (ReLU): no NIR counterpart\n"
                   "  node 'pool' (MaxPool2d): no NIR counterpart\n"
                   "  node 'up' (Upsample): no NIR counterpart\n"
                   "  node 'skip' (Skip): no NIR counterpart\n"
                   "  node 'sep' (SepConv2d): no NIR counterpart", lambda: to_nir(graph))

    @pytest.mark.parametrize("node, reason", [
        (lambda: Conv2d(weights(4, 2, 3, 3), weights(4)),
         "its input height and width are unknown; give its input_type as (C, H, W)"),
        (lambda: Conv2d(weights(4, 2, 3, 3), weights(4), groups=2,
                        input_type={"input": np.array([4, 8, 8])}),
         "groups=2: NIR's type check refuses grouped convolutions"),
        (lambda: AvgPool2d(ceil_mode=True, input_type={"input": np.array([1, 5, 5])}),
         "ceil_mode=True: NIR pools with floor rounding"),
        (lambda: AvgPool2d(padding=(0, 1), count_include_pad=False,
                           input_type={"input": np.array([1, 4, 4])}),
         "count_include_pad=False with padding (0, 1): NIR divides every window by its full "
         "size, padding included"),
        (lambda: Flatten(), "a graph input needs a known input shape; give its input_type"),
        (lambda: SpikingAffine(weights(2, 2), weights(2), metadata={"zor.weight_bits": 2}),
         "its metadata keys ['zor.weight_bits'] are the ones that carry SpikingAffine's fields "
         "in NIR"),
        (lambda: Conv2d(weights(4, 2, 3, 5), weights(4), input_type={"input": np.array([2, 9, 11])}),
         "NIR works its output shape out as [4, 7, 9], not [4, 7, 7]"),
        (lambda: Conv1d(weights(4, 2, 3), weights(4)),
         "its input length is unknown; give its input_type as (C, N)"),
        (lambda: Conv1d(weights(4, 1, 3), weights(4), groups=2,
                        input_type={"input": np.array([2, 9])}),
         "groups=2: NIR's type check refuses grouped convolutions"),
    ], ids=["conv no size", "conv groups", "ceil_mode", "count_include_pad", "no input shape",
            "reserved key", "non-square kernel", "conv1d no length", "conv1d groups"])
    def test_node_that_cannot_go_exactly(self, node, reason, fails_with):
        made = node()
        fails_with(f"Cannot convert to NIR:\n  node 'n' ({type(made).__name__}): {reason}",
                   lambda: to_nir(graph_of(("n", made))))

    def test_node_changed_into_an_invalid_one(self, fails_with):
        # Inference rebuilds each node, so its own checks speak before NIR's.
        fails_with("Cannot infer the graph's shapes:\n  node 'n': All LIF parameters must have same "
                   "shape, got: tau=(3,), r=(2,), v_leak=(3,), v_threshold=(3,)",
                   lambda: to_nir(graph_of(("n", bad_lif()))))

    @pytest.mark.parametrize("kept, problem", [
        ({"ghost": {"a": 1}}, "graph metadata 'nir.node_metadata' names ['ghost'], which are not "
                              "nodes of the graph"),
        ({"n": 1}, "graph metadata 'nir.node_metadata' must map node names to dictionaries"),
        ({"n": {"layer": 2}}, "node 'n' (SpikingAffine): metadata keys ['layer'] are both in its "
                              "metadata and in the graph's 'nir.node_metadata'"),
    ])
    def test_kept_node_metadata_must_fit(self, kept, problem, fails_with):
        graph = graph_of(("n", SHARED_NODES["SpikingAffine"]()), metadata={NODE_METADATA_KEY: kept})
        fails_with(f"Cannot convert to NIR:\n  {problem}", lambda: to_nir(graph))

    def test_only_the_first_node_needs_a_shape(self):
        graph = Graph.sequential([Conv2d(weights(4, 2, 3, 3), weights(4), input_type={"input": np.array([2, 8, 8])}),
                                  AvgPool2d(), Flatten(), Affine(weights(3, 36), weights(3))])
        converted = to_nir(graph)
        assert tuple(converted.nodes["conv2d"].input_shape) == (8, 8)
        assert list(converted.nodes["affine"].input_type["input"]) == [36]
        assert graph.nodes["avgpool2d"].input_type is None  # the caller's graph is left as it was

    def test_shapes_that_disagree_are_refused_before_nir_sees_them(self, fails_with):
        graph = graph_of(("a", Affine(weights(3, 5), weights(3))), ("b", Affine(weights(2, 4), weights(2))))
        fails_with("Cannot infer the graph's shapes:\n  node 'b': Affine takes input shape [4], got [3]",
                   lambda: to_nir(graph))

    def test_resetting_lif_is_named(self, fails_with):
        n = np.ones(2)
        graph = nir.NIRGraph.from_list(nir.CubaLIF(n, n, n, n, n),
                                       nir.LIF(n, n, n, n, v_reset=np.array([0.0, -0.5])))
        fails_with("Cannot convert from NIR:\n  node 'lif' (LIF): v_reset must be zero, as ZOR's "
                   "LIF resets to zero; got [ 0.  -0.5]", lambda: from_nir(graph))

    def test_nir_type_without_zor_counterpart(self, fails_with):
        graph = nir.NIRGraph({"x": nir.ir.graph.Identity({"input": np.array([2])})}, [],
                             type_check=False)
        fails_with("Cannot convert from NIR:\n  node 'x' (Identity): no ZOR counterpart",
                   lambda: from_nir(graph))

    FEEDS = "must feed exactly one node, which nothing else feeds"
    FED = "must be fed by exactly one node, which feeds nothing else"

    @pytest.mark.parametrize("nodes, edges, problems", [
        ("iab", ["ia", "ib"], [f"node 'i' (Input): {FEEDS}"]),
        ("iafo", ["ia", "af", "fa", "ao"], [f"node 'i' (Input): {FEEDS}",
                                            f"node 'o' (Output): {FED}"]),
        ("io", ["io"], [f"node 'i' (Input): {FEEDS}", f"node 'o' (Output): {FED}"]),
        ("ia", ["ia", "ix"], ["edge 'i' -> 'x': no node named 'x'"]),
    ], ids=["input feeds two", "recurrent node", "input to output", "missing node"])
    def test_inputs_and_outputs_zor_cannot_keep(self, nodes, edges, problems, fails_with):
        kinds = {"i": nir.Input(np.array([2])), "o": nir.Output(np.array([2])),
                 "a": nir.LIF(*[np.ones(2)] * 4), "b": nir.LIF(*[np.ones(2)] * 4),
                 "f": nir.Affine(np.eye(2), np.zeros(2))}
        graph = nir.NIRGraph({n: kinds[n] for n in nodes}, [tuple(e) for e in edges],
                             type_check=False)
        fails_with("Cannot convert from NIR:\n  " + "\n  ".join(problems), lambda: from_nir(graph))

    @pytest.mark.parametrize("node, reason", [
        (nir.Conv2d((5, 5), np.ones((1, 1, 2, 2)), 1, "same", 1, 1, np.ones(1)),
         "padding 'same' with kernel (2, 2), dilation (1, 1) and stride (1, 1) is no symmetric "
         "padding (pH, pW); it needs stride 1 and odd dilated kernel sizes"),
        (nir.Conv2d((9, 11), np.ones((1, 1, 3, 5)), 1, 0, 1, 1, np.ones(1)),
         "NIR works its output shape out as [1, 7, 9], not [1, 7, 7]"),
        (nir.Affine(np.ones((2, 3, 4)), np.ones(3)),
         "ZOR refuses it: weight must be exactly 2D (out_features, in_features)"),
        (nir.Affine(np.ones((2, 2)), np.ones(2), metadata={"zor.type": "Dense"}),
         "its metadata 'zor.type' names 'Dense', which is no ZOR type that travels as an "
         "nir.Affine"),
        (nir.Input(np.array([2]), metadata={"camera": "left"}),
         "its metadata has no place in ZOR, which has no Input or Output nodes"),
        (nir.Conv1d(9, np.ones((1, 1, 2)), 1, "same", 1, 1, np.ones(1)),
         "padding 'same' with kernel (2,), dilation 1 and stride 1 is no symmetric padding; it "
         "needs stride 1 and odd dilated kernel sizes"),
    ], ids=["same", "non-square kernel", "3-d weight", "unknown marker", "input metadata",
            "conv1d same"])
    def test_nir_node_that_cannot_come_exactly(self, node, reason, fails_with):
        graph = nir.NIRGraph({"x": node}, [], type_check=False)
        problems = [f"node 'x' ({type(node).__name__}): {reason}"]
        if isinstance(node, nir.Input):
            problems.insert(0, f"node 'x' (Input): {self.FEEDS}")
        fails_with("Cannot convert from NIR:\n  " + "\n  ".join(problems), lambda: from_nir(graph))

    @pytest.mark.parametrize("call, argument, expected", [
        (to_nir, nir.NIRGraph({}, []), "to_nir expects a zor.ir.Graph, got NIRGraph"),
        (from_nir, Graph(), "from_nir expects a nir.NIRGraph, got Graph")])
    def test_wrong_graph_kind(self, call, argument, expected, fails_with):
        fails_with(expected, lambda: call(argument), TypeError)


ROOT = Path(__file__).parent.parent


@pytest.mark.parametrize("code, expected", [
    ("import sys, zor.ir; print('nir' in sys.modules)", "False"),
    ("import sys; sys.modules['nir'] = None\ntry:\n import zor.ir.nir\nexcept ImportError as e:"
     "\n print(e)", "zor.ir.nir needs the 'nir' package; install it with: pip install 'zor-ir[nir]'"),
], ids=["zor.ir alone", "nir missing"])
def test_nir_is_an_optional_extra(code, expected):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


def test_example_runs(tmp_path):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "nir_roundtrip.py"),
                             str(tmp_path / "example.nir")], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "example.nir").is_file()
    assert result.stdout.splitlines()[-1] == "read back: equal to the original graph"
