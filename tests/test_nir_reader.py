"""The tolerant NIR reader: files the frameworks write that nir's own reader refuses, made
here with h5py in nir's layout; every repair (one warning naming the node) and every refusal."""

import json
import subprocess
import sys
import warnings

import h5py
import nir
import numpy as np
import pytest

from zor.ir import Affine, Conv2d
from zor.ir.nir import RepairWarning, from_nir, read_nir

F32 = np.float32


def write_group(group, entries):
    for key, value in entries.items():
        if isinstance(value, dict):
            write_group(group.create_group(key), value)
        elif isinstance(value, str):
            group.create_dataset(key, data=value, dtype=h5py.string_dtype())
        else:
            group.create_dataset(key, data=value)


def write_layout(path, graph):
    """A NIR file of ``graph``, a dictionary in the layout nir.write uses."""
    with h5py.File(path, "w") as file:
        file.create_dataset("version", data="1.0.8", dtype=h5py.string_dtype())
        write_group(file.create_group("node"), graph)
    return path


def graph(nodes, edges):
    return {"type": "NIRGraph", "nodes": nodes,
            "edges": np.array(edges, dtype="S") if edges else np.zeros(0)}


def affine(out, inp):
    return {"type": "Affine", "weight": np.ones((out, inp), F32), "bias": np.zeros(out, F32)}


def lif(shape=(), **shapes):
    fields = {"tau": 10.0, "r": 1.0, "v_leak": 0.0, "v_threshold": 1.0, "v_reset": 0.0}
    return {"type": "LIF", **{name: np.full(shapes.get(name, shape), value, F32)
                              for name, value in fields.items()}}


def port(kind, shape):
    return {"type": kind, "shape": np.array(shape)}


def chain(*named):
    """A NIR graph of (name, node) pairs joined in a chain."""
    names = [name for name, _ in named]
    return graph(dict(named), list(zip(names, names[1:])))


def read_warning(path, **options):
    """The graph read from ``path`` and the repair messages, in order."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = read_nir(path, **options)
    assert all(issubclass(w.category, RepairWarning) for w in caught)
    return result, [str(w.message) for w in caught]


def deep(levels):
    """Graphs nested ``levels`` deep."""
    inner = {"type": "NIRGraph", "nodes": {}, "edges": np.zeros(0)}
    for _ in range(levels):
        inner = {"type": "NIRGraph", "nodes": {"g": inner}, "edges": np.zeros(0)}
    return inner


DENSE = [("input", port("Input", [1, 20])), ("fc", affine(3, 20)),
         ("output", port("Output", [1, 3]))]


class TestRepairs:
    @pytest.mark.parametrize("nodes, messages, shapes", [
        (DENSE, ["node 'input' (Input): leading batch extent dropped: [1, 20] -> [20]",
                 "node 'output' (Output): leading batch extent dropped: [1, 3] -> [3]"],
         {"fc": [20]}),
        ([("input", port("Input", [1, 2, 8, 8])),
          ("conv", {"type": "Conv2d", "weight": np.ones((4, 2, 3, 3), F32), "stride": 1,
                    "padding": 1, "dilation": 1, "groups": 1, "bias": np.zeros(4, F32)}),
          ("output", port("Output", [4, 8, 8]))],
         ["node 'input' (Input): leading batch extent dropped: [1, 2, 8, 8] -> [2, 8, 8]"],
         {"conv": [2, 8, 8]}),
        # Rockpool's Output: a batch and a time extent in front of the channels.
        ([("input", port("Input", [4])), ("lif", lif((4,))), ("output", port("Output", [1, 1, 4]))],
         ["node 'output' (Output): leading extents [1, 1] dropped: [1, 1, 4] -> [4]"],
         {"lif": [4]}),
        ([("input", port("Input", [[20]])), ("fc", affine(3, 20)), ("output", port("Output", [1]))],
         ["node 'input' (Input): shape [[20]] read as [20]",
          "node 'output' (Output): shape [1] settled to [3], what node 'fc' (Affine) gives"],
         {"fc": [20]}),
        ([("input", port("Input", [4])), ("fc", affine(20, 4)), ("lif", lif()),
          ("output", port("Output", [20]))],
         ["node 'lif' (LIF): parameters tau, r, v_leak, v_threshold, v_reset of shape () "
          "broadcast to (20,)"], {"lif": [20]}),
        ([("input", port("Input", [4])), ("fc", affine(20, 4)), ("lif", lif((20,), r=(), tau=(1,))),
          ("output", port("Output", [20]))],
         ["node 'lif' (LIF): parameters tau, r of shape () or (1,) broadcast to (20,)"],
         {"lif": [20]}),
        # Widths travel along a chain of element-wise nodes, from either side.
        ([("input", port("Input", [5])), ("lif1", lif((1,))), ("lif2", lif()),
          ("fc", affine(3, 5)), ("output", port("Output", [3]))],
         ["node 'lif1' (LIF): parameters tau, r, v_leak, v_threshold, v_reset of shape (1,) "
          "broadcast to (5,)",
          "node 'lif2' (LIF): parameters tau, r, v_leak, v_threshold, v_reset of shape () "
          "broadcast to (5,)"], {"lif1": [5], "lif2": [5]}),
        ([("input", port("Input", [6])), ("lif", lif()), ("output", port("Output", [6]))],
         ["node 'lif' (LIF): parameters tau, r, v_leak, v_threshold, v_reset of shape () "
          "broadcast to (6,)"], {"lif": [6]}),
    ], ids=["batch extent", "batch extent of a conv", "batch and time extents", "[[1]] ports", "scalar parameters",
            "scalar beside arrays", "along a chain", "width from the input"])
    def test_each_repair_is_one_warning(self, nodes, messages, shapes, tmp_path):
        result, said = read_warning(write_layout(tmp_path / "net.nir", chain(*nodes)))
        assert said == messages
        for name, shape in shapes.items():
            assert result.nodes[name].input_type["input"].tolist() == shape
        result.validate(strict=True)

    def test_broadcast_parameters_keep_their_values_and_types(self, tmp_path):
        nodes = [("input", port("Input", [4])), ("fc", affine(3, 4)),
                 ("lif", {**lif(), "tau": np.array(7.5, np.float64)}), ("output", port("Output", [3]))]
        result, _ = read_warning(write_layout(tmp_path / "net.nir", chain(*nodes)))
        tau = result.nodes["lif"].tau
        assert tau.dtype == np.float64 and tau.tolist() == [7.5] * 3

    @pytest.mark.parametrize("through_file", [False, True], ids=["memory", "file"])
    def test_scalar_synaptic_neurons_as_snntorch_exports_them(self, through_file, tmp_path):
        scalar = np.array(0.5, F32)
        exported = nir.NIRGraph(
            {"input": nir.Input(np.array([4])), "fc1": nir.Affine(np.ones((8, 4), F32), np.zeros(8, F32)),
             "lif1": nir.CubaLIF(scalar, scalar, scalar, scalar, scalar, scalar),
             "output": nir.Output(np.array([8]))},
            [("input", "fc1"), ("fc1", "lif1"), ("lif1", "output")], type_check=False)
        with pytest.warns(RepairWarning) as said:
            if through_file:
                # nir 1.0.8 compresses every array, which 0-d ones cannot be; older nir did not.
                nir.write(tmp_path / "synaptic.nir", exported, compression=None)
                graph = read_nir(tmp_path / "synaptic.nir")
            else:
                graph = from_nir(exported, repair=True)
        assert [str(w.message) for w in said] == [
            "node 'lif1' (CubaLIF): parameters tau_syn, tau_mem, r, v_leak, v_threshold, v_reset, "
            "w_in of shape () broadcast to (8,)"]
        assert graph.nodes["lif1"].input_type["input"].tolist() == [8]
        graph.validate(strict=True)

    def test_file_without_v_reset_reads_as_nir_1_0_8_does(self, tmp_path):
        old = lif((3,))
        del old["v_reset"]
        path = write_layout(tmp_path / "old.nir", chain(("input", port("Input", [3])), ("lif", old),
                                                       ("output", port("Output", [3]))))
        for repair in (True, False):
            result, said = read_warning(path, repair=repair)
            assert said == ["node 'lif' (LIF): no v_reset (nir 1.0.4 and older state a reset by "
                            "subtracting the threshold); read as v_reset = 0, as nir 1.0.8 reads it"]
            assert result.nodes["lif"].tau.tolist() == [10.0] * 3

    RNN = {"input": port("Input", [3]), "lif1": lif((3,)), "w_rec": affine(3, 3),
           "output": port("Output", [3])}
    RNN_EDGES = [("input", "lif"), ("lif", "w_rec"), ("w_rec", "lif"), ("lif", "output")]

    def rnn_file(self, path, nodes, edges):
        return write_layout(path, graph(
            {"input": port("Input", [4]), "fc": affine(3, 4), "rnn": graph(nodes, edges),
             "fc2": affine(2, 3), "output": port("Output", [2])},
            [("input", "fc"), ("fc", "rnn"), ("rnn", "fc2"), ("fc2", "output")]))

    def test_subgraph_edges_to_a_missing_node_with_one_candidate(self, tmp_path):
        path = self.rnn_file(tmp_path / "rnn.nir", self.RNN, self.RNN_EDGES)
        result, said = read_warning(path)
        assert said == ["subgraph 'rnn': node 'lif1' (LIF): edges name 'lif', which is no node; "
                        "read as edges of this node, the one node no edge reaches"]
        assert result.edges == [("rnn.lif1", "rnn.w_rec"), ("rnn.w_rec", "rnn.lif1"),
                                ("fc", "rnn.lif1"), ("rnn.lif1", "fc2")]
        with pytest.raises(ValueError) as refused:
            read_nir(path, repair=False)
        assert str(refused.value) == (
            "Cannot convert from NIR:\n  subgraph 'rnn': node 'lif1' (LIF): edges name 'lif', "
            "which is no node; this is the one node no edge reaches (repair=True reads them as "
            "edges of it)")


class TestRefusals:
    @pytest.mark.parametrize("nodes, edges", [
        ({**RNN_NODES, "lif2": lif((3,))}, TestRepairs.RNN_EDGES)
        for RNN_NODES in [TestRepairs.RNN]] + [
        (TestRepairs.RNN, TestRepairs.RNN_EDGES + [("w_rec", "x")])], ids=["two candidates",
                                                                          "two missing names"])
    def test_dangling_subgraph_edges_without_one_repair(self, nodes, edges, fails_with, tmp_path):
        path = TestRepairs().rnn_file(tmp_path / "rnn.nir", nodes, edges)
        lines = [f"subgraph 'rnn': edge {src!r} -> {dst!r}: no node named "
                 + " or ".join(repr(n) for n in (src, dst) if n not in nodes)
                 for src, dst in edges if src not in nodes or dst not in nodes]
        fails_with("Cannot convert from NIR:\n  " + "\n  ".join(lines), lambda: read_nir(path))

    @pytest.mark.parametrize("nodes, problems", [
        ([("input", port("Input", [1, 20])), ("lif", lif()), ("output", port("Output", [1, 20]))],
         ["node 'lif' (LIF): its parameters tau, r, v_leak, v_threshold, v_reset have shape () "
          "and no neighbour tells how many neurons it has"]),
        ([("input", port("Input", [5])), ("fc", affine(3, 20)), ("output", port("Output", [3]))],
         ["node 'input' (Input): its shape [5] does not fit node 'fc' (Affine), which takes [20]"]),
        ([("input", port("Input", [4])), ("lif", lif((4,))), ("output", port("Output", [1, 2, 4]))],
         ["node 'output' (Output): its shape [1, 2, 4] does not fit node 'lif' (LIF), which "
          "gives [4]"]),
        ([("input", port("Input", [3])), ("lif", lif((3,))), ("output", port("Output", [1, 1, 4]))],
         ["node 'output' (Output): its shape [1, 1, 4] does not fit node 'lif' (LIF), which "
          "gives [3]"]),
    ], ids=["unknown width", "shape that is no batch extent", "an extent of 2 in front",
            "extents of 1 before another width"])
    def test_what_cannot_be_settled(self, nodes, problems, fails_with, tmp_path):
        path = write_layout(tmp_path / "net.nir", chain(*nodes))
        fails_with("Cannot convert from NIR:\n  " + "\n  ".join(problems), lambda: read_nir(path))

    def test_without_repairs_each_is_refused(self, fails_with, tmp_path):
        nodes = [("input", port("Input", [1, 4])), ("fc", affine(3, 4)), ("lif", lif()),
                 ("output", port("Output", [1]))]
        path = write_layout(tmp_path / "net.nir", chain(*nodes))
        fails_with(
            "Cannot convert from NIR:\n"
            "  node 'lif' (LIF): parameters tau, r, v_leak, v_threshold, v_reset of shape () where "
            "its width is (3,) (repair=True broadcasts them)\n"
            "  node 'input' (Input): its shape [1, 4] has a leading batch extent that node 'fc' "
            "(Affine) does not take (repair=True drops it)\n"
            "  node 'output' (Output): its shape [1] does not fit node 'lif' (LIF), which gives "
            "[3] (repair=True settles it)", lambda: read_nir(path, repair=False))

    def test_without_repairs_leading_extents_are_refused(self, fails_with, tmp_path):
        nodes = [("input", port("Input", [4])), ("lif", lif((4,))),
                 ("output", port("Output", [1, 1, 4]))]
        path = write_layout(tmp_path / "net.nir", chain(*nodes))
        fails_with("Cannot convert from NIR:\n"
                   "  node 'output' (Output): its shape [1, 1, 4] has leading extents [1, 1] that "
                   "node 'lif' (LIF) does not take (repair=True drops them)",
                   lambda: read_nir(path, repair=False))

    def test_in_memory_graph_keeps_the_strict_checks(self, fails_with):
        # What from_nir cannot keep is refused here, naming the node, not at a later validate.
        scalar = [np.array(1.0, F32)] * 4
        batch = nir.NIRGraph({"input": nir.Input(np.array([1, 5])), "fc": nir.Affine(
            np.ones((3, 5), F32), np.zeros(3, F32)), "lif": nir.LIF(*scalar),
            "output": nir.Output(np.array([3]))},
            [("input", "fc"), ("fc", "lif"), ("lif", "output")], type_check=False)
        fails_with("Cannot convert from NIR:\n"
                   "  node 'lif' (LIF): parameters tau, r, v_leak, v_threshold, v_reset of shape "
                   "() where its width is (3,) (repair=True broadcasts them)\n"
                   "  node 'input' (Input): its shape [1, 5] has a leading batch extent that node "
                   "'fc' (Affine) does not take (repair=True drops it)", lambda: from_nir(batch))
        with pytest.warns(RepairWarning):
            repaired = from_nir(batch, repair=True)
        assert repaired.nodes["lif"].tau.shape == (3,)

    BROKEN = {
        "no graph": ({"version": "1.0.8"}, "{path}: no NIR graph in it (no group 'node')"),
        "no type": ({"node": {"nodes": {}}}, "NIR group 'node' has no dataset 'type'"),
        "type of a number": ({"node": {"type": 3}}, "NIR group 'node': its 'type' is no text"),
        "nodes a dataset": ({"node": {"type": "NIRGraph", "nodes": 1, "edges": np.zeros(0)}},
                            "NIR group 'node': its 'nodes' must be a group of groups"),
        "edges of three": ({"node": {"type": "NIRGraph", "nodes": {},
                                     "edges": np.array([["a", "b", "c"]], dtype="S")}},
                           "NIR group 'node': its 'edges' must be pairs of names"),
        "edges of numbers": ({"node": {"type": "NIRGraph", "nodes": {},
                                       "edges": np.ones((1, 2))}},
                             "NIR group 'node': its 'edges' must be pairs of names"),
        "weight of text": ({"node": graph({"fc": {"type": "Affine", "weight": "w", "bias": "b"}},
                                          [])},
                           "Cannot convert from NIR:\n  node 'fc' (Affine): ZOR refuses it: "),
        "metadata a dataset": ({"node": {"type": "Affine", "metadata": 1}},
                               "NIR group 'node/metadata' is no group"),
        "nested too deep": ({"node": deep(70)}, "NIR group 'node" + "/nodes/g" * 65
                            + "': nested more than 64 deep"),
    }

    def test_broken_files_are_refused_in_one_error(self, tmp_path):
        # Read in a child process under a time limit: a broken file must end in a ValueError.
        paths = {}
        for case, (layout, _) in self.BROKEN.items():
            paths[case] = tmp_path / f"{case}.nir"
            with h5py.File(paths[case], "w") as file:
                file.create_dataset("version", data="1.0.8")
                if "node" in layout:
                    write_group(file.create_group("node"), layout["node"])
        code = ("import json, sys\nfrom zor.ir.nir import read_nir\nsaid = {}\n"
                "for path in sys.argv[1:]:\n try:\n  read_nir(path)\n"
                " except ValueError as error:\n  said[path] = str(error)\n"
                "print(json.dumps(said))")
        result = subprocess.run([sys.executable, "-c", code, *map(str, paths.values())],
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        said = json.loads(result.stdout)
        for case, (_, expected) in self.BROKEN.items():
            assert said[str(paths[case])].startswith(expected.format(path=paths[case])), case


class FakeTensor:
    """What from_nir needs of a torch tensor, without torch."""

    def __init__(self, array):
        self.array = array
        self.shape = array.shape

    def detach(self):
        return self

    def cpu(self):
        return self

    def numpy(self):
        return self.array


class TestInMemoryValues:
    def test_torch_like_tensors_and_lists(self):
        weight = np.arange(6, dtype=F32).reshape(2, 3)
        node = nir.Affine(FakeTensor(weight), FakeTensor(np.ones(2, F32)))
        converted = from_nir(nir.NIRGraph.from_list(node)).nodes["affine"]
        assert type(converted) is Affine and converted.weight is weight
        node.bias = [0.5, 1.5]  # anything np.asarray takes
        assert from_nir(nir.NIRGraph.from_list(node)).nodes["affine"].bias.tolist() == [0.5, 1.5]

    def test_conv_read_from_a_file_gets_nir_s_port_shapes(self, tmp_path):
        conv = nir.Conv2d((9, 11), np.ones((4, 2, 3, 3), F32), 2, 1, 1, 1, np.zeros(4, F32))
        nir.write(tmp_path / "conv.nir", nir.NIRGraph.from_list(conv))
        read = read_nir(tmp_path / "conv.nir").nodes["conv2d"]
        assert type(read) is Conv2d
        assert read.input_type["input"].tolist() == [2, 9, 11]
        assert read.output_type["output"].tolist() == conv.output_type["output"].tolist()
