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
    outermost subgraph that holds it. Each edge is placed once, in the innermost graph that
    holds both its ends, so the work is linear in nodes and edges (times the nesting depth)."""
    parent = {f"{sub}.{local}": sub for sub, record in subgraphs.items()
              for local in names(record.get("nodes", []))}
    missing: Dict[str, List[str]] = {}
    for member, sub in parent.items():
        if member not in nodes and member not in subgraphs:
            missing.setdefault(sub, []).append(member)
    for sub, members in missing.items():
        problems.append(f"subgraph {sub!r}: graph metadata 'nir.subgraphs' lists nodes "
                        f"{members}, which are not in the graph")
    if missing:
        return [], {}
    ends = {sub: _ends(record) for sub, record in subgraphs.items()}

    def chain(name: str) -> List[str]:
        """The subgraphs holding ``name``, outermost first, and the name itself."""
        path = [name]
        while path[-1] in parent:
            path.append(parent[path[-1]])
        return path[::-1]

    placed: Dict[Any, List[Edge]] = {None: []}
    for src, dst in graph.edges:
        ps, pd = chain(src), chain(dst)
        k = 0
        while k < min(len(ps), len(pd)) - 1 and ps[k] == pd[k]:
            k += 1
        crossing = [(ps[j], src, dst) for j in range(k, len(ps) - 1)
                    if ps[j + 1][len(ps[j]) + 1:] not in ends[ps[j]][1]]
        crossing += [(pd[j], src, dst) for j in range(k, len(pd) - 1)
                     if pd[j + 1][len(pd[j]) + 1:] not in ends[pd[j]][0]]
        problems.extend(f"subgraph {sub!r}: edge {a!r} -> {b!r} crosses it at a node its Input "
                        "or Output does not reach" for sub, a, b in crossing)
        placed.setdefault(ps[k - 1] if k else None, []).append((ps[k], pd[k]))
    made = dict(nodes)
    for sub in sorted(subgraphs, key=lambda name: -len(chain(name))):
        built = _built(graph, sub, subgraphs[sub], made, placed.get(sub, []), problems)
        if built is not None:
            made[sub] = built
    outer = {name: chain(name)[0] for name in parent}
    top: Dict[str, Any] = {}
    for name in nodes:
        holder = outer.get(name, name)
        if holder not in top and holder in made:
            top[holder] = made[holder]
    nodes.clear()
    nodes.update(top)
    return list(dict.fromkeys(placed[None])), outer


def _ends(record: Dict[str, Any]) -> Tuple[set, set]:
    """The members a subgraph's Inputs feed and those feeding its Outputs."""
    return ({local for fed in dict(record.get("inputs", {})).values() for local in names(fed)},
            {local for feeding in dict(record.get("outputs", {})).values()
             for local in names(feeding)})


def _built(graph: Graph, sub: str, record: Dict[str, Any], made: Dict[str, Any],
           edges: List[Edge], problems: List[str]) -> Any:
    """The nir.NIRGraph of subgraph ``sub``: its Inputs, members and Outputs, the edges
    placed in it, and its metadata."""
    local = len(sub) + 1
    inner: Dict[str, Any] = {}
    boundary_in: List[Edge] = []
    boundary_out: List[Edge] = []
    for name, fed in dict(record.get("inputs", {})).items():
        fed = names(fed)
        shape = shape_of(graph, made, f"{sub}.{fed[0]}" if fed else "", "input")
        inner[name] = nir.Input(input_type={"input": shape})
        boundary_in += [(name, member) for member in fed]
    for member in names(record.get("nodes", [])):
        inner[member] = made[f"{sub}.{member}"]
    for name, feeding in dict(record.get("outputs", {})).items():
        feeding = names(feeding)
        shape = shape_of(graph, made, f"{sub}.{feeding[0]}" if feeding else "", "output")
        inner[name] = nir.Output(output_type={"output": shape})
        boundary_out += [(member, name) for member in feeding]
    inner_edges = list(dict.fromkeys((src[local:], dst[local:]) for src, dst in edges))
    try:
        return made_graph(inner, boundary_in + inner_edges + boundary_out,
                          dict(record.get("metadata", {})))
    except (ValueError, AssertionError, KeyError) as error:
        problems.append(f"subgraph {sub!r}: NIR's type check refuses it: {error}")
        return None


def shape_of(graph: Graph, nodes: Dict[str, Any], flat: str, side: str) -> Any:
    """The shape of a member's input or output port: the ZOR node's, or a nested graph's."""
    if flat in graph.nodes:
        value = port(getattr(graph.nodes[flat], f"{side}_type"), side)
    else:
        ports = getattr(nodes.get(flat), f"{side}_type", None)
        value = next(iter(ports.values()), None) if isinstance(ports, dict) else None
    return None if value is None else extents(value)
