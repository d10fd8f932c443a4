"""Nested NIR graphs built again on the way out: the nodes that ``from_nir`` inlined from a
subgraph (named "<subgraph>.<node>", listed in the graph's "nir.subgraphs") become one
``nir.NIRGraph`` node again, with its Input and Output nodes, so that the importers that take
nested graphs (nirtorch, snnTorch's recurrent layers) take them again."""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

import nir
import numpy as np

from ._nir_table import extents, port
from .graph import Graph

Edge = Tuple[str, str]


def made_graph(nodes: Dict[str, Any], edges: List[Edge], metadata: Dict[str, Any]) -> Any:
    """An ``nir.NIRGraph``, type-checked by the nir versions that check graphs."""
    return nir.NIRGraph(nodes=nodes, edges=edges, metadata=metadata)


def names(value: Any) -> List[str]:
    """A list of names as a .zor file gives it back (an array of texts or bytes)."""
    return [item.decode("utf8") if isinstance(item, bytes) else str(item)
            for item in np.asarray(value, dtype=object).reshape(-1)]


def nest(graph: Graph, nodes: Dict[str, Any], subgraphs: Dict[str, Any],
         problems: List[str]) -> Tuple[List[Edge], Dict[str, str]]:
    """Replaces, in ``nodes``, the members of each subgraph by the subgraph (innermost first),
    and returns the edges between what is left and, for every member, the name of the
    outermost subgraph that holds it."""
    edges: List[Edge] = [(str(src), str(dst)) for src, dst in graph.edges]
    inside = {f"{sub}.{local}" for sub, record in subgraphs.items()
              for local in names(record.get("nodes", []))}
    outer: Dict[str, str] = {}
    done: set = set()

    def build(sub: str) -> None:
        record = subgraphs[sub]
        members = {f"{sub}.{local}": local for local in names(record.get("nodes", []))}
        for flat in members:
            if flat in subgraphs and flat not in done:
                build(flat)
        missing = [flat for flat in members if flat not in nodes]
        if missing:
            problems.append(f"subgraph {sub!r}: graph metadata 'nir.subgraphs' lists nodes "
                            f"{missing}, which are not in the graph")
            return
        _collapse(graph, sub, record, members, nodes, edges, problems)
        for flat in members:
            outer[flat] = sub
        done.add(sub)

    for sub in subgraphs:
        if sub not in inside and sub not in done:
            build(sub)
    for flat, sub in list(outer.items()):
        while sub in outer:
            sub = outer[sub]
        outer[flat] = sub
    return edges, outer


def _collapse(graph: Graph, sub: str, record: Dict[str, Any], members: Dict[str, str], nodes: Dict[str, Any],
              edges: List[Edge], problems: List[str]) -> None:
    inputs = {name: names(fed) for name, fed in dict(record.get("inputs", {})).items()}
    outputs = {name: names(feeding) for name, feeding in dict(record.get("outputs", {})).items()}
    entries = {local for fed in inputs.values() for local in fed}
    exits = {local for feeding in outputs.values() for local in feeding}
    inner_edges: List[Edge] = []
    outer_edges: List[Edge] = []
    for src, dst in edges:
        src_in, dst_in = src in members, dst in members
        if src_in and dst_in:
            inner_edges.append((members[src], members[dst]))
        elif dst_in and members[dst] in entries:
            outer_edges.append((src, sub))
        elif src_in and members[src] in exits:
            outer_edges.append((sub, dst))
        elif src_in or dst_in:
            problems.append(f"subgraph {sub!r}: edge {src!r} -> {dst!r} crosses it at a node "
                            "its Input or Output does not reach")
        else:
            outer_edges.append((src, dst))
    inner: Dict[str, Any] = {}
    boundary_in: List[Edge] = []
    boundary_out: List[Edge] = []
    for name, fed in inputs.items():
        shape = shape_of(graph, nodes, f"{sub}.{fed[0]}" if fed else "", "input")
        inner[name] = nir.Input(input_type={"input": shape})
        boundary_in += [(name, local) for local in fed]
    for local in members.values():
        inner[local] = nodes[f"{sub}.{local}"]
    for name, feeding in outputs.items():
        shape = shape_of(graph, nodes, f"{sub}.{feeding[0]}" if feeding else "", "output")
        inner[name] = nir.Output(output_type={"output": shape})
        boundary_out += [(local, name) for local in feeding]
    try:
        built = made_graph(inner, boundary_in + inner_edges + boundary_out,
                           dict(record.get("metadata", {})))
    except (ValueError, AssertionError, KeyError) as error:
        problems.append(f"subgraph {sub!r}: NIR's type check refuses it: {error}")
        return
    position = next(index for index, name in enumerate(nodes) if name in members)
    kept = [(name, node) for name, node in nodes.items() if name not in members]
    kept.insert(position, (sub, built))
    nodes.clear()
    nodes.update(kept)
    edges[:] = list(dict.fromkeys(outer_edges))


def shape_of(graph: Graph, nodes: Dict[str, Any], flat: str, side: str) -> Any:
    """The shape of a member's input or output port: the ZOR node's, or a nested graph's."""
    if flat in graph.nodes:
        value = port(getattr(graph.nodes[flat], f"{side}_type"), side)
    else:
        ports = getattr(nodes.get(flat), f"{side}_type", None)
        value = next(iter(ports.values()), None) if isinstance(ports, dict) else None
    return None if value is None else extents(value)
