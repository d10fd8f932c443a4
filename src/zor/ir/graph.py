"""The container of a whole network: named nodes and the edges between them."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from ._topology import Adjacency
from .node import Node
from .utils import values_equal


@dataclass(eq=False)
class Graph:
    """A network: nodes by name, edges as (src, dst) name pairs, metadata.

    Example:
        >>> g = Graph()
        >>> g.add_node("fc", Affine(weight, bias))
        >>> g.add_node("lif", LIF(tau, r, v_leak, v_threshold))
        >>> g.add_edge("fc", "lif")
        >>> g.validate()
    """

    nodes: Dict[str, Node] = field(default_factory=dict)
    edges: List[Tuple[str, str]] = field(default_factory=list)
    metadata: Dict[str, Any] = field(default_factory=dict)

    def add_node(self, name: str, node: Node) -> Node:
        """Add ``node`` under ``name`` and return it."""
        if name in self.nodes:
            raise ValueError(f"Graph already has a node named {name!r}")
        self.nodes[name] = node
        return node

    def add_edge(self, src: str, dst: str) -> None:
        """Connect the output of node ``src`` to the input of node ``dst``."""
        self.edges.append((src, dst))

    def to_dict(self) -> Dict[str, Any]:
        return {
            "type": "Graph",
            "nodes": {name: node.to_dict() for name, node in self.nodes.items()},
            "edges": [(src, dst) for src, dst in self.edges],
            "metadata": self.metadata,
        }

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "Graph":
        if type(data) is not dict:
            raise TypeError(
                f"Argument 'data' has incorrect type (expected dict, got {type(data).__name__})"
            )
        from . import str_to_node

        nodes = {
            name: str_to_node(node_data["type"]).from_dict(node_data)
            for name, node_data in data.get("nodes", {}).items()
        }
        edges = [(str(src), str(dst)) for src, dst in data.get("edges", [])]
        return cls(nodes=nodes, edges=edges, metadata=data.get("metadata", {}))

    @classmethod
    def sequential(cls, nodes: Iterable[Node], *, names: Optional[Sequence[str]] = None) -> "Graph":
        """A chain of ``nodes``, each feeding the next. Names default to the
        lower-case class name, with a running number from the second node of
        a class on: ``conv2d``, ``lif``, ``conv2d_1``, ``lif_1``."""
        nodes = list(nodes)
        for position, node in enumerate(nodes):
            if not isinstance(node, Node):
                raise TypeError(f"Graph.sequential: item {position} is a "
                                f"{type(node).__name__}, not a Node")
        if names is None:
            names = _default_names(nodes)
        elif len(names) != len(nodes):
            raise ValueError(f"Graph.sequential: {len(names)} names for {len(nodes)} nodes")
        graph = cls()
        for name, node in zip(names, nodes):
            graph.add_node(name, node)
        for src, dst in zip(names, names[1:]):
            graph.add_edge(src, dst)
        return graph

    # Structure. Edges that are malformed or name a missing node are left out
    # here; validate() reports them.

    def inputs(self) -> List[str]:
        """Names of the nodes without incoming edges, in insertion order."""
        adjacency = Adjacency(self.nodes, self.edges)
        return [name for name, preds in zip(adjacency.names, adjacency.preds) if not preds]

    def outputs(self) -> List[str]:
        """Names of the nodes without outgoing edges, in insertion order."""
        adjacency = Adjacency(self.nodes, self.edges)
        return [name for name, succs in zip(adjacency.names, adjacency.succs) if not succs]

    def predecessors(self, name: str) -> List[str]:
        """Names of the nodes with an edge into ``name``, each once, in edge
        order. Reads the whole graph: for every node at once, use
        topological_order() or infer_types()."""
        adjacency = self._adjacency_of(name)
        return [adjacency.names[u] for u in adjacency.preds[adjacency.index[name]]]

    def successors(self, name: str) -> List[str]:
        """Names of the nodes that ``name`` has an edge into, each once, in
        edge order. Reads the whole graph, as predecessors() does."""
        adjacency = self._adjacency_of(name)
        return [adjacency.names[d] for d in adjacency.succs[adjacency.index[name]]]

    def topological_order(self) -> List[str]:
        """Every node name once, each after the nodes that feed it.

        The order of Kahn's algorithm: first the nodes without incoming
        edges, in insertion order, then each node once all its
        predecessors are placed, in the order they became ready.

        A cycle (a recurrent network) is not an error; it is broken where
        it closes. When no node is ready, the order goes on with a node all
        of whose predecessors off its own cycles are placed: the earliest
        inserted one that already has a placed predecessor (the node where
        the cycle is entered from outside), else the earliest inserted one.
        Its edges from nodes not yet placed are the ones broken: each
        closes a cycle through it, like the recurrent edge of
        ``fc_in -> lif -> fc_rec -> lif``, which puts ``fc_in``, ``lif``,
        ``fc_rec`` in that order. Linear in nodes and edges (plus a heap
        over the nodes left on cycles); never loops.
        """
        adjacency = Adjacency(self.nodes, self.edges)
        return [adjacency.names[v] for v in adjacency.topological_order()]

    def validate(self) -> None:
        """Check that every edge joins two existing nodes and that the output
        shape of its source equals the input shape of its destination (where
        both are known). Raises one ``ValueError`` listing every problem."""
        problems = []
        for src, dst in self.edges:
            missing = [name for name in (src, dst) if name not in self.nodes]
            if missing:
                problems.append(
                    f"edge {src} -> {dst}: no node named "
                    + " or ".join(repr(name) for name in missing)
                )
                continue
            out = _port(self.nodes[src].output_type, "output")
            inp = _port(self.nodes[dst].input_type, "input")
            if out is not None and inp is not None and not np.array_equal(out, inp):
                problems.append(
                    f"edge {src} -> {dst}: output shape {np.ravel(out).tolist()} of {src!r} "
                    f"does not match input shape {np.ravel(inp).tolist()} of {dst!r}"
                )
        if problems:
            raise ValueError("Invalid graph:\n  " + "\n  ".join(problems))

    def _adjacency_of(self, name: str) -> Adjacency:
        if name not in self.nodes:
            raise ValueError(f"Graph has no node named {name!r}")
        return Adjacency(self.nodes, self.edges)

    def equals(self, other: object) -> bool:
        """True when ``other`` is a graph with equal nodes (by value), edges
        and metadata."""
        return (
            type(other) is type(self)
            and self.nodes.keys() == other.nodes.keys()
            and all(self.nodes[n].equals(other.nodes[n]) for n in self.nodes)
            and [tuple(e) for e in self.edges] == [tuple(e) for e in other.edges]
            and values_equal(self.metadata, other.metadata)
        )


def _port(shapes: Any, key: str) -> Any:
    if isinstance(shapes, dict):
        return shapes.get(key)
    return None


def _default_names(nodes: List[Node]) -> List[str]:
    names: List[str] = []
    taken: Dict[str, int] = {}
    for node in nodes:
        base = type(node).__name__.lower()
        name = base
        while name in taken:
            taken[base] += 1
            name = f"{base}_{taken[base]}"
        taken[name] = 0
        names.append(name)
    return names
