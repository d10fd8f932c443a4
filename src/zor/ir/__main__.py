"""Command line: ``python -m zor.ir example`` builds a small network, writes it
to a .zor file, reads it back and shows it; ``python -m zor.ir show PATH``
shows the graph stored in a .zor file; ``python -m zor.ir info PATH`` lists
its datasets' shapes, types and sizes without reading any array."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import numpy as np


def build_example():
    """A hybrid network for a 2x34x34 event camera: an ANN convolutional
    encoder, a spiking core of LIF neurons and a rate-based readout. Only the
    first layer's input shape is given; the graph infers the rest."""
    from zor.ir import (LIF, Conv2d, Flatten, Graph, HybridRegion, MaxPool2d, Softmax,
                        SpikingAffine)

    rng = np.random.default_rng(0)

    def lif(n):
        return LIF(tau=np.full(n, 20.0), r=np.full(n, 20.0), v_leak=np.zeros(n),
                   v_threshold=np.ones(n))

    graph = Graph(metadata={"name": "hybrid gesture classifier", "input": "2x34x34 events"})
    graph.add_node("encoder", HybridRegion("ann", 2 * 34 * 34, name="encoder"))
    graph.add_node("conv", Conv2d(rng.normal(size=(8, 2, 3, 3)).astype(np.float32),
                                  np.zeros(8, np.float32), padding=(1, 1),
                                  input_type={"input": np.array([2, 34, 34])}))
    graph.add_node("pool", MaxPool2d((2, 2)))
    graph.add_node("flatten", Flatten())
    graph.add_node("fc1", SpikingAffine(rng.normal(size=(128, 8 * 17 * 17)).astype(np.float32),
                                        np.zeros(128, np.float32), "rate", 8, 16))
    graph.add_node("lif1", lif(128))
    graph.add_node("fc2", SpikingAffine(rng.normal(size=(10, 128)).astype(np.float32),
                                        np.zeros(10, np.float32), "binary", 4, 12))
    graph.add_node("lif2", lif(10))
    graph.add_node("readout", Softmax(10))
    names = ["conv", "pool", "flatten", "fc1", "lif1", "fc2", "lif2", "readout"]
    for src, dst in zip(names, names[1:]):
        graph.add_edge(src, dst)
    graph.infer_types(inplace=True)
    graph.validate()
    return graph


def _extents(ports, key) -> str:
    value = ports.get(key) if isinstance(ports, dict) else None
    return "?" if value is None else "x".join(str(x) for x in np.ravel(value).tolist())


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
    from zor.ir import Graph, read, read_version

    print(f"{path} (format version {read_version(path)})", file=out)
    stored = read(path)
    if isinstance(stored, Graph):
        show(stored, out)
    else:
        print(f"  {stored!r}", file=out)


def _size(nbytes: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if nbytes < 1024 or unit == "GiB":
            return f"{nbytes} {unit}" if unit == "B" else f"{nbytes:.1f} {unit}"
        nbytes /= 1024
    raise AssertionError("unreachable")


def _datasets(tree, prefix):
    """(path, DatasetLayout) of every dataset under ``tree``, depth first in name order."""
    stack = [(prefix, tree)]
    while stack:
        path, member = stack.pop()
        if isinstance(member, dict):
            stack.extend((f"{path}/{name}", child) for name, child in reversed(member.items()))
        else:
            yield path, member


def show_layout(path, out=None) -> None:
    from zor.ir import read_layout, read_version

    print(f"{path} (format version {read_version(path)})", file=out)
    datasets = list(_datasets(read_layout(path), "/graph"))
    width = max((len(name) for name, _ in datasets), default=0)
    for name, layout in datasets:
        shape = "x".join(map(str, layout.shape)) or "scalar"
        stored = f"  (stored {_size(layout.stored_nbytes)})" if layout.stored_nbytes < layout.nbytes else ""
        print(f"  {name:<{width}}  {str(layout.dtype):<8} {shape:>12}  {_size(layout.nbytes):>10}{stored}", file=out)
    total = sum(layout.nbytes for _, layout in datasets)
    stored = sum(layout.stored_nbytes for _, layout in datasets)
    print(f"  {len(datasets)} datasets: {_size(total)} in memory, {_size(stored)} in the file", file=out)


def check_file(path, timeout, memory, out=None) -> int:
    """``zor-ir check``: one line, and the verdict's exit status."""
    from zor.ir import check

    result = check(path, timeout=timeout, memory=memory)
    print(f"{path}: {result}", file=sys.stdout if out is None else out)
    return result.verdict.value


def run_example(output=None, out=None) -> None:
    from zor.ir import write

    graph = build_example()
    if output is not None:
        write(output, graph)
        show_file(output, out)
        return
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "example.zor")
        write(path, graph)
        show_file(path, out)


def version_text() -> str:
    """The package version, the file format version it writes and the HDF5
    library it links."""
    from importlib.metadata import version

    from zor.ir import serialization

    return (f"zor-ir {version('zor-ir')} (file format {serialization.__version__}, "
            f"HDF5 {serialization.__hdf5_version__})")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="zor-ir", description=__doc__)
    parser.add_argument("--version", action="version", version=version_text())
    commands = parser.add_subparsers(dest="command", required=True)
    example = commands.add_parser(
        "example", help="build an example network, write it, read it back and show it")
    example.add_argument("--output", metavar="PATH",
                         help="keep the written file here (default: a temporary file)")
    show_command = commands.add_parser("show", help="show the graph stored in a .zor file")
    show_command.add_argument("path")
    info = commands.add_parser(
        "info", help="list the datasets of a .zor file (shape, type, size) without reading them")
    info.add_argument("path")
    check_command = commands.add_parser(
        "check", help="read a .zor file in a child process with a time limit and a memory cap; exit status "
                      "0: sound, 1: malformed (the error), 2: refused (it crashed, hung or exhausted the reader)")
    check_command.add_argument("path")
    check_command.add_argument("--timeout", type=float, default=60.0, help="seconds (default: 60)")
    check_command.add_argument("--memory", type=int, default=8 << 30,
                               help="bytes of address space for the reader (default: 8 GiB)")
    args = parser.parse_args(argv)
    from zor.ir.serialization import ZORFormatError

    try:
        if args.command == "check":
            return check_file(args.path, args.timeout, args.memory)
        if args.command == "example":
            run_example(args.output)
        elif args.command == "info":
            show_layout(args.path)
        else:
            show_file(args.path)
    except (OSError, ValueError, ZORFormatError) as error:
        parser.exit(1, f"{parser.prog}: error: {error}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
