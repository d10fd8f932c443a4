"""The container of a whole network: named nodes and the edges between them."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

import numpy as np

from .node import Node
from .values import values_equal


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
