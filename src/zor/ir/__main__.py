"""Command line: ``python -m zor.ir example`` builds a small network, writes it
to a .zor file, reads it back and shows it; ``python -m zor.ir show PATH``
shows the graph stored in a .zor file."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import numpy as np


def build_example():
    from zor.ir import LIF, Graph

    graph = Graph(metadata={"name": "two-layer LIF example"})
    for name, n in (("lif1", 4), ("lif2", 4)):
        graph.add_node(name, LIF(tau=np.full(n, 20.0), r=np.full(n, 20.0),
                                 v_leak=np.zeros(n), v_threshold=np.ones(n)))
    graph.add_edge("lif1", "lif2")
    graph.validate()
    return graph


def show(graph, out=sys.stdout) -> None:
    print(f"Graph with {len(graph.nodes)} nodes, {len(graph.edges)} edges", file=out)
    for name, node in graph.nodes.items():
        print(f"  {name}: {node!r}", file=out)
    for src, dst in graph.edges:
        print(f"  {src} -> {dst}", file=out)


def show_file(path, out=sys.stdout) -> None:
    from zor.ir import Graph, read, read_version

    print(f"{path} (format version {read_version(path)})", file=out)
    stored = read(path)
    if isinstance(stored, Graph):
        show(stored, out)
    else:
        print(f"  {stored!r}", file=out)


def run_example(output=None, out=sys.stdout) -> None:
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


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="zor-ir", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    example = commands.add_parser(
        "example", help="build an example network, write it, read it back and show it")
    example.add_argument("--output", metavar="PATH",
                         help="keep the written file here (default: a temporary file)")
    show_command = commands.add_parser("show", help="show the graph stored in a .zor file")
    show_command.add_argument("path")
    args = parser.parse_args(argv)
    from zor.ir.serialization import ZORFormatError

    try:
        if args.command == "example":
            run_example(args.output)
        else:
            show_file(args.path)
    except (OSError, ValueError, ZORFormatError) as error:
        parser.exit(1, f"{parser.prog}: error: {error}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
