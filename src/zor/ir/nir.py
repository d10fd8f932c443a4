"""Interchange with NIR, the Neuromorphic Intermediate Representation (PyPI package ``nir``).

``to_nir(graph)`` turns a ZOR-IR ``Graph`` into a ``nir.NIRGraph`` and ``from_nir(nir_graph)``
turns one back; ``write_nir(path, graph)`` writes a NIR file with ``nir.write`` and
``read_nir(path)`` reads one, settling the faults of the files the frameworks write (each
with a ``RepairWarning`` naming the node). The node types both sides share are converted so
that their numbers mean the same; every other node is refused, all of them named in one
``ValueError``, never left out of a partial graph. docs/nir.md has the mapping.

Arrays are handed over by reference, not copied. Install the ``nir`` package (1.0.4 or
newer) with ``pip install 'nir>=1.0.4'`` (or the wheel with its extra ``nir``).
"""

from __future__ import annotations

import dataclasses
import importlib.metadata
import pathlib
import re
from typing import Any, Dict, List, Tuple, Union

import h5py
import numpy as np

try:
    import nir
except ImportError as error:
    raise ImportError(
        "zor.ir.nir needs the 'nir' package; install it with: pip install 'nir>=1.0.4'"
    ) from error

from ._inference import Port, agree, port_of
from ._nir_nest import made_graph, nest, shape_of
from ._nir_raw import RawNode, from_object, named, read_file
from ._nir_repair import RepairWarning, Settler, inline, settle_shapes
from ._nir_table import (FROM_NIR, TO_NIR, TYPE_KEY, Refused, SharedType, check_output,
                         extents, port)
from .graph import Graph, GraphError
from .node import Node

__all__ = ["to_nir", "from_nir", "write_nir", "write_nir_graph", "read_nir", "RepairWarning", "NODE_METADATA_KEY",
           "TYPES_KEY", "SUBGRAPHS_KEY", "TYPE_KEY"]

#: The oldest nir this module works with (what Sinabs pins).
OLDEST_NIR = (1, 0, 4)
NIR_VERSION: str = getattr(nir, "version", None) or importlib.metadata.version("nir")


def _release(text: str) -> Tuple[int, ...]:
    return tuple(int(part) for part in re.findall(r"\d+", text.split("+")[0])[:3])


if _release(NIR_VERSION) < OLDEST_NIR:
    raise ImportError(f"zor.ir.nir needs nir 1.0.4 or newer, found nir {NIR_VERSION}; "
                      "install it with: pip install 'nir>=1.0.4'")

#: Entry of a ZOR graph's metadata that keeps the NIR metadata of nodes whose ZOR type has no
#: metadata field of its own, as {node name: metadata}; ``to_nir`` puts it back on those nodes.
NODE_METADATA_KEY = "nir.node_metadata"
#: Entry naming, as {node name: NIR type}, the NIR type of nodes whose ZOR type stands for
#: more than one ("Linear": an Affine that was an ``nir.Linear`` and goes out as one).
TYPES_KEY = "nir.types"
#: Entry that keeps the nested ``nir.NIRGraph`` nodes that ``from_nir`` inlines, as
#: {dotted name: {"metadata", "nodes", "inputs", "outputs"}}; ``to_nir`` builds them again.
SUBGRAPHS_KEY = "nir.subgraphs"
_OWN_KEYS = (NODE_METADATA_KEY, TYPES_KEY, SUBGRAPHS_KEY)

PathLike = Union[str, pathlib.Path]
_BOUNDARY = ("Input", "Output")


# ---------------------------------------------------------------------------------------------
# To NIR

def to_nir(graph: Graph) -> nir.NIRGraph:
    """The NIR graph of ``graph``: its nodes under their names (those of the graph's
    "nir.subgraphs" inside nested NIR graphs again), an ``nir.Input`` before each node
    without predecessors and an ``nir.Output`` after each node without successors.

    Raises ValueError naming every node that has no NIR counterpart or cannot be converted
    exactly, and when NIR's own type check refuses the result."""
    if not isinstance(graph, Graph):
        raise TypeError(f"to_nir expects a zor.ir.Graph, got {type(graph).__name__}")
    problems: List[str] = []
    marks = _entry(graph, TYPES_KEY, str, problems)
    # Types first: a graph with nodes NIR has no place for gets no further.
    problems += [f"{named(name, node)}: no NIR counterpart" for name, node in graph.nodes.items()
                 if (type(node), marks.get(name)) not in TO_NIR]
    if problems:
        raise ValueError("Cannot convert to NIR:\n  " + "\n  ".join(problems))
    graph = graph.infer_types()
    kept = _entry(graph, NODE_METADATA_KEY, dict, problems)
    nodes: Dict[str, Any] = {}
    for name, node in graph.nodes.items():
        row = TO_NIR[(type(node), marks.get(name))]
        try:
            metadata = _merged_metadata(node, kept.get(name, {}))
            nodes[name] = _made(row.nir, row.to_nir(node, metadata), metadata)  # type: ignore[misc]
            check_output(row, node, port(nodes[name].output_type, "output"))
        except Refused as refusal:
            problems.append(f"{named(name, node)}: {refusal}")
        except (ValueError, AssertionError, TypeError) as error:
            problems.append(f"{named(name, node)}: NIR refuses it: {error}")
    if problems:
        raise ValueError("Cannot convert to NIR:\n  " + "\n  ".join(problems))

    edges, outer = nest(graph, nodes, _entry(graph, SUBGRAPHS_KEY, dict, problems), problems)
    roots = _unique(outer.get(name, name) for name in graph.inputs())
    leaves = _unique(outer.get(name, name) for name in graph.outputs())
    taken = set(nodes)
    input_edges, output_edges = [], []
    for node_name, input_name in _boundary_names("input", roots, taken).items():
        shape = shape_of(graph, nodes, node_name, "input")
        if shape is None:
            problems.append(f"{named(node_name, nodes[node_name])}: a graph input needs a known "
                            "input shape; give its input_type")
            continue
        nodes[input_name] = nir.Input(input_type={"input": shape})
        input_edges.append((input_name, node_name))
    for node_name, output_name in _boundary_names("output", leaves, taken).items():
        shape = shape_of(graph, nodes, node_name, "output")
        nodes[output_name] = nir.Output(output_type={"output": shape})
        output_edges.append((node_name, output_name))
    if problems:
        raise ValueError("Cannot convert to NIR:\n  " + "\n  ".join(problems))
    metadata = {key: value for key, value in graph.metadata.items() if key not in _OWN_KEYS}
    try:
        return made_graph(nodes, input_edges + edges + output_edges, metadata)
    except (ValueError, AssertionError, KeyError) as error:
        raise ValueError(f"NIR's type check refuses the converted graph: {error}") from error


def _made(kind: str, fields: Dict[str, Any], metadata: Dict[str, Any]) -> Any:
    """The nir node ``kind`` of ``fields``, as the installed nir version spells it."""
    cls = getattr(nir, kind, None)
    if cls is None:
        raise Refused(f"nir {NIR_VERSION} has no {kind}; install nir 1.0.8")
    known = {field.name for field in dataclasses.fields(cls)}
    for name in [name for name in fields if name not in known]:
        if name != "v_reset" or np.any(np.asarray(fields[name]) != 0):
            raise Refused(f"nir {NIR_VERSION}'s {kind} has no {name}; install nir 1.0.8")
        del fields[name]  # a zero reset is what nir 1.0.8 reads from a file without one
    if metadata:
        if "metadata" not in known:
            raise Refused(f"nir {NIR_VERSION}'s {kind} keeps no metadata, and its metadata "
                          f"{sorted(metadata)} would be lost; install nir 1.0.8")
        fields["metadata"] = metadata
    return cls(**fields)


# ---------------------------------------------------------------------------------------------
# From NIR

def from_nir(nir_graph: nir.NIRGraph, *, repair: bool = False) -> Graph:
    """The ZOR graph of ``nir_graph``, whose arrays may be NumPy arrays, torch tensors or
    anything ``np.asarray`` takes. Its ``nir.Input`` and ``nir.Output`` nodes are dropped: each
    node an Input feeds takes the Input's shape as its input_type, and the nodes that feed
    Outputs are the graph's nodes without successors. Nested NIR graphs are inlined, their
    nodes named "<subgraph>.<node>" (see SUBGRAPHS_KEY).

    Raises ValueError naming every node that has no ZOR counterpart or cannot be converted
    exactly, and every Input, Output, edge or shape that ZOR cannot keep; with ``repair``,
    what ``read_nir`` settles is settled instead, with a RepairWarning each."""
    if not isinstance(nir_graph, nir.NIRGraph):
        raise TypeError(f"from_nir expects a nir.NIRGraph, got {type(nir_graph).__name__}")
    return _from_raw(from_object(nir_graph), Settler(repair))


def write_nir(path: PathLike, graph: Graph) -> None:
    """Write ``graph`` to a NIR file (``write_nir_graph`` of ``to_nir(graph)``)."""
    write_nir_graph(path, to_nir(graph))


def write_nir_graph(path: PathLike, nir_graph: nir.NIRGraph) -> None:
    """``nir.write``, with every group of the file keeping the order of its members (h5py's
    ``track_order``), so that ``nir.read`` gives the nodes back in the graph's order."""
    config = h5py.get_config()
    tracked, config.track_order = config.track_order, True
    try:
        nir.write(path, nir_graph)
    finally:
        config.track_order = tracked


def read_nir(path: PathLike, *, repair: bool = True) -> Graph:
    """Read a NIR file as a ZOR graph. The file is read as nir's writer lays it out, without
    nir's reader, so that what the frameworks write and nir refuses can be settled: each
    repair is one RepairWarning naming the node and the change (docs/nir.md lists them);
    ``repair=False`` refuses them instead. Everything else as ``from_nir``."""
    return _from_raw(read_file(path), Settler(repair))


def _from_raw(raw: RawNode, settler: Settler) -> Graph:
    nodes, edges, subgraphs = inline(raw, settler)
    settle_shapes(nodes, edges, settler)
    problems = settler.problems + _boundary_problems(nodes, edges)
    input_shapes = {dst: nodes[src].output_shape for src, dst in edges
                    if nodes[src].kind == "Input"}
    converted: Dict[str, Node] = {}
    kept: Dict[str, Dict[str, Any]] = {}
    marks: Dict[str, str] = {}
    for name, node in nodes.items():
        if node.kind in _BOUNDARY:
            continue
        row = FROM_NIR.get(node.kind)
        try:
            if row is None:
                raise Refused("no ZOR counterpart")
            converted[name] = _converted(row, node, input_shapes.get(name))
        except Refused as refusal:
            problems.append(f"{named(name, node)}: {refusal}")
            continue
        except (ValueError, KeyError, TypeError, AttributeError, IndexError) as error:
            # A file may hold anything where a parameter belongs.
            problems.append(f"{named(name, node)}: ZOR refuses it: {error}")
            continue
        if row.mark is not None:
            marks[name] = row.mark
        if node.metadata and not hasattr(converted[name], "metadata"):
            kept[name] = dict(node.metadata)

    metadata = dict(raw.metadata)
    for key, entry in ((NODE_METADATA_KEY, kept), (TYPES_KEY, marks), (SUBGRAPHS_KEY, subgraphs)):
        if entry and key in metadata:
            problems.append(f"graph metadata {key!r} is taken, so what it would keep of nodes "
                            f"{sorted(entry)} has nowhere to go")
        elif entry:
            metadata[key] = entry
    if problems:
        raise ValueError("Cannot convert from NIR:\n  " + "\n  ".join(problems))
    kept_edges = [(src, dst) for src, dst in edges
                  if nodes[src].kind not in _BOUNDARY and nodes[dst].kind not in _BOUNDARY]
    graph = Graph(nodes=converted, edges=kept_edges, metadata=metadata)
    try:  # every port the graph determines, as NIR's own inference gives them
        return graph.infer_types(inplace=True)
    except GraphError as error:
        raise ValueError("Cannot convert from NIR: the shapes disagree:\n  "
                         + "\n  ".join(error.problems)) from error


def _converted(row: SharedType, node: RawNode, input_shape: Any) -> Node:
    """The ZOR node of ``node``, given the shape of the Input that feeds it, if any: a shape
    the node's own port does not agree with is refused here, not left to a later validate."""
    own = _ports(node)
    converted = row.from_nir(node.params, own, node.metadata)  # type: ignore[misc]
    if input_shape is not None:
        given = Port(tuple(int(x) for x in extents(input_shape)), "full")
        mine = port_of(converted, "input_type")
        if mine is not None and not agree(mine, given):
            raise Refused(f"it takes {list(mine.extents)}, not the shape {list(given.extents)} "
                          "of the Input feeding it")
        fed = {**own, "input_type": {"input": extents(input_shape)}}
        converted = row.from_nir(node.params, fed, node.metadata)  # type: ignore[misc]
    check_output(row, converted, node.output_shape)
    return converted


def _ports(node: RawNode) -> Dict[str, Any]:
    """ZOR constructor keywords for the port shapes NIR knows of the node; for a convolution
    read from a file, those nir's constructor works out."""
    input_shape, output_shape = node.input_shape, node.output_shape
    if input_shape is None and output_shape is None and node.kind in ("Conv1d", "Conv2d"):
        try:
            theirs = getattr(nir, node.kind)(**node.params)
            input_shape, output_shape = (port(theirs.input_type, "input"),
                                         port(theirs.output_type, "output"))
        except (ValueError, TypeError, AssertionError, IndexError):
            pass  # the ZOR constructor says what is wrong
    ports = {}
    if input_shape is not None:
        ports["input_type"] = {"input": extents(input_shape)}
    if output_shape is not None:
        ports["output_type"] = {"output": extents(output_shape)}
    return ports


def _boundary_problems(nodes: Dict[str, RawNode], edges: List[Tuple[str, str]]) -> List[str]:
    """What ZOR cannot keep of the graph's Inputs and Outputs: ZOR knows a graph input only
    as a node without predecessors and a graph output only as one without successors."""
    predecessors: Dict[str, List[str]] = {name: [] for name in nodes}
    successors: Dict[str, List[str]] = {name: [] for name in nodes}
    for src, dst in edges:
        successors[src].append(dst)
        predecessors[dst].append(src)
    # An Output is an Input seen from the other end: (its neighbours, the links it must
    # not have, what it must do).
    sides = {"Input": (successors, predecessors,
                       "must feed exactly one node, which nothing else feeds"),
             "Output": (predecessors, successors,
                        "must be fed by exactly one node, which feeds nothing else")}
    problems = []
    for name, node in nodes.items():
        if node.kind not in sides:
            continue
        outward, inward, rule = sides[node.kind]
        neighbours = outward[name]
        if (inward[name] or len(neighbours) != 1 or nodes[neighbours[0]].kind in _BOUNDARY
                or len(inward[neighbours[0]]) != 1):
            problems.append(f"{named(name, node)}: {rule}")
        if node.metadata:
            problems.append(f"{named(name, node)}: its metadata has no place in ZOR, which "
                            "has no Input or Output nodes")
    return problems


# ---------------------------------------------------------------------------------------------
# Helpers

def _unique(names: Any) -> List[str]:
    return list(dict.fromkeys(names))


def _boundary_names(kind: str, names: List[str], taken: set) -> Dict[str, str]:
    """Names of the NIR Inputs or Outputs (``kind``) for the nodes ``names``: ``kind`` for a
    single one, else ``kind_<node>``; a numeric suffix keeps clear of names ``taken``."""
    chosen = {}
    for name in names:
        base = kind if len(names) == 1 else f"{kind}_{name}"
        candidate, suffix = base, 0
        while candidate in taken:
            suffix += 1
            candidate = f"{base}_{suffix}"
        taken.add(candidate)
        chosen[name] = candidate
    return chosen


def _entry(graph: Graph, key: str, kind: type, problems: List[str]) -> Dict[str, Any]:
    """The graph metadata entry ``key``, checked to map nodes of the graph (for
    SUBGRAPHS_KEY, subgraph names) to values of ``kind``."""
    entry = graph.metadata.get(key, {})
    if not isinstance(entry, dict) or not all(isinstance(v, kind) for v in entry.values()):
        problems.append(f"graph metadata {key!r} must map node names to "
                        + ("dictionaries" if kind is dict else "texts"))
        return {}
    if key != SUBGRAPHS_KEY:
        unknown = sorted(set(entry) - set(graph.nodes))
        if unknown:
            problems.append(f"graph metadata {key!r} names {unknown}, which are not nodes of "
                            "the graph")
    return entry


def _merged_metadata(node: Node, kept: Dict[str, Any]) -> Dict[str, Any]:
    own = getattr(node, "metadata", {})
    both = sorted(own.keys() & kept.keys())
    if both:
        raise Refused(f"metadata keys {both} are both in its metadata and in the graph's "
                      f"{NODE_METADATA_KEY!r}")
    return {**own, **kept}
