"""zor-ir: look into, check, draw and convert ZOR-IR files (.zor).

A problem with a file is one line on stderr that names the file, and the node
where it applies, with exit status 1."""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Optional, Tuple

import numpy as np

from ._dot import RANKDIRS, extents as _extents
from .conv import Conv2d
from .flatten import Flatten
from .graph import Graph, GraphError
from .linear import SpikingAffine
from .neurons import LIF, HybridRegion, Softmax
from .pooling import MaxPool2d
from ._cli import (UserError, _about, _as_graph, _count, _is_nir_file, _nir_hint, _node_report,
                   _output, _print_nodes, _read_zor, _write_zor, _writing, memory_size, run_info)
from ._progress import progress
from . import _run


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


def show_file(path, out=None, quiet: bool = False) -> None:
    out = sys.stdout if out is None else out
    stored, version = _read_zor(path, quiet=quiet)
    print(f"{path} (format version {version})", file=out)
    show(_as_graph(stored), out)


def run_show(args) -> int:
    show_file(args.file, quiet=args.quiet)
    return 0


# ---------------------------------------------------------------------------------------------
# validate

def _problems(graph, strict: bool, go_on: Optional[bool] = None) -> List[str]:
    """Inference's problems, then validation's, each once: validation checks
    the inferred graph, or, where inference fails, the graph as stored, which
    only strict validation goes on to (for the problems beyond shapes)
    unless ``go_on`` says otherwise."""
    found: List[str] = []
    try:
        graph = graph.infer_types()
    except GraphError as error:
        found += error.problems
    if (strict if go_on is None else go_on) or not found:
        try:
            graph.validate(strict=strict)
        except GraphError as error:
            found += [problem for problem in error.problems if problem not in found]
    return found


def run_validate(args) -> int:
    """Read, infer, validate: each problem on a line of its own, status 1 if any."""
    graph = _as_graph(_read_zor(args.file, mmap=True, quiet=args.quiet)[0])
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
    """The picture, and each problem of the graph on stderr with status 1:
    a broken graph is drawn too, what is wrong in red."""
    output = _output(args.output)
    if output.suffix.lower() not in DIAGRAM_SUFFIXES:
        raise UserError(f"{output}: a diagram is written as " + ", ".join(DIAGRAM_SUFFIXES)
                        + "; the suffix says which")
    graph = _as_graph(_read_zor(args.file, mmap=True, quiet=args.quiet)[0])
    text = graph.to_dot(rankdir=args.rankdir)
    dot = shutil.which("dot")
    if output.suffix.lower() != ".dot" and dot is None:
        output = output.with_suffix(".dot")
        print(f"zor-ir: Graphviz's dot is not installed; writing DOT text to {output} instead "
              "(Debian: apt-get install graphviz)", file=sys.stderr)
    with _writing(output):
        if output.suffix.lower() == ".dot":
            output.write_text(text)
        else:
            rendered = subprocess.run([dot, f"-T{output.suffix.lower()[1:]}", "-o", str(output)],
                                      input=text, capture_output=True, text=True)
            if rendered.returncode != 0:
                said = rendered.stderr.strip().splitlines() or [f"exit status {rendered.returncode}"]
                raise UserError(f"{output}: dot failed: {said[0]}")
    print(f"wrote {output}")
    problems = _problems(graph, strict=False, go_on=True)  # every edge drawn red is named
    if problems:
        print(f"{args.file}: {_count(len(problems), 'problem')} (drawn in red where an edge "
              "is at fault):", file=sys.stderr)
        for problem in problems:
            print(f"  {problem}", file=sys.stderr)
    return 1 if problems else 0


# ---------------------------------------------------------------------------------------------
# convert

def run_convert(args) -> int:
    """To NIR or from NIR, as the output's suffix says: a .nir output is
    converted from the .zor input, a .zor output from the NIR input (whatever
    its suffix)."""
    source, target = Path(args.input), _output(args.output)
    if target.suffix.lower() not in (".zor", ".nir"):
        raise UserError(f"{target}: convert writes a .zor or a .nir file, as the suffix says")
    if target.exists() and source.exists() and os.path.samefile(source, target):
        raise UserError(f"cannot write {target}: it is the input; convert writes another file")
    try:
        from . import nir as interchange
    except ImportError as error:  # the optional nir package is not installed
        raise UserError(str(error)) from error
    if target.suffix.lower() == ".nir":
        graph = _as_graph(_read_zor(str(source), quiet=args.quiet)[0])
        with _about(source):  # what NIR cannot hold is the source's
            converted = interchange.to_nir(graph)
        with _writing(target):
            interchange.write_nir_graph(target, converted)
    else:
        if not source.is_file():
            raise UserError(f"{source}: " + ("not a file" if source.exists() else "no such file"))
        if source.suffix.lower() != ".nir" and not _is_nir_file(source):
            raise UserError(f"{source} is no NIR file; convert writes a .zor file from a NIR file")
        # Each repair of the file is one line on stderr.
        with warnings.catch_warnings(record=True) as repairs:
            warnings.simplefilter("always")
            with _about(source):
                graph = interchange.read_nir(source)
        for repair in repairs:
            print(f"{source}: {repair.message}", file=sys.stderr)
        _write_zor(target, graph, args.quiet)
    print(f"wrote {target} ({_count(len(graph.nodes), 'node')}, {_count(len(graph.edges), 'edge')})")
    return 0


# ---------------------------------------------------------------------------------------------
# demo

def run_demo(args) -> int:
    """Build the example network, write it, read it back and show its info."""
    graph = build_example()
    with tempfile.TemporaryDirectory() as scratch:
        path = str(_output(args.output)) if args.output else os.path.join(scratch, "example.zor")
        _write_zor(path, graph, args.quiet)
        _print_nodes(_node_report(path, args.quiet))
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
    from . import __version__, serialization

    return (f"zor-ir {__version__} (file format {serialization.__version__}, "
            f"HDF5 {serialization.__hdf5_version__})")


def _zor_file(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a .zor file")


def _info_arguments(parser: argparse.ArgumentParser) -> None:
    _zor_file(parser)
    parser.add_argument("--json", action="store_true",
                        help="print JSON instead of a table: a line per node (or dataset)")
    parser.add_argument("--indent", type=int, metavar="N",
                        help="with --json: indent every level by N spaces")
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
    parser.add_argument("--rankdir", choices=RANKDIRS, default="TB",
                        help="TB: inputs at the top (the default); LR: inputs on the left")


def _convert_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN", help="a .zor or .nir file")
    parser.add_argument("output", metavar="OUT", help="the .nir or .zor file to write")


def _demo_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="keep the written file here (default: a temporary file)")


def _check_arguments(parser: argparse.ArgumentParser) -> None:
    _zor_file(parser)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds (default: 60)")
    parser.add_argument("--memory", type=memory_size, default=8 << 30, metavar="SIZE",
                        help="address space for the reader: bytes, or with a unit as in 512MiB, "
                             "8GiB, 1GB (default: 8GiB; 0: no cap)")


def run_check(args: argparse.Namespace) -> int:
    """The verdict as the exit status; sound on stdout, malformed or refused
    (with why) on stderr."""
    from .isolation import Verdict, check

    if Path(args.file).suffix.lower() == ".nir" and Path(args.file).is_file():
        raise UserError(_nir_hint(args.file))
    with _about(args.file), progress(f"checking {args.file}", args.quiet) as bar:
        result = check(args.file, timeout=args.timeout, memory=args.memory or None, **bar.options)
    if result.nir_file:
        raise UserError(_nir_hint(args.file))
    if result.verdict is Verdict.SOUND:
        print(f"{args.file}: {result}")
    else:
        print(f"zor-ir: error: {args.file}: {result}", file=sys.stderr)
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
            "status 0: sound, 1: malformed (the error), 3: refused (it crashed, hung or exhausted "
            "the reader)", _check_arguments, run_check),
    Command("run", "run the graph over the inputs of a .npy or .npz file; its outputs and recorded "
            "states into one .npz file", _run.arguments, _run.run),
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
        sub.add_argument("-q", "--quiet", action="store_true",
                         help="no progress bar (one is shown on a terminal for long work)")
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
