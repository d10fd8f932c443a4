"""Graphs: the order and structure of their nodes, the sequential builder."""

import random

import numpy as np
import pytest

from zor.ir import LIF, Conv2d, Graph, ReLU


def lif(*shape):
    return LIF(np.full(shape, 20.0), np.full(shape, 20.0), np.zeros(shape), np.ones(shape))


def conv(out_channels, in_channels, kernel=3, **options):
    return Conv2d(np.ones((out_channels, in_channels, kernel, kernel), np.float32),
                  np.zeros(out_channels, np.float32), **options)


def build(nodes, edges):
    """A graph of {name: node} and edges written "a>b b>c"."""
    graph = Graph()
    for name, node in nodes.items():
        graph.add_node(name, node)
    for edge in edges.split():
        graph.add_edge(*edge.split(">"))
    return graph



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
