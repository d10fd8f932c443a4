"""The command line as a user runs it: a child process on real files, good
and broken, through `python -m zor.ir` and the installed `zor-ir` script."""

import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import h5py
import numpy as np
import pytest

import zor.ir
from helpers import Payload
from hostile import UNDER_ASAN
from zor.ir import LIF, AvgPool2d, Conv2d, Flatten, Graph, HybridRegion, SpikingAffine
from zor.ir.__main__ import COMMANDS

MODULE = [sys.executable, "-m", "zor.ir"]
SCRIPT = [str(Path(sys.executable).parent / "zor-ir")]
HAS_DOT = shutil.which("dot") is not None
# check's reader runs under an address-space cap, which ASan's shadow memory cannot.
NEEDS_CAP = pytest.mark.skipif(UNDER_ASAN, reason="ASan cannot run under the address-space cap check sets")


def zor_ir(*args, cwd=None, env=None, command=MODULE):
    """Runs the command line: (exit status, stdout, stderr); never a traceback."""
    result = subprocess.run([*command, *map(str, args)], capture_output=True, text=True,
                            cwd=cwd, env=env, timeout=120)
    assert "Traceback" not in result.stderr, result.stderr
    return result.returncode, result.stdout, result.stderr


def zor_ir_on_terminal(*args):
    """As zor_ir, with stderr a terminal (a pty) where a progress bar may show."""
    import fcntl
    import pty
    import struct
    import termios

    controller, terminal = pty.openpty()
    # A terminal 100 columns wide (a bare pty has none, and tqdm draws nothing).
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    with subprocess.Popen([*MODULE, *map(str, args)], stdout=subprocess.PIPE, stderr=terminal) as child:
        os.close(terminal)
        out = child.stdout.read().decode()
        child.wait(timeout=120)
    err = b""
    while True:
        try:
            chunk = os.read(controller, 1 << 16)
        except OSError:  # the terminal's other end is closed: all is read
            break
        if not chunk:
            break
        err += chunk
    os.close(controller)
    return child.returncode, out, err.decode()


def network():
    """conv -> pool -> flatten -> fc -> lif on 2x8x8 events; NIR has all five."""
    rng = np.random.default_rng(1)
    return Graph.sequential([
        Conv2d(rng.normal(size=(4, 2, 3, 3)).astype(np.float32), np.zeros(4, np.float32),
               padding=(1, 1), input_type={"input": np.array([2, 8, 8])}),
        AvgPool2d((2, 2)),
        Flatten(),
        SpikingAffine(rng.normal(size=(10, 64)).astype(np.float32), np.zeros(10, np.float32)),
        LIF(np.full(10, 20.0), np.full(10, 20.0), np.zeros(10), np.ones(10)),
    ], names=["conv", "pool", "flatten", "fc", "lif"])


def edited(path, edit):
    """A copy of good.zor beside it, changed by ``edit(file)`` through h5py."""
    shutil.copy(path.parent / "good.zor", path)
    with h5py.File(path, "a") as file:
        edit(file)
    return path


def stored_as_is(graph):
    """What ``write`` stores of ``graph`` unchecked, as another program may:
    write itself refuses an edge to a missing node."""
    return Payload({"type": "Graph", "nodes": {name: node.to_dict() for name, node in graph.nodes.items()},
                    "edges": graph.edges, "metadata": graph.metadata})


def integer_edges(file):
    del file["graph/edges"]
    file["graph"].create_dataset("edges", data=np.array([0, 1]))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Every kind of file a command may be handed, by name."""
    from zor.ir.nir import write_nir

    folder = tmp_path_factory.mktemp("files")
    zor.ir.write(folder / "good.zor", network())
    (folder / "folder.zor").mkdir()
    (folder / "text.zor").write_text("not HDF5\n")
    (folder / "truncated.zor").write_bytes((folder / "good.zor").read_bytes()[:4096])
    write_nir(folder / "net.nir", network())
    write_nir(folder / "nir-inside.zor", network())
    edited(folder / "no-bias.zor", lambda file: file["graph/nodes/fc"].__delitem__("bias"))
    edited(folder / "int-edges.zor", integer_edges)
    return folder


# (file, the one line on stderr after "zor-ir: error: "; None: it names the file)
BAD_FILES = [
    ("missing.zor", "ZOR-IR file not found: {path}"),
    ("folder.zor", "Path is not a file: {path}"),
    ("text.zor", "Cannot read file as HDF5: {path}"),
    ("truncated.zor", None),
    ("net.nir", "{path} is a NIR file; convert it first: zor-ir convert {path} {folder}/net.zor"),
    ("nir-inside.zor", "{path} is a NIR file; convert it first: "
                       "zor-ir convert {path} {folder}/nir-inside-converted.zor"),
    ("no-bias.zor", "{path}: '/graph/nodes/fc': missing key 'bias'"),
    ("int-edges.zor", "{path}: '/graph/edges': expected a list of (src, dst) pairs, "
                      "got an array of int64 with shape (2,)"),
]
# The commands that read a .zor file, as a list of arguments around it.
READERS = {
    "info": ["info", "{path}"],
    "info --json": ["info", "--json", "{path}"],
    "validate --strict": ["validate", "--strict", "{path}"],
    "diagram": ["diagram", "{path}", "-o", "{folder}/out.svg"],
    "convert": ["convert", "{path}", "{folder}/out.nir"],
    "show": ["show", "{path}"],
    "run": ["run", "{path}", "--input", "{folder}/x.npy", "--dt", "1", "-o", "{folder}/out.npz"],
}


class TestBrokenFiles:
    @pytest.mark.parametrize("name, expected", BAD_FILES, ids=[name for name, _ in BAD_FILES])
    @pytest.mark.parametrize("command", READERS.values(), ids=READERS.keys())
    def test_one_line_naming_the_file(self, files, command, name, expected):
        path = files / name
        status, out, err = zor_ir(*[part.format(path=path, folder=files) for part in command])
        assert (status, out) == (1, "")
        assert err.count("\n") == 1 and err.startswith("zor-ir: error: ") and str(path) in err
        if expected is not None:
            assert err == "zor-ir: error: " + expected.format(path=path, folder=files) + "\n"

    @pytest.mark.parametrize("name", ["missing.zor", "folder.zor", "text.zor", "net.nir"])
    def test_dataset_listing_refuses_the_same(self, files, name):
        status, out, err = zor_ir("info", "--datasets", files / name)
        assert (status, out) == (1, "") and err.startswith("zor-ir: error: ")

    @pytest.mark.parametrize("arguments, message", [
        (["convert", "{folder}/good.zor", "{folder}/out.txt"],
         "{folder}/out.txt: convert writes a .zor or a .nir file, as the suffix says"),
        (["convert", "{folder}/good.zor", "{folder}/copy.zor"],
         "{folder}/good.zor is no NIR file; convert writes a .zor file from a NIR file"),
        (["convert", "{folder}/missing.nir", "{folder}/out.zor"], "{folder}/missing.nir: no such file"),
        (["convert", "{folder}/folder.zor", "{folder}/out.zor"], "{folder}/folder.zor: not a file"),
        (["convert", "{folder}/good.zor", "{folder}/none/out.nir"],
         "{folder}/none/out.nir: no directory {folder}/none"),
        (["diagram", "{folder}/good.zor", "-o", "{folder}/out.pdf"],
         "{folder}/out.pdf: a diagram is written as .svg, .png, .dot; the suffix says which"),
        (["demo", "-o", "{folder}/none/demo.zor"], "{folder}/none/demo.zor: no directory {folder}/none"),
        (["info", "{folder}/missing.nir"], "ZOR-IR file not found: {folder}/missing.nir"),
    ], ids=["convert suffix", "zor to zor", "missing nir", "folder", "no directory",
            "diagram suffix", "demo no directory", "no such nir file"])
    def test_wrong_arguments(self, files, arguments, message):
        status, out, err = zor_ir(*[part.format(folder=files) for part in arguments])
        assert (status, out, err) == (1, "", "zor-ir: error: " + message.format(folder=files) + "\n")


class TestInfo:
    def test_table_in_topological_order(self, files):
        status, out, err = zor_ir("info", files / "good.zor")
        size = (files / "good.zor").stat().st_size
        assert (status, err) == (0, "")
        assert out.splitlines()[0] == f"{files}/good.zor: format version 0.0.1, {size / 1024:.1f} KiB"
        assert [line.split() for line in out.splitlines()[1:]] == [
            ["node", "type", "input", "output", "parameters", "bytes", "dtypes"],
            ["conv", "Conv2d", "2x8x8", "4x8x8", "76", "304", "B", "float32"],
            ["pool", "AvgPool2d", "4x8x8", "4x4x4", "0", "0", "B"],
            ["flatten", "Flatten", "4x4x4", "64", "0", "0", "B"],
            ["fc", "SpikingAffine", "64", "10", "650", "2.5", "KiB", "float32"],
            ["lif", "LIF", "10", "10", "40", "320", "B", "float64"],
            ["total:", "5", "nodes,", "4", "edges,", "766", "parameters,", "3.1", "KiB"]]

    def test_json_holds_the_same(self, files):
        status, out, _ = zor_ir("info", "--json", files / "good.zor")
        report = json.loads(out)
        assert status == 0 and report["format_version"] == "0.0.1" and report["problems"] == []
        assert report["file_bytes"] == (files / "good.zor").stat().st_size
        assert report["nodes"][0] == {"name": "conv", "type": "Conv2d", "input": [2, 8, 8],
                                      "output": [4, 8, 8], "parameters": 76, "bytes": 304,
                                      "dtypes": ["float32"]}
        assert [node["name"] for node in report["nodes"]] == ["conv", "pool", "flatten", "fc", "lif"]
        assert report["total"] == {"nodes": 5, "edges": 4, "parameters": 766, "bytes": 3224}

    def test_json_a_line_per_node(self, files):
        lines = zor_ir("info", "--json", files / "good.zor")[1].splitlines()
        assert len(lines) == 14 and lines[:2] == ["{", f'  "file": "{files}/good.zor",']
        assert lines[4:7] == [
            '  "nodes": [',
            '    {"name": "conv", "type": "Conv2d", "input": [2, 8, 8], "output": [4, 8, 8], '
            '"parameters": 76, "bytes": 304, "dtypes": ["float32"]},',
            '    {"name": "pool", "type": "AvgPool2d", "input": [4, 8, 8], "output": [4, 4, 4], '
            '"parameters": 0, "bytes": 0, "dtypes": []},']
        assert lines[-4:] == ["  ],", '  "total": {"nodes": 5, "edges": 4, "parameters": 766, "bytes": 3224},',
                              '  "problems": []', "}"]

    @pytest.mark.parametrize("datasets", [False, True])
    def test_indent_pretty_prints_the_same(self, files, datasets):
        options = ["--json", *["--datasets"] * datasets, files / "good.zor"]
        pretty = zor_ir("info", "--indent", "4", *options)[1]
        assert pretty == json.dumps(json.loads(zor_ir("info", *options)[1]), indent=4) + "\n"

    def test_shapes_as_stored_when_inference_fails(self, tmp_path):
        graph = network()
        graph.nodes["lif"] = LIF(np.ones(3), np.ones(3), np.zeros(3), np.ones(3))
        zor.ir.write(tmp_path / "bad.zor", graph)
        status, out, _ = zor_ir("info", tmp_path / "bad.zor")
        assert status == 0
        assert out.splitlines()[-1] == (
            "  shapes as stored; cannot infer: node 'lif': LIF of width 3 does not fit input "
            "shape [10] (its leading extent must be 3)")

    def test_a_file_of_one_node(self, tmp_path):
        zor.ir.write(tmp_path / "lif.zor", LIF(np.ones(3), np.ones(3), np.zeros(3), np.ones(3)))
        status, out, _ = zor_ir("info", tmp_path / "lif.zor")
        assert status == 0 and out.splitlines()[2].split() == [
            "/graph", "LIF", "3", "3", "12", "96", "B", "float64"]

    def test_datasets_as_json(self, files):
        status, out, _ = zor_ir("info", "--datasets", "--json", files / "good.zor")
        datasets = {entry["path"]: entry for entry in json.loads(out)["datasets"]}
        assert status == 0 and datasets["/graph/nodes/fc/weight"] == {
            "path": "/graph/nodes/fc/weight", "dtype": "float32", "shape": [10, 64],
            "bytes": 2560, "stored_bytes": 2560}


class TestValidate:
    @pytest.mark.parametrize("strict", [False, True])
    def test_good_file(self, files, strict):
        status, out, err = zor_ir("validate", *["--strict"] * strict, files / "good.zor")
        assert (status, err) == (0, "")
        assert out == f"{files}/good.zor: valid{' (strict)' * strict}, 5 nodes, 4 edges\n"

    @pytest.mark.parametrize("change, strict, problems", [
        (lambda graph: graph.nodes.__setitem__(
            "lif", LIF(np.ones(3), np.ones(3), np.zeros(3), np.ones(3))), False,
         ["node 'lif': LIF of width 3 does not fit input shape [10] (its leading extent must be 3)"]),
        (lambda graph: graph.add_node("spare", HybridRegion("ann", 4)), True,
         ["node 'spare': joined to nothing"]),
        (lambda graph: graph.edges.extend([("conv", "pool"), ("fc", "gone")]), False,
         ["edge fc -> gone: no node named 'gone'"]),
    ], ids=["inference", "strict only", "edges"])
    def test_each_problem_and_status_1(self, tmp_path, change, strict, problems):
        graph = network()
        change(graph)
        # As another program may store it: write refuses an edge to a missing node.
        zor.ir.write(tmp_path / "net.zor", Payload({
            "type": "Graph", "nodes": {name: node.to_dict() for name, node in graph.nodes.items()},
            "edges": graph.edges, "metadata": graph.metadata}))
        status, out, err = zor_ir("validate", *["--strict"] * strict, tmp_path / "net.zor")
        assert (status, err) == (1, "")
        head, *lines = out.splitlines()
        assert head.startswith(f"{tmp_path}/net.zor: {len(problems)} problem")
        assert lines == ["  " + problem for problem in problems]

    def test_strict_goes_on_past_inference(self, tmp_path):
        graph = network()
        graph.nodes["lif"] = LIF(np.ones(3), np.ones(3), np.zeros(3), np.ones(3))
        graph.add_node("spare", HybridRegion("ann", 4))
        zor.ir.write(tmp_path / "net.zor", graph)
        lines = zor_ir("validate", "--strict", tmp_path / "net.zor")[1].splitlines()
        assert lines[1].startswith("  node 'lif': LIF of width 3 does not fit input shape [10]")
        assert lines[-1] == "  node 'spare': joined to nothing" and len(lines) == len(set(lines))

    def test_strict_problems_pass_without_strict(self, tmp_path):
        graph = network()
        graph.add_node("spare", HybridRegion("ann", 4))
        zor.ir.write(tmp_path / "net.zor", graph)
        assert zor_ir("validate", tmp_path / "net.zor")[0] == 0


def svg_texts(path):
    return [element.text for element in ElementTree.parse(path).iter()
            if element.tag.endswith("text") and element.text]


class TestDiagram:
    @pytest.mark.skipif(not HAS_DOT, reason="needs Graphviz's dot")
    def test_svg_names_every_node_and_shape(self, files, tmp_path):
        status, out, err = zor_ir("diagram", files / "good.zor", "-o", tmp_path / "net.svg")
        assert (status, out, err) == (0, f"wrote {tmp_path}/net.svg\n", "")
        texts = svg_texts(tmp_path / "net.svg")
        assert {"conv", "pool", "flatten", "fc", "lif", "SpikingAffine", "2x8x8 -> 4x8x8"} <= set(texts)
        assert {"4x8x8", "64", "10"} <= set(texts)  # on the edges
        assert {"SNN (spiking)", "ANN (rate-based)", "output"} <= set(texts)
        assert "HybridRegion marker" not in texts  # the legend holds what the graph has

    @pytest.mark.skipif(not HAS_DOT, reason="needs Graphviz's dot")
    def test_png(self, files, tmp_path):
        assert zor_ir("diagram", files / "good.zor", "-o", tmp_path / "net.png")[0] == 0
        assert (tmp_path / "net.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")

    def test_dot_text_by_suffix(self, files, tmp_path):
        assert zor_ir("diagram", files / "good.zor", "-o", tmp_path / "net.dot")[0] == 0
        assert (tmp_path / "net.dot").read_text() == zor.ir.read(files / "good.zor").to_dot()

    def test_dot_text_and_a_note_without_graphviz(self, files, tmp_path):
        env = {**os.environ, "PATH": str(tmp_path)}  # no dot on it
        status, out, err = zor_ir("diagram", files / "good.zor", "-o", tmp_path / "net.svg", env=env)
        assert (status, out) == (0, f"wrote {tmp_path}/net.dot\n")
        assert err == (f"zor-ir: Graphviz's dot is not installed; writing DOT text to "
                       f"{tmp_path}/net.dot instead (Debian: apt-get install graphviz)\n")
        assert not (tmp_path / "net.svg").exists()
        assert (tmp_path / "net.dot").read_text().startswith("digraph zor {\n")


    @pytest.mark.parametrize("suffix", [".dot", *[".png"] * HAS_DOT])
    def test_broken_graph_drawn_with_its_problems(self, tmp_path, suffix):
        graph = network()
        graph.add_node("extra", LIF(np.ones(3), np.ones(3), np.zeros(3), np.ones(3)))
        graph.edges += [("fc", "extra"), ("lif", "gone")]
        zor.ir.write(tmp_path / "broken.zor", stored_as_is(graph))
        picture = tmp_path / f"broken{suffix}"
        status, out, err = zor_ir("diagram", tmp_path / "broken.zor", "-o", picture)
        assert (status, out) == (1, f"wrote {picture}\n")
        assert err.splitlines() == [
            f"{tmp_path}/broken.zor: 2 problems (drawn in red where an edge is at fault):",
            "  edge lif -> gone: no node named 'gone'",
            "  edge fc -> extra: output shape [10] of 'fc' does not match input shape [3] of 'extra'"]
        assert picture.stat().st_size > 0

    def test_left_to_right(self, files, tmp_path):
        status, _, _ = zor_ir("diagram", files / "good.zor", "-o", tmp_path / "net.dot", "--rankdir", "LR")
        assert status == 0 and "rankdir=LR" in (tmp_path / "net.dot").read_text().splitlines()[1]
        status, _, err = zor_ir("diagram", files / "good.zor", "-o", tmp_path / "net.dot", "--rankdir", "BT")
        assert status == 2 and "argument --rankdir: invalid choice: 'BT'" in err


class TestWriteFailures:
    @pytest.mark.parametrize("arguments, message", [
        (["convert", "{folder}/good.zor", "{folder}/folder.nir"], "cannot write {folder}/folder.nir: is a directory"),
        (["convert", "{folder}/net.nir", "{folder}/folder.zor"], "cannot write {folder}/folder.zor: is a directory"),
        (["diagram", "{folder}/good.zor", "-o", "{folder}/folder.dot"],
         "cannot write {folder}/folder.dot: is a directory"),
        (["demo", "-o", "{folder}/folder.zor"], "cannot write {folder}/folder.zor: is a directory"),
        (["convert", "{folder}/good.zor", "/proc/self/net.nir"],
         "cannot write /proc/self/net.nir: no such file or directory"),
        (["convert", "{folder}/good.zor", "{folder}/good.zor"],
         "cannot write {folder}/good.zor: it is the input; convert writes another file"),
        (["convert", "{folder}/net.nir", "{folder}/../{folder.name}/net.nir"],
         "cannot write {folder}/../{folder.name}/net.nir: it is the input; convert writes another file"),
    ], ids=["nir into a directory", "zor into a directory", "diagram into a directory",
            "demo into a directory", "refused by the system", "zor onto itself", "nir onto itself"])
    def test_one_plain_line(self, files, arguments, message):
        (files / "folder.nir").mkdir(exist_ok=True)
        (files / "folder.dot").mkdir(exist_ok=True)
        status, out, err = zor_ir(*[part.format(folder=files) for part in arguments])
        assert (status, out, err) == (1, "", "zor-ir: error: " + message.format(folder=files) + "\n")

    def test_the_system_error_is_the_cause(self, files):
        from zor.ir._cli import UserError, _writing

        with pytest.raises(UserError) as caught:
            with _writing("/proc/self/net.nir"):
                open("/proc/self/net.nir", "w")
        assert str(caught.value) == "cannot write /proc/self/net.nir: no such file or directory"
        assert type(caught.value.__cause__) is FileNotFoundError


class TestConvert:
    def test_round_trip_through_nir(self, files, tmp_path):
        status, out, _ = zor_ir("convert", files / "good.zor", tmp_path / "net.nir")
        assert (status, out) == (0, f"wrote {tmp_path}/net.nir (5 nodes, 4 edges)\n")
        status, out, _ = zor_ir("convert", tmp_path / "net.nir", tmp_path / "back.zor")
        assert (status, out) == (0, f"wrote {tmp_path}/back.zor (5 nodes, 4 edges)\n")
        # NIR keeps every port; ours stores what inference cannot tell again.
        assert zor.ir.read(tmp_path / "back.zor").equals(network().infer_types())

    def test_nir_file_of_another_suffix(self, files, tmp_path):
        assert zor_ir("convert", files / "nir-inside.zor", tmp_path / "back.zor")[0] == 0
        assert zor.ir.read(tmp_path / "back.zor").equals(network().infer_types())

    def test_repairs_of_a_framework_file_are_printed(self, tmp_path):
        # A batch extent in the Input, as exporters that trace a batch of one write it.
        path = tmp_path / "batch.nir"
        with h5py.File(path, "w") as file:
            file.create_dataset("version", data="1.0.8")
            node = file.create_group("node")
            node.create_dataset("type", data="NIRGraph")
            node.create_dataset("edges", data=np.array([("input", "fc"), ("fc", "output")], "S"))
            for name, fields in {"input": {"type": "Input", "shape": [1, 3]},
                                 "fc": {"type": "Affine", "weight": np.ones((2, 3)),
                                        "bias": np.zeros(2)},
                                 "output": {"type": "Output", "shape": [2]}}.items():
                group = node.create_group(f"nodes/{name}")
                for key, value in fields.items():
                    group.create_dataset(key, data=value)
        status, out, err = zor_ir("convert", path, tmp_path / "net.zor")
        assert (status, out) == (0, f"wrote {tmp_path}/net.zor (1 node, 0 edges)\n")
        assert err == (f"{path}: node 'input' (Input): leading batch extent dropped: [1, 3] -> "
                       "[3]\n")

    def test_nodes_nir_lacks_are_named(self, tmp_path):
        graph = network()
        graph.add_node("spare", HybridRegion("ann", 4))
        zor.ir.write(tmp_path / "net.zor", graph)
        status, _, err = zor_ir("convert", tmp_path / "net.zor", tmp_path / "net.nir")
        assert (status, err) == (1, f"zor-ir: error: {tmp_path}/net.zor: Cannot convert to NIR: "
                                    "node 'spare' (HybridRegion): no NIR counterpart\n")


class TestDemo:
    @pytest.mark.parametrize("name", ["demo", "example"])
    def test_keeps_the_file_when_asked_and_says_where(self, tmp_path, name):
        status, out, _ = zor_ir(name, "-o", tmp_path / "demo.zor")
        info, where = out.split("The example network is in ")
        assert status == 0 and where == f"{tmp_path}/demo.zor.\n"
        assert info == zor_ir("info", tmp_path / "demo.zor")[1]
        assert zor_ir("validate", "--strict", tmp_path / "demo.zor")[0] == 0

    def test_temporary_file_otherwise(self):
        status, out, _ = zor_ir("demo", command=SCRIPT)
        assert status == 0 and "  total: 10 nodes, 9 edges, 298,058 parameters, 1.1 MiB\n" in out
        assert out.endswith("written to a temporary file, now removed; -o FILE keeps it.\n")


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    """A graph of 258 MiB of weights: past the size from which a bar shows."""
    path = tmp_path_factory.mktemp("big") / "big.zor"
    zor.ir.write(path, Graph.sequential([zor.ir.Affine(np.zeros((8192, 8256), np.float32),
                                                       np.zeros(8192, np.float32))]))
    return path


class TestProgressBars:
    @pytest.mark.parametrize("command, label", [("show", "reading"),
                                                 pytest.param("check", "checking", marks=NEEDS_CAP)])
    def test_long_work_on_a_terminal_shows_a_bar_and_clears_it(self, big_file, command, label):
        status, out, err = zor_ir_on_terminal(command, big_file)
        assert (status, out) == zor_ir(command, big_file)[:2] and status == 0
        assert err.startswith(f"\r{label} {big_file}:   0%|") and "/258M" in err
        assert err.endswith("\r" + " " * 99 + "\r")  # the bar's line, blanked

    def test_quiet_shows_none(self, big_file):
        assert zor_ir_on_terminal("show", "--quiet", big_file)[2] == ""


class TestEntryPoints:
    @pytest.mark.parametrize("name, command", [(name, command.name) for command in COMMANDS
                                               for name in (command.name, *command.aliases)])
    def test_help_of_every_command(self, name, command):
        status, out, _ = zor_ir(name, "--help", command=SCRIPT)
        assert status == 0 and out.startswith(f"usage: zor-ir {command} ")

    def test_both_ways_in_give_the_same(self, files):
        assert zor_ir("info", files / "good.zor", command=SCRIPT) == zor_ir("info", files / "good.zor")

    @pytest.mark.parametrize("arguments", [
        ["info", "{folder}/good.zor"], ["validate", "{folder}/good.zor"], ["show", "{folder}/good.zor"],
        ["check", "{folder}/good.zor"], ["diagram", "{folder}/good.zor", "-o", "{folder}/quiet.dot"]],
        ids=lambda arguments: arguments[0])
    def test_quiet_changes_nothing_off_a_terminal(self, files, arguments):
        arguments = [part.format(folder=files) for part in arguments]
        assert zor_ir(*arguments, "--quiet") == zor_ir(*arguments)

    @pytest.mark.parametrize("arguments", [
        ["info", "{folder}/good.zor"], ["validate", "{folder}/good.zor"], ["show", "{folder}/good.zor"],
        pytest.param(["check", "{folder}/good.zor"], marks=NEEDS_CAP),
        ["convert", "{folder}/good.zor", "{folder}/terminal.nir"],
        ["convert", "{folder}/net.nir", "{folder}/terminal.zor"]],
        ids=lambda arguments: " ".join(arguments[:1] + [arguments[-1].rsplit(".")[-1]]))
    def test_short_work_on_a_terminal_shows_no_bar(self, files, arguments):
        arguments = [part.format(folder=files) for part in arguments]
        assert zor_ir_on_terminal(*arguments) == (*zor_ir(*arguments)[:2], "")

    def test_version_names_the_linked_hdf5(self):
        status, out, _ = zor_ir("--version", command=SCRIPT)
        assert status == 0 and re.fullmatch(r"zor-ir \S+ \(file format 0\.0\.1, HDF5 1\.14\.5\)\n", out)

    def test_output_closed_early_is_no_error(self, tmp_path):
        # `zor-ir info --json net.zor | head -c 1`, with more to print than a pipe holds.
        zor.ir.write(tmp_path / "long.zor", Graph.sequential([zor.ir.ReLU(4)] * 1000))
        with subprocess.Popen([*MODULE, "info", "--json", str(tmp_path / "long.zor")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
            assert child.stdout.read(1) == b"{"
            child.stdout.close()
            assert "Traceback" not in child.stderr.read().decode()
