"""A graph as Graphviz's DOT text: one box per node with its type and shapes,
shapes on the edges, spiking (SNN) and rate-based (ANN) nodes and the
HybridRegion markers in colours of their own, joins and outputs marked, what
is wrong in red, and a legend of what the picture holds."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Set, Tuple

import numpy as np

from ._inference import agree, concatenates, port_of
from ._topology import Adjacency
from .linear import SpikingAffine
from .neurons import IF, LIF, CubaLIF, HybridRegion, Threshold

if TYPE_CHECKING:
    from .graph import Graph


class Kind(NamedTuple):
    legend: str
    fill: str
    shape: str


SNN = Kind("SNN (spiking)", "#f6c28b", "box")
ANN = Kind("ANN (rate-based)", "#a6cee3", "box")
MARKER = Kind("HybridRegion marker", "#ffe08a", "hexagon")
KINDS = (SNN, ANN, MARKER)
PROBLEM = "#d62728"
MISSING_FILL = "#f9d0cf"
RANKDIRS = ("TB", "LR")

# What the legend may show beyond the kinds: the attributes of its chip.
JOIN = ("join (several inputs)", 'shape=box, penwidth=2.5, fillcolor="white"')
OUTPUT = ("output", 'shape=box, peripheries=2, fillcolor="white"')
WRONG = ("problem", f'shape=box, style="rounded,dashed,filled", color="{PROBLEM}", '
                    f'fillcolor="{MISSING_FILL}", fontcolor="{PROBLEM}"')


def kind_of(node: Any) -> Kind:
    """SNN for the nodes that spike, the marker for HybridRegion; every other
    node (activations, norms, convolution, pooling, the neurons without a
    threshold, ...) computes rates or potentials."""
    if isinstance(node, HybridRegion):
        return MARKER
    if isinstance(node, (LIF, IF, CubaLIF, Threshold, SpikingAffine)):
        return SNN
    return ANN


def extents(ports: Any, key: str) -> str:
    """A port's extents as 2x34x34, "?" where the port is not known."""
    value = ports.get(key) if isinstance(ports, dict) else None
    return "?" if value is None else "x".join(str(x) for x in np.ravel(value).tolist())


def quoted(text: Any) -> str:
    """A DOT label: quotes and backslashes escaped, line breaks as DOT's own."""
    escaped = str(text).replace("\\", "\\\\").replace('"', '\\"')
    return '"' + escaped.replace("\r\n", "\\n").replace("\n", "\\n") + '"'


def to_dot(graph: Graph, rankdir: str = "TB") -> str:
    if rankdir not in RANKDIRS:
        raise ValueError(f"rankdir must be one of {', '.join(RANKDIRS)}, got {rankdir!r}")
    try:
        shown = graph.infer_types()
    except ValueError:
        shown = graph  # the shapes as they stand; validate() tells what is wrong
    adjacency = Adjacency(shown.nodes, shown.edges)
    title = shown.metadata.get("name") if isinstance(shown.metadata, dict) else None
    lines: List[str] = [
        "digraph zor {",
        f'  graph [fontname="Helvetica", rankdir={rankdir}'
        + ("" if title is None else f", labelloc=t, fontsize=16, label={quoted(title)}") + "];",
        '  node [fontname="Helvetica", style="rounded,filled", penwidth=1];',
        '  edge [fontname="Helvetica", fontsize=10];',
    ]
    # Nodes go by their position: a DOT name keeps a backslash as it is, so a
    # node's own name, which may hold any character, is in its label only.
    ids = {name: f"n{position}" for position, name in enumerate(adjacency.names)}
    shown_extras: Set[Any] = set()
    # An edge to a missing node keeps its source from being an output.
    sources = {edge[0] for edge in shown.edges if type(edge) in (tuple, list) and len(edge) == 2}
    for v, (name, node) in enumerate(zip(adjacency.names, adjacency.nodes)):
        kind = kind_of(node)
        shown_extras.add(kind)
        detail = type(node).__name__
        if isinstance(node, HybridRegion):  # the region it opens, and its name if another
            detail += f" {node.mode}" + (f" {node.name!r}" if node.name not in (None, "", name) else "")
        label = (f"{name}\n{detail}\n{extents(getattr(node, 'input_type', None), 'input')} -> "
                 f"{extents(getattr(node, 'output_type', None), 'output')}")
        marks = ""
        if len(adjacency.preds[v]) > 1:
            label += f"\njoins {len(adjacency.preds[v])} inputs"
            marks += ", penwidth=2.5"
            shown_extras.add(JOIN)
        if not adjacency.succs[v] and name not in sources:
            marks += ", peripheries=2"
            shown_extras.add(OUTPUT)
        lines.append(f"  {ids[name]} [label={quoted(label)}{marks}, shape={kind.shape}, "
                     f'fillcolor="{kind.fill}"];')
    missing: Dict[str, str] = {}  # a name no node has: the id of its placeholder
    for position, edge in enumerate(shown.edges):
        if adjacency.ends[position] is not None:
            line, wrong = _edge(shown, ids, *edge)
            lines.append(line)
            if wrong:
                shown_extras.add(WRONG)
            continue
        if type(edge) not in (tuple, list) or len(edge) != 2 or not all(type(end) is str for end in edge):
            continue  # not a pair of names: validate() reports it
        for end in edge:
            if end not in ids and end not in missing:
                missing[end] = f"m{len(missing)}"
                lines.append(f"  {missing[end]} [label={quoted(end + chr(10) + '(no such node)')}, "
                             f"{WRONG[1]}];")
        src, dst = (ids.get(end) or missing[end] for end in edge)
        lines.append(f'  {src} -> {dst} [color="{PROBLEM}", style=dashed];')
        shown_extras.add(WRONG)
    lines += _legend(shown_extras, ids[shown.topological_order()[-1]] if ids else None, rankdir)
    lines.append("}")
    return "\n".join(lines) + "\n"


def _edge(graph: Graph, ids: Dict[str, str], src: str, dst: str) -> Tuple[str, bool]:
    """An edge with the shape that flows along it; red with both shapes
    where the destination's input does not take the source's output (and
    True with it)."""
    shape = extents(getattr(graph.nodes[src], "output_type", None), "output")
    given, taken = port_of(graph.nodes[src], "output_type"), port_of(graph.nodes[dst], "input_type")
    if (given is not None and taken is not None and not concatenates(graph.nodes[dst])
            and not agree(given, taken)):
        both = f"{shape} ≠ {extents(graph.nodes[dst].input_type, 'input')}"
        return (f'  {ids[src]} -> {ids[dst]} [label={quoted(both)}, color="{PROBLEM}", '
                f'fontcolor="{PROBLEM}", penwidth=2];', True)
    return f"  {ids[src]} -> {ids[dst]}" + ("" if shape == "?" else f" [label={quoted(shape)}]") + ";", False


def _legend(present: Set[Any], last: Any, rankdir: str) -> List[str]:
    """A box of chips, one for each kind of node and mark the picture holds,
    in a row after the graph's last node."""
    chips = [(kind.legend, f'shape={kind.shape}, fillcolor="{kind.fill}"') for kind in KINDS
             if kind in present]
    chips += [extra for extra in (JOIN, OUTPUT, WRONG) if extra in present]
    if not chips:
        return []
    lines = ['  subgraph cluster_legend {', '    label="legend"; fontsize=10; style=rounded; color="#bbbbbb";']
    lines += [f"    l{index} [label={quoted(text)}, {attributes}];"
              for index, (text, attributes) in enumerate(chips)]
    # In one rank, in this order: the invisible edges keep it (laid left to
    # right, a rank runs bottom up).
    order = [f"l{index}" for index in range(len(chips))]
    lines.append("    {rank=same; " + " -> ".join(order[::-1] if rankdir == "LR" else order)
                 + " [style=invis];}")
    lines.append("  }")
    if last is not None:
        lines.append(f"  {last} -> l0 [style=invis];")
    return lines
