"""What a NIR graph needs before ZOR can take it: subgraphs inlined under dotted names, and the
faults the frameworks' files carry settled (edges naming a missing node, leading extents
of 1, ``[[1]]``-style ports, scalar parameters), each with one warning that names the node;
or, where the caller asks for no repairs, each refused. docs/nir.md lists them.
"""

from __future__ import annotations

import math
import warnings
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ._nir_raw import RawNode, named

Edge = Tuple[str, str]

#: The per-neuron parameters of NIR's element-wise types (their port shape is their shape).
PER_NEURON = {
    "LIF": ("tau", "r", "v_leak", "v_threshold", "v_reset"),
    "IF": ("r", "v_threshold", "v_reset"),
    "LI": ("tau", "r", "v_leak"),
    "CubaLIF": ("tau_syn", "tau_mem", "r", "v_leak", "v_threshold", "v_reset", "w_in"),
    "CubaLI": ("tau_syn", "tau_mem", "r", "v_leak", "w_in"),
    "I": ("r",),
    "Threshold": ("threshold",),
    "Scale": ("scale",),
    "Delay": ("delay",),
}
#: How many extents the input of a spatial type has.
_SPATIAL_RANK = {"Conv1d": 2, "Conv2d": 3, "SumPool2d": 3, "AvgPool2d": 3}


class RepairWarning(UserWarning):
    """A fault of a NIR file that the reader settled; the message names the node."""


class Settler:
    """Repairs with a warning each, or (``repair`` off) records each as a refusal."""

    def __init__(self, repair: bool) -> None:
        self.repair = repair
        self.problems: List[str] = []

    def settle(self, what: str, repaired: str, refused: str) -> bool:
        if self.repair:
            warnings.warn(f"{what}: {repaired}", RepairWarning, stacklevel=4)
            return True
        self.problems.append(f"{what}: {refused}")
        return False

    def refuse(self, what: str, why: str) -> None:
        self.problems.append(f"{what}: {why}")

    def note(self, what: str, change: str) -> None:
        """A change made whether or not repairs are asked for: what nir itself makes of it."""
        warnings.warn(f"{what}: {change}", RepairWarning, stacklevel=4)


# ---------------------------------------------------------------------------------------------
# Subgraphs

def inline(graph: RawNode,
           settler: Settler) -> Tuple[Dict[str, RawNode], List[Edge], Dict[str, Any]]:
    """The nodes and edges of ``graph`` with every subgraph's nodes in its place, named
    "<subgraph>.<node>", and what it takes to build the subgraphs again:
    {dotted subgraph name: {"metadata", "inputs", "outputs", "nodes"}}, where "inputs" maps
    each of its Input nodes to the nodes it feeds, "outputs" each Output to the nodes feeding
    it, and "nodes" lists its other nodes (subgraphs among them), all by their names in it."""
    subgraphs: Dict[str, Any] = {}
    nodes, edges = _inline(graph, "", settler, subgraphs)
    return nodes, edges, subgraphs


def _inline(graph: RawNode, prefix: str, settler: Settler,
            subgraphs: Dict[str, Any]) -> Tuple[Dict[str, RawNode], List[Edge]]:
    edges = _mended_edges(graph, prefix[:-1], settler)
    nodes: Dict[str, RawNode] = {}
    flat_edges: List[Edge] = []
    sources, destinations = {src for src, _ in edges}, {dst for _, dst in edges}
    entries: Dict[str, List[str]] = {}  # subgraph -> the flat nodes an edge into it reaches
    exits: Dict[str, List[str]] = {}
    for name, node in graph.nodes.items():
        if node.kind != "NIRGraph":
            nodes[prefix + name] = node
            continue
        sub = prefix + name
        inner_nodes, inner_edges = _inline(node, sub + ".", settler, subgraphs)
        boundary = {flat: inner for flat, inner in inner_nodes.items()
                    if inner.kind in ("Input", "Output") and flat.count(".") == sub.count(".") + 1}
        record: Dict[str, Any] = {
            "metadata": node.metadata, "inputs": {}, "outputs": {},
            "nodes": [local for local, inner in node.nodes.items()
                      if inner.kind not in ("Input", "Output")]}
        for flat, inner in boundary.items():
            local = flat[len(sub) + 1:]
            if inner.kind == "Input":
                fed = [dst for src, dst in inner_edges if src == flat]
                record["inputs"][local] = [dst[len(sub) + 1:] for dst in fed]
                entries.setdefault(name, []).extend(fed)
            else:
                feeding = [src for src, dst in inner_edges if dst == flat]
                record["outputs"][local] = [src[len(sub) + 1:] for src in feeding]
                exits.setdefault(name, []).extend(feeding)
        for kind, key, reaching in (("Input", "inputs", destinations),
                                    ("Output", "outputs", sources)):
            if name in reaching and len(record[key]) != 1:
                way = "into" if kind == "Input" else "out of"
                settler.refuse(f"subgraph {sub!r}", f"edges {way} it need exactly one {kind} node "
                               f"in it, it has {len(record[key])}")
        through = [(src, dst) for src, dst in inner_edges if src in boundary and dst in boundary]
        if through:
            settler.refuse(f"subgraph {sub!r}", "an Input wired straight to an Output: "
                           + ", ".join(f"{src!r} -> {dst!r}" for src, dst in through))
        subgraphs[sub] = record
        nodes.update((flat, inner) for flat, inner in inner_nodes.items() if flat not in boundary)
        flat_edges.extend((src, dst) for src, dst in inner_edges
                          if src not in boundary and dst not in boundary)
    for src, dst in edges:
        flat_edges.extend((a, b) for a in exits.get(src, [prefix + src])
                          for b in entries.get(dst, [prefix + dst]))
    return nodes, flat_edges


def _mended_edges(graph: RawNode, sub: str, settler: Settler) -> List[Edge]:
    """The graph's edges; those naming a missing node are refused (and left out), unless
    exactly one name is missing and exactly one node is named by no edge: then they are
    read as edges of that node."""
    missing = sorted({name for edge in graph.edges for name in edge if name not in graph.nodes})
    if not missing:
        return list(graph.edges)
    where = f"subgraph {sub!r}: " if sub else ""
    touched = {name for edge in graph.edges for name in edge}
    unreached = [name for name in graph.nodes if name not in touched]
    if len(missing) == 1 and len(unreached) == 1:
        lost, found = missing[0], unreached[0]
        if settler.settle(where + named(found, graph.nodes[found]),
                          f"edges name {lost!r}, which is no node; read as edges of this node, "
                          "the one node no edge reaches",
                          f"edges name {lost!r}, which is no node; this is the one node no edge "
                          "reaches (repair=True reads them as edges of it)"):
            return [tuple(found if name == lost else name for name in edge)  # type: ignore[misc]
                    for edge in graph.edges]
        return [edge for edge in graph.edges if lost not in edge]
    for src, dst in graph.edges:
        gone = [name for name in (src, dst) if name not in graph.nodes]
        if gone:
            settler.refuse(f"{where}edge {src!r} -> {dst!r}",
                           "no node named " + " or ".join(repr(name) for name in gone))
    return [edge for edge in graph.edges if not set(edge) & set(missing)]


# ---------------------------------------------------------------------------------------------
# Widths and port shapes

def settle_shapes(nodes: Dict[str, RawNode], edges: List[Edge], settler: Settler) -> None:
    """Gives every element-wise node parameters of its full width and every Input and Output
    the shape its neighbour's parameters fix, changing the records in place (new arrays,
    never the caller's)."""
    predecessors: Dict[str, List[str]] = {name: [] for name in nodes}
    successors: Dict[str, List[str]] = {name: [] for name in nodes}
    for src, dst in edges:
        successors[src].append(dst)
        predecessors[dst].append(src)
    widths = {name: _own_width(name, node, settler) for name, node in nodes.items()}
    pending = [name for name, width in widths.items()
               if width is None and nodes[name].kind in PER_NEURON]
    while pending:  # each node settles once; a settled node wakes its neighbours
        name = pending.pop()
        if widths[name] is not None:
            continue
        told = _told_width(name, nodes, widths, predecessors, successors)
        if told is None:
            continue
        widths[name] = told
        pending.extend(other for other in predecessors[name] + successors[name]
                       if widths[other] is None and nodes[other].kind in PER_NEURON)
    for name, node in nodes.items():
        if node.kind in PER_NEURON:
            _fit_parameters(name, node, widths[name], settler)
    for name, node in nodes.items():
        if node.kind == "Input":
            for fed in successors[name]:
                _fit_port(name, node, fed, nodes[fed], _input_of(nodes[fed], widths[fed]), settler)
        elif node.kind == "Output":
            for feeding in predecessors[name]:
                _fit_port(name, node, feeding, nodes[feeding],
                          _output_of(nodes[feeding], widths[feeding]), settler)


def _own_width(name: str, node: RawNode, settler: Settler) -> Optional[Tuple[int, ...]]:
    """The shape an element-wise node's parameters give it (None while they hold one value
    each); a missing v_reset is filled in first."""
    fields = PER_NEURON.get(node.kind)
    if fields is None:
        return None
    if "v_reset" in fields and "v_threshold" in node.params and node.params.get("v_reset") is None:
        settler.note(named(name, node), "no v_reset (nir 1.0.4 and older state a reset by "
                     "subtracting the threshold); read as v_reset = 0, as nir 1.0.8 reads it")
        node.params["v_reset"] = np.zeros_like(node.params["v_threshold"])
    shapes = {np.shape(node.params[f]) for f in fields if node.params.get(f) is not None}
    wide = {shape for shape in shapes if math.prod(shape) > 1}
    return wide.pop() if len(wide) == 1 else None


def _told_width(name: str, nodes: Dict[str, RawNode], widths: Dict[str, Any],
                predecessors: Dict[str, List[str]], successors: Dict[str, List[str]]) -> Any:
    told = {_output_of(nodes[other], widths[other]) for other in predecessors[name]}
    told |= {_input_of(nodes[other], widths[other]) for other in successors[name]}
    told.discard(None)
    if not told:  # a graph Input or Output of one extent tells as much
        told = {_claimed(nodes[other]) for other in predecessors[name] + successors[name]}
        told.discard(None)
    return told.pop() if len(told) == 1 else None


def _claimed(node: RawNode) -> Optional[Tuple[int, ...]]:
    shape = node.output_shape if node.kind == "Input" else node.input_shape
    if node.kind not in ("Input", "Output") or shape is None or np.ndim(shape) != 1:
        return None
    return (int(shape[0]),) if len(shape) == 1 else None


def _input_of(node: RawNode, width: Any) -> Optional[Tuple[int, ...]]:
    """The input shape a node's own parameters fix, if they do."""
    weight = node.params.get("weight")
    if node.kind in ("Affine", "Linear") and isinstance(weight, np.ndarray) and weight.ndim == 2:
        return (int(weight.shape[1]),)
    return width if node.kind in PER_NEURON else None


def _output_of(node: RawNode, width: Any) -> Optional[Tuple[int, ...]]:
    weight = node.params.get("weight")
    if node.kind in ("Affine", "Linear") and isinstance(weight, np.ndarray) and weight.ndim == 2:
        return (int(weight.shape[0]),)
    return width if node.kind in PER_NEURON else None


def _fit_parameters(name: str, node: RawNode, width: Any, settler: Settler) -> None:
    """Broadcasts the parameters that hold one value to ``width``; parameters of one value
    that nothing widens keep it, as one neuron, unless they have no extent at all."""
    fields = [f for f in PER_NEURON[node.kind] if node.params.get(f) is not None]
    if width is None:
        scalars = [f for f in fields if np.ndim(node.params[f]) == 0]
        if scalars and len(scalars) == len(fields):
            settler.refuse(named(name, node), f"its parameters {', '.join(scalars)} have shape "
                           "() and no neighbour tells how many neurons it has")
            return
        width = (1,) if scalars else None
    if width is None:
        return
    narrow = [f for f in fields if np.shape(node.params[f]) != tuple(width)
              and np.size(node.params[f]) == 1]
    if not narrow:
        return
    shapes = sorted({str(np.shape(node.params[f])) for f in narrow})
    if settler.settle(named(name, node),
                      f"parameters {', '.join(narrow)} of shape {' or '.join(shapes)} broadcast "
                      f"to {tuple(width)}",
                      f"parameters {', '.join(narrow)} of shape {' or '.join(shapes)} where its "
                      f"width is {tuple(width)} (repair=True broadcasts them)"):
        for f in narrow:
            value = np.asarray(node.params[f])
            node.params[f] = np.full(width, value.reshape(()), dtype=value.dtype)
        # Ports nir worked out from the narrow parameters go with them.
        node.input_shape = node.output_shape = np.array(width, dtype=np.int_)


def _fit_port(name: str, port: RawNode, other_name: str, other: RawNode,
              fixed: Optional[Tuple[int, ...]], settler: Settler) -> None:
    """Settles the shape of the Input or Output ``port`` against the neighbour ``other``."""
    claimed = port.output_shape if port.kind == "Input" else port.input_shape
    if claimed is None:
        return
    claimed_array = np.asarray(claimed)
    shape = tuple(int(x) for x in claimed_array.ravel())
    what, side = named(name, port), "takes" if port.kind == "Input" else "gives"
    if fixed is None:
        rank = _SPATIAL_RANK.get(other.kind)
        batched = rank is not None and len(shape) == rank + 1 and shape[0] == 1
        fixed = shape[1:] if batched else shape
    listed = _listed(claimed_array)
    if shape == fixed:
        if claimed_array.ndim == 1:
            return
        change = f"shape {listed} read as {list(fixed)}"
        refusal = (f"its shape {listed} has {claimed_array.ndim} dimensions (repair=True reads "
                   f"it as {list(fixed)})")
    elif _leading_ones(shape, fixed):
        # Only extents of 1 in front of exactly what the neighbour fixes: a batch extent,
        # and Rockpool's time extent beside it.
        ones = list(shape[:len(shape) - len(fixed)])
        dropped, them = (("batch extent", "it") if len(ones) == 1
                         else (f"extents {ones}", "them"))
        change = f"leading {dropped} dropped: {list(shape)} -> {list(fixed)}"
        refusal = (f"its shape {list(shape)} has {'a ' if len(ones) == 1 else ''}leading "
                   f"{dropped} that {named(other_name, other)} does not take (repair=True "
                   f"drops {them})")
    elif math.prod(shape) <= 1:
        change = f"shape {listed} settled to {list(fixed)}, what {named(other_name, other)} {side}"
        refusal = (f"its shape {listed} does not fit {named(other_name, other)}, which {side} "
                   f"{list(fixed)} (repair=True settles it)")
    else:
        change = refusal = ""
        settler.refuse(what, f"its shape {list(shape)} does not fit {named(other_name, other)},"
                       f" which {side} {list(fixed)}")
    if not change or not settler.settle(what, change, refusal):
        fixed = None
    # A refused shape is dropped, so that it is reported once.
    port.input_shape = port.output_shape = None if fixed is None else np.array(fixed, np.int_)


def _leading_ones(shape: Tuple[int, ...], fixed: Tuple[int, ...]) -> bool:
    """Whether ``shape`` is ``fixed`` with one or more extents of 1 in front."""
    extra = len(shape) - len(fixed)
    return extra > 0 and all(x == 1 for x in shape[:extra]) and shape[extra:] == tuple(fixed)


def _listed(array: np.ndarray) -> str:
    return str(array.tolist()).replace(",", "")
