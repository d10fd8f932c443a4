"""The container of a whole network: named nodes and the edges between them."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from ._inference import infer, input_problems, port_of
from ._topology import Adjacency
from .node import Node
from .values import values_equal

#: Where a file keeps a graph's nodes; errors of ``from_dict`` name a node by
#: its place under it.
NODES_PATH = "/graph/nodes"

#: The class a stored node's "type" names: the package's ``str_to_node``,
#: handed over by ``use_registry`` once the package has built its registry.
_node_class: Callable[[str], type]


def use_registry(lookup: Callable[[str], type]) -> None:
    """Rebuild stored nodes with the classes ``lookup`` gives for their "type"
    (zor/ir/__init__.py passes ``str_to_node``)."""
    global _node_class
    _node_class = lookup


class GraphError(ValueError):
    """What ``infer_types`` and ``validate`` raise: the message lists every
    problem, one a line under a heading; ``problems`` holds them one by one."""

    def __init__(self, heading: str, problems: List[str]) -> None:
        super().__init__(f"{heading}:\n  " + "\n  ".join(problems))
        self.problems = problems


class MissingKeyError(KeyError):
    """A key that a stored node needs is missing; the message names the node
    and the key. Shown as written (a plain ``KeyError`` quotes its message)."""

    def __str__(self) -> str:
        return str(self.args[0])


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
        """The graph of a dictionary from ``to_dict()`` or a file. A node that
        cannot be rebuilt is named by its place in a file: a missing key
        raises ``MissingKeyError`` ("'/graph/nodes/fc': missing key 'bias'"),
        a bad value the node's own ``TypeError`` or ``ValueError`` with that
        place before its message (a value of the wrong kind, which a hook
        meets as an ``AttributeError``, a ``TypeError``). Edges that are not
        a list of (src, dst) pairs raise ``ValueError``."""
        if type(data) is not dict:
            raise TypeError(
                f"Argument 'data' has incorrect type (expected dict, got {type(data).__name__})"
            )
        nodes = data.get("nodes", {})
        if not isinstance(nodes, dict):
            raise TypeError(f"'{NODES_PATH}': expected a group of nodes, got {_described(nodes)}")
        return cls(nodes={name: _node_from_dict(name, node_data) for name, node_data in nodes.items()},
                   edges=_edges_from_dict(data.get("edges", [])), metadata=data.get("metadata", {}))

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

    # Shapes

    def infer_types(self, input_shapes: Optional[Mapping[str, Sequence[int]]] = None, *,
                    inplace: bool = False) -> "Graph":
        """Fill every port shape that the graph determines, walking the nodes
        once in topological_order().

        Inference starts from the input nodes' own ``input_type``, or from
        ``input_shapes`` ({input node name: shape}) where given, and gives
        each further node the output of what feeds it:

        - Conv2d: (C_out, H', W') from a (C_in, H, W) input whose C_in is
          ``weight.shape[1] * groups``, as ``conv2d_output_shape`` computes;
          Conv1d likewise (C_out, L') from (C_in, L) with
          ``conv1d_output_shape``;
        - SepConv2d, MaxPool2d, AvgPool2d, SumPool2d, Flatten, Upsample,
          Skip: what their own hook derives from the input;
        - the element-wise nodes (LIF and the other neurons, Threshold,
          Scale, Delay, the activations, Dropout, HybridRegion, the batch
          norms): the full input shape when its leading extent is their
          width (a population of parameters with several dimensions takes
          exactly that shape); LayerNorm when its trailing extents are its
          ``normalized_shape``;
        - Affine, SpikingAffine: an input of exactly [in_features].

        A node fed by several edges receives their sum, so their shapes must
        be equal; a concatenating Skip takes shapes equal but for the channel
        (first) extent, and its input and output sum the channels. An edge
        that closes a cycle is checked after the walk, against the shapes
        inferred at both ends. Nodes that nothing determines keep their
        ports. Every disagreement is collected and raised as one
        ``ValueError``.

        Returns a new graph of new nodes that share every parameter array
        with the caller's (the caller's graph is untouched), or with
        ``inplace`` fills the ports of the caller's own nodes and returns
        this graph.
        """
        adjacency = Adjacency(self.nodes, self.edges)
        problems, runs = self._problems(adjacency, shapes=False)
        if not runs:
            raise GraphError("Cannot infer the graph's shapes", problems)
        inference = infer(adjacency, input_shapes or {})
        problems = inference.problems
        # New nodes run their hooks again: a node changed since it was made
        # may no longer pass its own checks.
        inferred: Dict[str, Any] = {}
        for name, node in self.nodes.items() if not problems else ():
            if inplace and name not in inference.ports:
                continue
            try:
                inferred[name] = inference.node(name, node)
            except ValueError as error:
                problems.append(f"node {name!r}: {error}")
        if problems:
            raise GraphError("Cannot infer the graph's shapes", problems)
        if not inplace:
            return type(self)(nodes=inferred, edges=list(self.edges), metadata=dict(self.metadata))
        for name, new in inferred.items():
            node: Any = self.nodes[name]
            node.input_type, node.output_type = new.input_type, new.output_type
        return self

    def validate(self, strict: bool = False) -> None:
        """Raise one ``GraphError`` (a ``ValueError``) that lists every
        problem, or return.

        Problems: a value in ``nodes`` that is not a Node or a name that is
        not a string; an edge that is not a (src, dst) pair of names, names
        a missing node or is listed twice; a join whose shapes do not fit
        together (as infer_types() requires); an edge whose source output
        shape disagrees with its destination input shape. Shapes agree when
        equal, and where a node's one-dimensional port gives only its width
        or channels (element-wise and spatial nodes), when the other shape
        has that leading extent; a LayerNorm's port agrees with a shape
        that ends with it. So a graph that validates still validates after
        a trip through a file, where such nodes keep only their widths.

        ``strict`` also runs infer_types() and reports its problems, the
        nodes whose shapes it still cannot tell, and nodes joined to
        nothing in a graph of several nodes.
        """
        adjacency = Adjacency(self.nodes, self.edges)
        problems, runs = self._problems(adjacency, shapes=True)
        if strict:
            if runs:
                inference = infer(adjacency, {})
                problems += inference.problems
                problems += [f"node {name!r}: shape unknown after inference" + (
                    "" if adjacency.preds[adjacency.index[name]] else "; give its input_type")
                    for name in inference.unknown]
            if len(self.nodes) > 1:
                problems += [f"node {name!r}: joined to nothing" for name, preds, succs
                             in zip(adjacency.names, adjacency.preds, adjacency.succs)
                             if not preds and not succs]
        if problems:
            raise GraphError("Invalid graph", problems)

    def _problems(self, adjacency: Adjacency, shapes: bool) -> Tuple[List[str], bool]:
        """Problems of node values and names and of edges, in edge order,
        with the shapes that meet at each destination (at its first edge)
        and duplicate edges when ``shapes``; and whether inference can run
        (every value a Node, every edge a pair of node names)."""
        problems = [f"node {name!r}: " + ("its name is not a string" if type(name) is not str
                                          else f"{type(node).__name__} is not a Node")
                    for name, node in self.nodes.items()
                    if type(name) is not str or not isinstance(node, Node)]
        runs = not problems
        for position, edge in enumerate(self.edges):
            ends = adjacency.ends[position]
            if ends is None:
                problems.append(_edge_problem(position, edge, self.nodes))
                runs = False
            elif shapes and adjacency.first[position]:
                if position in adjacency.repeats:
                    problems.append(f"edge {edge[0]} -> {edge[1]}: listed "
                                    f"{adjacency.repeats[position]} times")
                src, dst = ends
                if adjacency.preds[dst][0] == src:  # the first edge into dst
                    problems += self._shape_problems(adjacency, dst)
        return problems, runs

    def _shape_problems(self, adjacency: Adjacency, v: int) -> List[str]:
        node = adjacency.nodes[v]
        if not isinstance(node, Node):
            return []
        incoming = [(adjacency.names[u], port_of(adjacency.nodes[u], "output_type"))
                    for u in adjacency.preds[v] if isinstance(adjacency.nodes[u], Node)]
        return input_problems(adjacency.names[v], node, incoming, port_of(node, "input_type"))

    def _adjacency_of(self, name: str) -> Adjacency:
        if name not in self.nodes:
            raise ValueError(f"Graph has no node named {name!r}")
        return Adjacency(self.nodes, self.edges)

    def to_dot(self) -> str:
        """The graph in Graphviz's DOT language: one box per node with its
        name, type and shapes (as infer_types() fills them, as they stand
        where it cannot), the shape on each edge, and spiking nodes (LIF,
        SpikingAffine), rate-based nodes and HybridRegion markers in three
        colours that a legend names. ``dot -Tsvg`` draws it."""
        from ._dot import to_dot

        return to_dot(self)

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


def _node_from_dict(name: Any, data: Any) -> Node:
    """The node stored under ``name``, by the class its "type" names; errors
    name the node's place in a file."""
    where = f"'{NODES_PATH}/{name}'"
    if not isinstance(data, dict):
        raise TypeError(f"{where}: expected a node's group, got {_described(data)}")
    try:
        return _node_class(data["type"]).from_dict(data)
    except KeyError as error:
        key = error.args[0] if error.args else None
        raise MissingKeyError(f"{where}: missing key {key!r}") from error
    except (TypeError, AttributeError) as error:
        # A hook meets a stored value of another kind than its field's
        # (text for an array) as an AttributeError.
        raise TypeError(f"{where}: {error}") from error
    except ValueError as error:
        raise ValueError(f"{where}: {error}") from error


def _edges_from_dict(edges: Any) -> List[Tuple[str, str]]:
    """Edges as name pairs; a file's pair group gives a list of tuples."""
    if type(edges) not in (list, tuple) or any(
            type(edge) not in (list, tuple) or len(edge) != 2 for edge in edges):
        raise ValueError(f"'/graph/edges': expected a list of (src, dst) pairs, "
                         f"got {_described(edges)}")
    return [(str(src), str(dst)) for src, dst in edges]


def _described(value: Any) -> str:
    """A value's kind for an error message: its type, an array's dtype and shape."""
    if isinstance(value, np.ndarray):
        return f"an array of {value.dtype} with shape {value.shape}"
    if type(value) in (list, tuple):
        kinds = sorted({type(item).__name__ for item in value})
        return f"a {type(value).__name__} of {', '.join(kinds) or 'nothing'}"
    return f"{value} ({type(value).__name__})"


def _edge_problem(position: int, edge: Any, nodes: Mapping[str, Any]) -> str:
    """What is wrong with an entry of the edge list that Adjacency passed over."""
    if type(edge) not in (tuple, list) or len(edge) != 2:
        return f"edge {position}: {edge!r} is not a (src, dst) pair"
    if any(type(end) is not str for end in edge):
        return f"edge {position}: " + " and ".join(
            f"{end!r} ({type(end).__name__}) is not a node name"
            for end in edge if type(end) is not str)
    src, dst = edge
    return f"edge {src} -> {dst}: no node named " + " or ".join(
        repr(name) for name in edge if name not in nodes)


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
