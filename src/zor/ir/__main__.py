"""zor-ir: look into, check, draw and convert ZOR-IR files (.zor).

A problem with a file is one line on stderr that names the file, and the node
where it applies, with exit status 1."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import numpy as np

from ._dot import extents as _extents
from .conv import Conv2d
from .flatten import Flatten
from .graph import Graph, GraphError
from .layout import read_layout
from .linear import SpikingAffine
from .neurons import LIF, HybridRegion, Softmax
from .node import Node
from .pooling import MaxPool2d
from .serialization import ZORFormatError, read, read_version, write


class UserError(Exception):
    """A problem the user can fix, told in one line."""


# ---------------------------------------------------------------------------------------------
# The example network

def build_example():
    """A hybrid network for a 2x34x34 event camera: an ANN convolutional
    encoder, a spiking core of LIF neurons marked by a HybridRegion, and a
    rate-based readout marked as the ANN decoder. Only the first layer's
    input shape is given; the graph infers the rest."""
    rng = np.random.default_rng(0)

    def lif(n):
        return LIF(tau=np.full(n, 20.0), r=np.full(n, 20.0), v_leak=np.zeros(n),
                   v_threshold=np.ones(n))

    graph = Graph(metadata={"name": "hybrid gesture classifier", "input": "2x34x34 events"})
    graph.add_node("conv", Conv2d(rng.normal(size=(8, 2, 3, 3)).astype(np.float32),
                                  np.zeros(8, np.float32), padding=(1, 1),
                                  input_type={"input": np.array([2, 34, 34])}))
    graph.add_node("pool", MaxPool2d((2, 2)))
    graph.add_node("flatten", Flatten())
    graph.add_node("core", HybridRegion("snn", 8 * 17 * 17, name="core"))
    graph.add_node("fc1", SpikingAffine(rng.normal(size=(128, 8 * 17 * 17)).astype(np.float32),
                                        np.zeros(128, np.float32), "rate", 8, 16))
    graph.add_node("lif1", lif(128))
    graph.add_node("fc2", SpikingAffine(rng.normal(size=(10, 128)).astype(np.float32),
                                        np.zeros(10, np.float32), "binary", 4, 12))
    graph.add_node("lif2", lif(10))
    graph.add_node("decoder", HybridRegion("ann", 10, name="decoder"))
    graph.add_node("readout", Softmax(10))
    names = list(graph.nodes)
    for src, dst in zip(names, names[1:]):
        graph.add_edge(src, dst)
    graph.infer_types(inplace=True)
    graph.validate(strict=True)
    return graph


# ---------------------------------------------------------------------------------------------
# Reading files, with errors that name them

def _error_text(error: BaseException) -> str:
    """An error as one line: a plain KeyError names its key, a message of
    several lines (a heading and a list) is joined."""
    if type(error) is KeyError:
        return f"missing key {error.args[0]!r}" if error.args else "missing key"
    head, *rest = [line.strip() for line in str(error).splitlines() if line.strip()] or [""]
    if not rest:
        return head
    return head + (" " if head.endswith(":") else "; ") + "; ".join(rest)


#: What reading, converting and writing a file raise for a file or a value in it.
FILE_ERRORS = (OSError, ValueError, KeyError, TypeError, ImportError, ZORFormatError)


@contextlib.contextmanager
def _about(path: Any) -> Iterator[None]:
    """Errors inside become one line that names ``path`` (where the message does
    not already)."""
    try:
        yield
    except FILE_ERRORS as error:
        text = _error_text(error)
        raise UserError(text if str(path) in text else f"{path}: {text}") from error


def _nir_hint(path: Any) -> str:
    target = Path(path).with_suffix(".zor")
    if target == Path(path):
        target = target.with_name(f"{target.stem}-converted.zor")
    return f"{path} is a NIR file; convert it first: zor-ir convert {path} {target}"


def _output(path: Any) -> Path:
    """A file to write: its directory must be there."""
    path = Path(path)
    if not path.parent.is_dir():
        raise UserError(f"{path}: no directory {path.parent}")
    return path


def _count(number: int, thing: str) -> str:
    return f"{number:,} {thing}" + ("" if number == 1 else "s")


def _is_nir_file(path: Any) -> bool:
    """Whether the root of an HDF5 file has NIR's layout: a "node" group where
    a .zor file has "graph". Asked of a file whose root our reader checked, or
    of one that NIR's reader is about to open anyway."""
    import h5py

    try:
        with h5py.File(path, "r") as file:
            return "graph" not in file and isinstance(file.get("node"), h5py.Group)
    except OSError:
        return False


@contextlib.contextmanager
def _reading_zor(path: Any) -> Iterator[None]:
    """As _about, for the reading of a .zor file: a NIR file is told apart and
    pointed to convert."""
    if Path(path).suffix.lower() == ".nir" and Path(path).is_file():
        raise UserError(_nir_hint(path))
    with _about(path):
        try:
            yield
        except ZORFormatError as error:
            if "missing 'graph'" in str(error) and _is_nir_file(path):
                raise UserError(_nir_hint(path)) from error
            raise


def _read_zor(path: str, mmap: bool = False):
    """The graph (or single node) stored in a .zor file and its format version.
    ``mmap`` maps big arrays instead of reading them, so that looking at a file
    of any size takes no time."""
    with _reading_zor(path):
        stored = read(path, mmap=mmap)
        version = read_version(path)
    if not isinstance(stored, (Graph, Node)):
        raise UserError(f"{path}: holds a {type(stored).__name__}, not a graph or a node")
    return stored, version


def _as_graph(stored):
    """A file's graph; a file that holds a single node, as a graph of it alone,
    named by where the file keeps it."""
    return stored if isinstance(stored, Graph) else Graph(nodes={"/graph": stored})


def _inferred(graph) -> Tuple[Any, List[str]]:
    """The graph with the shapes inference fills, or as it stands and why not."""
    try:
        return graph.infer_types(), []
    except GraphError as error:
        return graph, error.problems


# ---------------------------------------------------------------------------------------------
# info

def _size(nbytes: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if nbytes < 1024 or unit == "GiB":
            return f"{int(nbytes)} {unit}" if unit == "B" else f"{nbytes:.1f} {unit}"
        nbytes /= 1024
    raise AssertionError("unreachable")


def _parameter_arrays(node) -> List[np.ndarray]:
    """The arrays among a node's fields (weights, biases, neuron constants);
    settings such as strides are tuples and numbers, ports are left out."""
    return [value for name, value in vars(node).items()
            if isinstance(value, np.ndarray) and name not in ("input_type", "output_type")]


def _shape(ports: Any, key: str) -> Optional[List[int]]:
    value = ports.get(key) if isinstance(ports, dict) else None
    return None if value is None else [int(x) for x in np.ravel(value).tolist()]


def _node_rows(graph) -> Tuple[List[Dict[str, Any]], List[str]]:
    """One row per node in topological order: name, type, input and output
    shape, parameter count, bytes and dtypes of its arrays; and the problems
    that kept inference from filling the shapes."""
    shown, problems = _inferred(graph)
    rows = []
    for name in shown.topological_order():
        node = shown.nodes[name]
        arrays = _parameter_arrays(node)
        rows.append({
            "name": name, "type": type(node).__name__,
            "input": _shape(node.input_type, "input"), "output": _shape(node.output_type, "output"),
            "parameters": sum(int(array.size) for array in arrays),
            "bytes": sum(int(array.nbytes) for array in arrays),
            "dtypes": sorted({str(array.dtype) for array in arrays}),
        })
    return rows, problems


def _node_report(path: str) -> Dict[str, Any]:
    graph, version = _read_zor(path, mmap=True)
    graph = _as_graph(graph)
    rows, problems = _node_rows(graph)
    return {
        "file": str(path), "format_version": version, "file_bytes": os.path.getsize(path),
        "nodes": rows,
        "total": {"nodes": len(rows), "edges": len(graph.edges),
                  "parameters": sum(row["parameters"] for row in rows),
                  "bytes": sum(row["bytes"] for row in rows)},
        "problems": problems,
    }


def _print_nodes(report: Dict[str, Any]) -> None:
    print(f"{report['file']}: format version {report['format_version']}, "
          f"{_size(report['file_bytes'])}")

    def dims(shape):
        return "?" if shape is None else "x".join(map(str, shape))

    header = ("node", "type", "input", "output", "parameters", "bytes", "dtypes")
    table = [header] + [
        (row["name"], row["type"], dims(row["input"]), dims(row["output"]),
         f"{row['parameters']:,}", _size(row["bytes"]), ",".join(row["dtypes"]))
        for row in report["nodes"]]
    widths = [max(len(cells[column]) for cells in table) for column in range(len(header))]
    right = {4, 5}  # the numbers
    for cells in table:
        print("  " + "  ".join(cell.rjust(width) if column in right else cell.ljust(width)
                               for column, (cell, width) in enumerate(zip(cells, widths))).rstrip())
    total = report["total"]
    print(f"  total: {_count(total['nodes'], 'node')}, {_count(total['edges'], 'edge')}, "
          f"{_count(total['parameters'], 'parameter')}, {_size(total['bytes'])}")
    for problem in report["problems"]:
        print(f"  shapes as stored; cannot infer: {problem}")


def _datasets(tree, prefix):
    """(path, DatasetLayout) of every dataset under ``tree``, depth first in name order."""
    stack = [(prefix, tree)]
    while stack:
        path, member = stack.pop()
        if isinstance(member, dict):
            stack.extend((f"{path}/{name}", child) for name, child in reversed(member.items()))
        else:
            yield path, member


def _dataset_report(path: str) -> Dict[str, Any]:
    with _reading_zor(path):
        layout = read_layout(path)
        version = read_version(path)
    return {"file": str(path), "format_version": version,
            "datasets": [{"path": name, "dtype": str(entry.dtype), "shape": list(entry.shape),
                          "bytes": entry.nbytes, "stored_bytes": entry.stored_nbytes}
                         for name, entry in _datasets(layout, "/graph")]}


def _print_datasets(report: Dict[str, Any]) -> None:
    print(f"{report['file']} (format version {report['format_version']})")
    datasets = report["datasets"]
    width = max((len(entry["path"]) for entry in datasets), default=0)
    for entry in datasets:
        shape = "x".join(map(str, entry["shape"])) or "scalar"
        stored = (f"  (stored {_size(entry['stored_bytes'])})"
                  if entry["stored_bytes"] < entry["bytes"] else "")
        print(f"  {entry['path']:<{width}}  {entry['dtype']:<8} {shape:>12}  "
              f"{_size(entry['bytes']):>10}{stored}")
    total = sum(entry["bytes"] for entry in datasets)
    stored_total = sum(entry["stored_bytes"] for entry in datasets)
    print(f"  {len(datasets)} datasets: {_size(total)} in memory, {_size(stored_total)} in the file")


def run_info(args) -> int:
    report = _dataset_report(args.file) if args.datasets else _node_report(args.file)
    if args.json:
        print(json.dumps(report, indent=2))
    elif args.datasets:
        _print_datasets(report)
    else:
        _print_nodes(report)
    return 0


# ---------------------------------------------------------------------------------------------
# show (the graph with its edges and metadata)

def show(graph, out=None) -> None:
    """Nodes in topological order with their inferred port shapes; where
    inference fails, the shapes as they stand and the problems found."""
    out = sys.stdout if out is None else out  # at call time: it may be redirected
    print(f"Graph with {len(graph.nodes)} nodes, {len(graph.edges)} edges", file=out)
    for key, value in graph.metadata.items():
        print(f"  {key}: {value}", file=out)
    try:
        shown, problems = graph.infer_types(), ""
    except ValueError as error:
        shown, problems = graph, str(error)
    width = max((len(name) for name in graph.nodes), default=0)
    for name in shown.topological_order():
        node = shown.nodes[name]
        print(f"  {name:<{width}}  {type(node).__name__:<14} "
              f"{_extents(node.input_type, 'input'):>9} -> {_extents(node.output_type, 'output')}",
              file=out)
    print("  edges: " + ", ".join(f"{src} -> {dst}" for src, dst in graph.edges), file=out)
    if problems:
        print("  " + problems.replace("\n", "\n  "), file=out)


def show_file(path, out=None) -> None:
    out = sys.stdout if out is None else out
    stored, version = _read_zor(path)
    print(f"{path} (format version {version})", file=out)
    show(_as_graph(stored), out)


def run_show(args) -> int:
    show_file(args.file)
    return 0


# ---------------------------------------------------------------------------------------------
# validate

def _problems(graph, strict: bool) -> List[str]:
    """Inference's problems, then validation's, each once: validation checks
    the inferred graph, or, where inference fails, the graph as stored, which
    only strict validation goes on to (for the problems beyond shapes)."""
    found: List[str] = []
    try:
        graph = graph.infer_types()
    except GraphError as error:
        found += error.problems
    if strict or not found:
        try:
            graph.validate(strict=strict)
        except GraphError as error:
            found += [problem for problem in error.problems if problem not in found]
    return found


def run_validate(args) -> int:
    """Read, infer, validate: each problem on a line of its own, status 1 if any."""
    graph = _as_graph(_read_zor(args.file, mmap=True)[0])
    problems = _problems(graph, args.strict)
    counts = f"{_count(len(graph.nodes), 'node')}, {_count(len(graph.edges), 'edge')}"
    if not problems:
        print(f"{args.file}: valid{' (strict)' if args.strict else ''}, {counts}")
        return 0
    print(f"{args.file}: {_count(len(problems), 'problem')}, {counts}")
    for problem in problems:
        print(f"  {problem}")
    return 1


# ---------------------------------------------------------------------------------------------
# diagram

DIAGRAM_SUFFIXES = (".svg", ".png", ".dot")


def run_diagram(args) -> int:
    output = _output(args.output)
    if output.suffix.lower() not in DIAGRAM_SUFFIXES:
        raise UserError(f"{output}: a diagram is written as " + ", ".join(DIAGRAM_SUFFIXES)
                        + "; the suffix says which")
    text = _as_graph(_read_zor(args.file, mmap=True)[0]).to_dot()
    dot = shutil.which("dot")
    if output.suffix.lower() != ".dot" and dot is None:
        output = output.with_suffix(".dot")
        print(f"zor-ir: Graphviz's dot is not installed; writing DOT text to {output} instead "
              "(Debian: apt-get install graphviz)", file=sys.stderr)
    if output.suffix.lower() == ".dot":
        with _about(output):
            output.write_text(text)
    else:
        rendered = subprocess.run([dot, f"-T{output.suffix.lower()[1:]}", "-o", str(output)],
                                  input=text, capture_output=True, text=True)
        if rendered.returncode != 0:
            said = rendered.stderr.strip().splitlines() or [f"exit status {rendered.returncode}"]
            raise UserError(f"{output}: dot failed: {said[0]}")
    print(f"wrote {output}")
    return 0


# ---------------------------------------------------------------------------------------------
# convert

def run_convert(args) -> int:
    """To NIR or from NIR, as the output's suffix says: a .nir output is
    converted from the .zor input, a .zor output from the NIR input (whatever
    its suffix)."""
    source, target = Path(args.input), _output(args.output)
    if target.suffix.lower() not in (".zor", ".nir"):
        raise UserError(f"{target}: convert writes a .zor or a .nir file, as the suffix says")
    try:
        from . import nir as interchange
    except ImportError as error:  # the optional nir package is not installed
        raise UserError(str(error)) from error
    if target.suffix.lower() == ".nir":
        graph = _as_graph(_read_zor(str(source))[0])
        with _about(source):  # what NIR cannot hold is the source's
            converted = interchange.to_nir(graph)
        with _about(target):
            interchange.nir.write(target, converted)
    else:
        if not source.is_file():
            raise UserError(f"{source}: " + ("not a file" if source.exists() else "no such file"))
        if source.suffix.lower() != ".nir" and not _is_nir_file(source):
            raise UserError(f"{source} is no NIR file; convert writes a .zor file from a NIR file")
        with _about(source):
            graph = interchange.read_nir(source)
        with _about(target):
            write(target, graph)
    print(f"wrote {target} ({_count(len(graph.nodes), 'node')}, {_count(len(graph.edges), 'edge')})")
    return 0


# ---------------------------------------------------------------------------------------------
# demo

def run_demo(args) -> int:
    """Build the example network, write it, read it back and show its info."""
    graph = build_example()
    with tempfile.TemporaryDirectory() as scratch:
        path = str(_output(args.output)) if args.output else os.path.join(scratch, "example.zor")
        with _about(path):
            write(path, graph)
        _print_nodes(_node_report(path))
    if args.output:
        print(f"The example network is in {path}.")
    else:
        print("The example network was written to a temporary file, now removed; "
              "-o FILE keeps it.")
    return 0


# ---------------------------------------------------------------------------------------------
# The commands

def version_text() -> str:
    """The package version, the file format version it writes and the HDF5
    library it links."""
    from importlib.metadata import version

    from . import serialization

    return (f"zor-ir {version('zor-ir')} (file format {serialization.__version__}, "
            f"HDF5 {serialization.__hdf5_version__})")


def _zor_file(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a .zor file")


def _info_arguments(parser: argparse.ArgumentParser) -> None:
    _zor_file(parser)
    parser.add_argument("--json", action="store_true", help="print JSON instead of a table")
    parser.add_argument("--datasets", action="store_true",
                        help="list every dataset (path, dtype, shape, size, stored size) instead "
                             "of the nodes")


def _validate_arguments(parser: argparse.ArgumentParser) -> None:
    _zor_file(parser)
    parser.add_argument("--strict", action="store_true",
                        help="also report shapes inference cannot tell and nodes joined to nothing")


def _diagram_arguments(parser: argparse.ArgumentParser) -> None:
    _zor_file(parser)
    parser.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="OUT.svg or OUT.png (drawn by Graphviz's dot) or OUT.dot (DOT text)")


def _convert_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN", help="a .zor or .nir file")
    parser.add_argument("output", metavar="OUT", help="the .nir or .zor file to write")


def _demo_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="keep the written file here (default: a temporary file)")


def _check_arguments(parser: argparse.ArgumentParser) -> None:
    _zor_file(parser)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds (default: 60)")
    parser.add_argument("--memory", type=int, default=8 << 30,
                        help="bytes of address space for the reader (default: 8 GiB)")


def run_check(args: argparse.Namespace) -> int:
    """One line, and the verdict as the exit status (0 sound, 1 malformed, 2 refused)."""
    from zor.ir import check

    with _about(args.file):
        result = check(args.file, timeout=args.timeout, memory=args.memory)
    print(f"{args.file}: {result}")
    return result.verdict.value


@dataclass(frozen=True)
class Command:
    name: str
    summary: str
    arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]
    aliases: Tuple[str, ...] = ()


COMMANDS = (
    Command("info", "format version, file size and one row per node: type, shapes, parameters, "
            "bytes and dtypes of its arrays; totals", _info_arguments, run_info),
    Command("validate", "read, infer the shapes and validate a graph; each problem on a line, "
            "exit status 1 if any", _validate_arguments, run_validate),
    Command("diagram", "draw the graph: a box per node with its type and shapes, shapes on the "
            "edges, SNN and ANN nodes and HybridRegion markers in their own colours",
            _diagram_arguments, run_diagram),
    Command("convert", "convert between a .zor file and a NIR file (.nir), by their suffixes",
            _convert_arguments, run_convert),
    Command("demo", "build the example network, write it, read it back and show its info",
            _demo_arguments, run_demo, aliases=("example",)),
    Command("show", "the graph with its metadata, shapes and edges", _zor_file, run_show),
    Command("check", "read a .zor file in a child process with a time limit and a memory cap; exit "
            "status 0: sound, 1: malformed (the error), 2: refused (it crashed, hung or exhausted "
            "the reader)", _check_arguments, run_check),
)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="zor-ir", description=__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=version_text())
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        sub = commands.add_parser(command.name, aliases=list(command.aliases),
                                  help=command.summary, description=command.summary + ".")
        command.arguments(sub)
        sub.set_defaults(run=command.run)
    return top


def main(argv=None) -> int:
    top = parser()
    args = top.parse_args(argv)
    try:
        return args.run(args)
    except UserError as error:
        top.exit(1, f"{top.prog}: error: {error}\n")
    except BrokenPipeError:
        # The reader left (| head): nothing more to say, and nothing to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
