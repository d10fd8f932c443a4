"""Graphs: the order and structure of their nodes."""

import random

import pytest

from zor.ir import Graph, ReLU


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
