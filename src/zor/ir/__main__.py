"""Command line: ``python -m zor.ir example`` builds a small network and shows it."""

from __future__ import annotations

import argparse
import sys

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


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="zor-ir", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("example", help="build an example network and show it")
    args = parser.parse_args(argv)
    if args.command == "example":
        show(build_example())
    return 0


if __name__ == "__main__":
    sys.exit(main())
