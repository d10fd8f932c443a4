"""A graph as Graphviz's DOT text: one box per node with its type and shapes,
shapes on the edges, spiking (SNN) and rate-based (ANN) nodes and the
HybridRegion markers in colours of their own, and a legend of them."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, NamedTuple

import numpy as np

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


def to_dot(graph: Graph) -> str:
    try:
        shown = graph.infer_types()
    except ValueError:
        shown = graph  # the shapes as they stand; validate() tells what is wrong
    lines: List[str] = [
        "digraph zor {",
        '  graph [fontname="Helvetica", labelloc=b, label=<' + _legend() + ">];",
        '  node [fontname="Helvetica", style="rounded,filled", penwidth=1];',
        '  edge [fontname="Helvetica", fontsize=10];',
    ]
    # Nodes go by their position: a DOT name keeps a backslash as it is, so a
    # node's own name, which may hold any character, is in its label only.
    ids = {name: f"n{position}" for position, name in enumerate(shown.nodes)}
    for name, node in shown.nodes.items():
        kind = kind_of(node)
        detail = type(node).__name__
        if isinstance(node, HybridRegion):  # the region it opens, and its name if another
            detail += f" {node.mode}" + (f" {node.name!r}" if node.name not in (None, "", name) else "")
        label = (f"{name}\n{detail}\n"
                 f"{extents(node.input_type, 'input')} -> {extents(node.output_type, 'output')}")
        lines.append(f"  {ids[name]} [label={quoted(label)}, shape={kind.shape}, "
                     f'fillcolor="{kind.fill}"];')
    for edge in shown.edges:
        if type(edge) not in (tuple, list) or len(edge) != 2 or not all(
                type(end) is str and end in ids for end in edge):
            continue  # validate() reports it
        src, dst = edge
        shape = extents(shown.nodes[src].output_type, "output")
        label = "" if shape == "?" else f" [label={quoted(shape)}]"
        lines.append(f"  {ids[src]} -> {ids[dst]}{label};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _legend() -> str:
    cells = "".join(f'<TD BGCOLOR="{kind.fill}">{kind.legend}</TD>' for kind in (SNN, ANN, MARKER))
    return f'<TABLE BORDER="0" CELLSPACING="4" CELLPADDING="4"><TR>{cells}</TR></TABLE>'
