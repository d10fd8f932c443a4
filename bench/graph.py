"""Graph shape inference and validation: time per node of a chain and of a
wide graph at growing sizes, and the same chain through NIR's
NIRGraph.infer_types, measured side by side in one run.

    .venv/bin/python bench/graph.py                  # 1,000, 10,000 and 100,000 nodes
    .venv/bin/python bench/graph.py --sizes 100 1000 # a quick run

The chain alternates Conv2d (4 -> 4 channels, 3x3, padding 1) and LIF over a
4x8x8 input; the wide graph feeds one Conv2d into parallel LIF branches that a
Skip adds up. Each time is the best of --repeat runs (timeit, so the cyclic
garbage collector is off while timing). The last line of each table divides
the largest time per node by the smallest: linear work keeps it near 1,
except for what the caches add once the graph outgrows them, which the
"edge pass" column (a bare lookup of every edge's ends) shows on its own.
NIR (PyPI `nir`) is optional: without it, its column is left out; a size is
skipped where NIR would take more than a minute.
Nothing here asserts a timing.
"""

from __future__ import annotations

import argparse
import timeit

import numpy as np

from zor.ir import LIF, Conv2d, Graph, Skip

CHANNELS, SIDE = 4, 8
SHAPE = (CHANNELS, SIDE, SIDE)
NIR_BUDGET = 60.0  # seconds one NIR run may take

# Every node holds the same arrays: the graph work is measured, not memory.
WEIGHT, BIAS = np.ones((CHANNELS, CHANNELS, 3, 3), np.float32), np.zeros(CHANNELS, np.float32)
TAU, V_LEAK, V_THRESHOLD = np.full(SHAPE, 20.0), np.zeros(SHAPE), np.ones(SHAPE)


def conv(first=False):
    return Conv2d(WEIGHT, BIAS, padding=(1, 1),
                  input_type={"input": np.array(SHAPE)} if first else None)


def lif():
    return LIF(TAU, TAU, V_LEAK, V_THRESHOLD)


def chain(count: int) -> Graph:
    return Graph.sequential([conv(first=True)] + [lif() if i % 2 else conv()
                                                  for i in range(1, count)])


def wide(count: int) -> Graph:
    graph = Graph()
    graph.add_node("stem", conv(first=True))
    graph.add_node("sum", Skip("add"))
    for i in range(count - 2):
        name = f"lif{i}"
        graph.add_node(name, lif())
        graph.add_edge("stem", name)
        graph.add_edge(name, "sum")
    return graph


def nir_chain(count: int):
    """The same chain in NIR, from an Input node, its shapes left to infer."""
    import nir

    nodes = {"input": nir.Input({"input": np.array(SHAPE)})}
    edges = []
    for i in range(1, count):
        nodes[f"n{i}"] = (nir.Conv2d(None, WEIGHT, 1, 1, 1, 1, BIAS) if i % 2
                          else nir.LIF(TAU, TAU, V_LEAK, V_THRESHOLD))
        edges.append((f"n{i - 1}" if i > 1 else "input", f"n{i}"))
    return nir.NIRGraph(nodes, edges, type_check=False)


def nir_times(sizes, repeat: int) -> dict:
    """NIR's infer_types per node of the chain, on a new graph for each run
    (it fills the graph it is given): the best of ``repeat`` runs while a run
    takes under a second, one run beyond. A size is left out when the one
    before, scaled by the growth in nodes, would take more than a minute."""
    per_node = {}
    for size, next_size in zip(sizes, sizes[1:] + [None]):
        best = float("inf")
        for _ in range(repeat):
            graph = nir_chain(size)
            best = min(best, seconds(graph.infer_types))
            if best > 1.0:
                break
        per_node[size] = best / size
        if next_size is not None and best * next_size / size > NIR_BUDGET:
            break
    return per_node


def seconds(run) -> float:
    return timeit.Timer(run).timeit(number=1)


def nir_available() -> bool:
    try:
        import nir  # noqa: F401
    except ImportError:
        return False
    return True


def edge_pass(graph: Graph) -> None:
    """The least that any linear pass over the graph does: number the nodes
    and look up both ends of every edge. Its own growth per node is what the
    machine's caches add at size, with no algorithm to blame."""
    index = {name: i for i, name in enumerate(graph.nodes)}
    succs: list = [[] for _ in index]
    for src, dst in graph.edges:
        succs[index[src]].append(index[dst])


OURS = {
    "infer_types": lambda graph: graph.infer_types(),
    "validate": lambda graph: graph.validate(),
    "validate strict": lambda graph: graph.validate(strict=True),
    "edge pass": edge_pass,
}


def table(title: str, build, sizes, repeat: int, with_nir: bool) -> None:
    """Best time per node of each operation at each size. The sizes take
    turns within each round, so that a busy moment of the machine weighs on
    all of them alike."""
    graphs = {size: build(size) for size in sizes}
    per_node = {name: {size: float("inf") for size in sizes} for name in OURS}
    for _ in range(repeat):
        for size, graph in graphs.items():
            for name, run in OURS.items():
                per_node[name][size] = min(per_node[name][size],
                                           seconds(lambda: run(graph)) / size)
    if with_nir:
        per_node["NIR infer_types"] = nir_times(sizes, repeat)
    print(f"\n{title}: microseconds per node (best of {repeat})")
    print(f"{'nodes':>8}" + "".join(f"{name:>17}" for name in per_node)
          + (f"{'NIR / ours':>12}" if with_nir else ""))
    for size in sizes:
        row = "".join(f"{times[size] * 1e6:17.2f}" if size in times else f"{'skipped':>17}"
                      for times in per_node.values())
        if with_nir and size in per_node["NIR infer_types"]:
            row += f"{per_node['NIR infer_types'][size] / per_node['infer_types'][size]:12.1f}"
        print(f"{size:>8}" + row)
    print(f"{'max/min':>8}" + "".join(f"{max(t.values()) / min(t.values()):17.2f}"
                                      for t in per_node.values()))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with_nir = nir_available()
    if not with_nir:
        print("nir is not installed (pip install nir): its column is left out")
    table("Chain (Conv2d, LIF, ...)", chain, args.sizes, args.repeat, with_nir)
    table("Wide (Conv2d into parallel LIF, added by one Skip)", wide, args.sizes, args.repeat,
          False)


if __name__ == "__main__":
    main()
