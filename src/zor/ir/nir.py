"""Interchange with NIR, the Neuromorphic Intermediate Representation (PyPI package ``nir``).

``to_nir(graph)`` turns a ZOR-IR ``Graph`` into a ``nir.NIRGraph`` and ``from_nir(nir_graph)``
turns one back; ``write_nir(path, graph)`` and ``read_nir(path)`` go through NIR's own files
(``nir.write``, ``nir.read``). The node types both sides share are converted so that their
numbers mean the same; every other node is refused, all of them named in one ``ValueError``,
never left out of a partial graph. docs/nir.md has the mapping and its conventions.

Arrays are handed over by reference, not copied. Install the ``nir`` package with
``pip install 'nir>=1.0.8'`` (or the wheel with its extra ``nir``).
"""

from __future__ import annotations

import pathlib
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import h5py
import numpy as np

try:
    import nir
except ImportError as error:
    raise ImportError(
        "zor.ir.nir needs the 'nir' package; install it with: pip install 'nir>=1.0.8'"
    ) from error

from .conv import Conv2d
from .flatten import Flatten
from .graph import Graph
from .linear import Affine, SpikingAffine
from .neurons import LIF
from .node import Node
from .pooling import AvgPool2d
from .utils import _pair, conv2d_output_shape

__all__ = ["to_nir", "from_nir", "write_nir", "write_nir_graph", "read_nir", "NODE_METADATA_KEY", "TYPE_KEY"]

#: Entry of a ZOR graph's metadata that keeps the NIR metadata of nodes whose ZOR type has no
#: metadata field of its own, as {node name: metadata}; ``to_nir`` puts it back on those nodes.
NODE_METADATA_KEY = "nir.node_metadata"

#: NIR node metadata entry naming the ZOR type an ``nir.Affine`` stands for ("SpikingAffine");
#: the SpikingAffine fields travel beside it as "zor.spike_mode", "zor.weight_bits" and
#: "zor.accumulator_bits".
TYPE_KEY = "zor.type"
_SPIKING_AFFINE_FIELDS = ("spike_mode", "weight_bits", "accumulator_bits")

PathLike = Union[str, pathlib.Path]


class _Refused(Exception):
    """Why one node cannot be converted; every refusal of a graph ends up in one ValueError."""


def _shaped(graph: Graph) -> Graph:
    """The graph whose port shapes ``to_nir`` reads (Conv2d's spatial input size, the shapes
    of the graph's inputs): a copy with every shape the graph determines inferred, sharing the
    weight arrays; a graph whose shapes disagree is refused with inference's own ValueError."""
    return graph.infer_types()


# ---------------------------------------------------------------------------------------------
# Converters, one pair per shared type. A ZOR -> NIR converter takes the node and the NIR
# metadata it gets; a NIR -> ZOR converter takes the NIR node and the port shapes NIR knows for
# it (as ZOR constructor keywords). Both raise _Refused with the reason when numbers would not
# mean the same on the other side.

def _lif_to_nir(node: LIF, metadata: Dict[str, Any]) -> nir.LIF:
    # ZOR's LIF always resets to zero.
    return nir.LIF(tau=node.tau, r=node.r, v_leak=node.v_leak, v_threshold=node.v_threshold,
                   v_reset=np.zeros_like(node.v_threshold), metadata=metadata)


def _lif_from_nir(node: nir.LIF, ports: Dict[str, Any]) -> LIF:
    v_reset = np.asarray(node.v_reset)
    if np.any(v_reset != 0):
        raise _Refused("v_reset must be zero, as ZOR's LIF resets to zero; got "
                       + np.array2string(v_reset, threshold=8))
    return LIF(node.tau, node.r, node.v_leak, node.v_threshold, **ports)


def _affine_to_nir(node: Affine, metadata: Dict[str, Any]) -> nir.Affine:
    return nir.Affine(weight=node.weight, bias=node.bias, metadata=metadata)


def _spiking_affine_to_nir(node: SpikingAffine, metadata: Dict[str, Any]) -> nir.Affine:
    fields = {TYPE_KEY: "SpikingAffine"}
    fields.update({_field_key(name): getattr(node, name) for name in _SPIKING_AFFINE_FIELDS})
    taken = sorted(fields.keys() & metadata.keys())
    if taken:
        raise _Refused(f"its metadata keys {taken} are the ones that carry SpikingAffine's "
                       "fields in NIR")
    return nir.Affine(weight=node.weight, bias=node.bias, metadata={**fields, **metadata})


def _affine_from_nir(node: nir.Affine, ports: Dict[str, Any]) -> Union[Affine, SpikingAffine]:
    if TYPE_KEY not in node.metadata:
        return Affine(node.weight, node.bias, **ports)
    metadata = dict(node.metadata)
    marked = _plain(metadata.pop(TYPE_KEY))
    if marked != "SpikingAffine":
        raise _Refused(f"its metadata {TYPE_KEY!r} names {marked!r}, which is no ZOR type "
                       "that travels as an nir.Affine")
    fields = {name: _plain(metadata.pop(_field_key(name)))
              for name in _SPIKING_AFFINE_FIELDS if _field_key(name) in metadata}
    return SpikingAffine(node.weight, node.bias, **fields, **ports, metadata=metadata)


def _linear_from_nir(node: nir.Linear, ports: Dict[str, Any]) -> Affine:
    weight = node.weight
    return Affine(weight, np.zeros(weight.shape[0], dtype=weight.dtype), **ports)


def _conv2d_to_nir(node: Conv2d, metadata: Dict[str, Any]) -> nir.Conv2d:
    shape = _port(node.input_type, "input")
    if shape is None or len(shape) != 3:
        raise _Refused("its input height and width are unknown; give its input_type as "
                       "(C, H, W)")
    if node.groups != 1:
        # NIR types a grouped convolution's input with C_in/groups channels, and its own
        # type check then refuses every edge into it.
        raise _Refused(f"groups={node.groups}: NIR's type check refuses grouped convolutions")
    converted = nir.Conv2d(input_shape=(int(shape[1]), int(shape[2])), weight=node.weight,
                           stride=_pair(node.stride), padding=_pair(node.padding),
                           dilation=_pair(node.dilation), groups=int(node.groups),
                           bias=node.bias, metadata=metadata)
    _check_output_shape(node, converted)
    return converted


def _conv2d_from_nir(node: nir.Conv2d, ports: Dict[str, Any]) -> Conv2d:
    converted = Conv2d(node.weight, node.bias, stride=_pair(node.stride),
                       padding=_conv_padding(node), dilation=_pair(node.dilation),
                       groups=int(node.groups), **ports)
    _check_output_shape(converted, node)
    return converted


def _check_output_shape(ours: Conv2d, theirs: nir.Conv2d) -> None:
    """Refuses a convolution whose output shape NIR works out otherwise than ZOR (NIR 1.0.8
    takes the kernel height for both axes)."""
    shape = _port(ours.input_type, "input")
    nir_output = _port(theirs.output_type, "output")
    if shape is None or len(shape) != 3 or nir_output is None:
        return
    expected = [int(x) for x in conv2d_output_shape(
        tuple(int(x) for x in shape), ours.weight.shape[0], tuple(ours.weight.shape[2:]),
        ours.stride, ours.padding, ours.dilation)]
    if [int(x) for x in nir_output] != expected:
        raise _Refused(f"NIR works its output shape out as {[int(x) for x in nir_output]}, "
                       f"not {expected}")


def _conv_padding(node: nir.Conv2d) -> Tuple[int, int]:
    """NIR's padding as ZOR's symmetric (pH, pW); "same" only where that is exact."""
    if not isinstance(node.padding, str):
        return _pair(node.padding)
    if node.padding == "valid":
        return (0, 0)
    stride, dilation = _pair(node.stride), _pair(node.dilation)
    kernel = tuple(int(k) for k in node.weight.shape[2:])
    totals = [d * (k - 1) for d, k in zip(dilation, kernel)]
    if stride != (1, 1) or any(total % 2 for total in totals):
        raise _Refused(f"padding 'same' with kernel {kernel}, dilation {dilation} and stride "
                       f"{stride} is no symmetric padding (pH, pW); it needs stride 1 and odd "
                       "dilated kernel sizes")
    return (totals[0] // 2, totals[1] // 2)


def _avg_pool2d_to_nir(node: AvgPool2d, metadata: Dict[str, Any]) -> nir.AvgPool2d:
    if node.ceil_mode:
        raise _Refused("ceil_mode=True: NIR pools with floor rounding")
    padding = _pair(node.padding)
    if not node.count_include_pad and any(padding):
        raise _Refused(f"count_include_pad=False with padding {padding}: NIR divides every "
                       "window by its full size, padding included")
    return nir.AvgPool2d(kernel_size=np.array(_pair(node.kernel_size)),
                         stride=np.array(_pair(node.stride)), padding=np.array(padding),
                         metadata=metadata)


def _avg_pool2d_from_nir(node: nir.AvgPool2d, ports: Dict[str, Any]) -> AvgPool2d:
    return AvgPool2d(kernel_size=_pair(node.kernel_size), stride=_pair(node.stride),
                     padding=_pair(node.padding), **ports)


def _flatten_to_nir(node: Flatten, metadata: Dict[str, Any]) -> nir.Flatten:
    # Both count start_dim and end_dim over the shape without a batch dimension.
    return nir.Flatten(input_type={"input": _port(node.input_type, "input")},
                       start_dim=int(node.start_dim), end_dim=int(node.end_dim),
                       metadata=metadata)


def _flatten_from_nir(node: nir.Flatten, ports: Dict[str, Any]) -> Flatten:
    return Flatten(start_dim=int(node.start_dim), end_dim=int(node.end_dim), **ports)


@dataclass(frozen=True)
class _SharedType:
    """A ZOR type, the NIR type it travels as, and the converter each way (None where that
    direction belongs to another row)."""

    zor: type
    nir: type
    to_nir: Optional[Callable[[Any, Dict[str, Any]], Any]]
    from_nir: Optional[Callable[[Any, Dict[str, Any]], Node]]


_SHARED_TYPES = (
    _SharedType(LIF, nir.LIF, _lif_to_nir, _lif_from_nir),
    _SharedType(Affine, nir.Affine, _affine_to_nir, _affine_from_nir),
    _SharedType(SpikingAffine, nir.Affine, _spiking_affine_to_nir, None),
    _SharedType(Affine, nir.Linear, None, _linear_from_nir),
    _SharedType(Conv2d, nir.Conv2d, _conv2d_to_nir, _conv2d_from_nir),
    _SharedType(AvgPool2d, nir.AvgPool2d, _avg_pool2d_to_nir, _avg_pool2d_from_nir),
    _SharedType(Flatten, nir.Flatten, _flatten_to_nir, _flatten_from_nir),
)
_TO_NIR = {row.zor: row.to_nir for row in _SHARED_TYPES if row.to_nir is not None}
_FROM_NIR = {row.nir: row.from_nir for row in _SHARED_TYPES if row.from_nir is not None}


# ---------------------------------------------------------------------------------------------
# Graphs

def to_nir(graph: Graph) -> nir.NIRGraph:
    """The NIR graph of ``graph``: its nodes under their names, an ``nir.Input`` before each
    node without predecessors and an ``nir.Output`` after each node without successors.

    Raises ValueError naming every node that has no NIR counterpart or cannot be converted
    exactly, and when NIR's own type check refuses the result."""
    if not isinstance(graph, Graph):
        raise TypeError(f"to_nir expects a zor.ir.Graph, got {type(graph).__name__}")
    # Types first: a graph with nodes NIR has no place for gets no further.
    problems = [f"{_named(name, node)}: no NIR counterpart"
                for name, node in graph.nodes.items() if type(node) not in _TO_NIR]
    if problems:
        raise ValueError("Cannot convert to NIR:\n  " + "\n  ".join(problems))
    graph = _shaped(graph)
    kept = _kept_metadata(graph, problems)
    nodes: Dict[str, Any] = {}
    for name, node in graph.nodes.items():
        try:
            nodes[name] = _TO_NIR[type(node)](node, _merged_metadata(node, kept.get(name, {})))
        except _Refused as refusal:
            problems.append(f"{_named(name, node)}: {refusal}")
        except (ValueError, AssertionError) as error:
            problems.append(f"{_named(name, node)}: NIR refuses it: {error}")

    roots, leaves = graph.inputs(), graph.outputs()
    taken = set(graph.nodes)
    input_edges, output_edges = [], []
    for node_name, input_name in _boundary_names("input", roots, taken).items():
        shape = _port(graph.nodes[node_name].input_type, "input")
        if shape is None:
            problems.append(f"{_named(node_name, graph.nodes[node_name])}: a graph input needs "
                            "a known input shape; give its input_type")
            continue
        nodes[input_name] = nir.Input(input_type={"input": _extents(shape)})
        input_edges.append((input_name, node_name))
    for node_name, output_name in _boundary_names("output", leaves, taken).items():
        # NIR's type inference fills the shape in from the node's output.
        nodes[output_name] = nir.Output(output_type={"output": None})
        output_edges.append((node_name, output_name))
    if problems:
        raise ValueError("Cannot convert to NIR:\n  " + "\n  ".join(problems))

    metadata = {key: value for key, value in graph.metadata.items() if key != NODE_METADATA_KEY}
    edges = input_edges + [(src, dst) for src, dst in graph.edges] + output_edges
    try:
        return nir.NIRGraph(nodes=nodes, edges=edges, metadata=metadata)
    except ValueError as error:
        raise ValueError(f"NIR's type check refuses the converted graph: {error}") from error


def from_nir(nir_graph: nir.NIRGraph) -> Graph:
    """The ZOR graph of ``nir_graph``. Its ``nir.Input`` and ``nir.Output`` nodes are dropped:
    each node an Input feeds takes the Input's shape as its input_type, and the nodes that
    feed Outputs are the graph's nodes without successors.

    Raises ValueError naming every node that has no ZOR counterpart or cannot be converted
    exactly, and every Input or Output that ZOR cannot keep."""
    if not isinstance(nir_graph, nir.NIRGraph):
        raise TypeError(f"from_nir expects a nir.NIRGraph, got {type(nir_graph).__name__}")
    problems = _structure_problems(nir_graph)
    boundary = {name for name, node in nir_graph.nodes.items()
                if isinstance(node, (nir.Input, nir.Output))}
    input_shapes = {dst: nir_graph.nodes[src].output_type["output"]
                    for src, dst in nir_graph.edges
                    if isinstance(nir_graph.nodes.get(src), nir.Input)}
    nodes: Dict[str, Node] = {}
    kept: Dict[str, Dict[str, Any]] = {}
    for name, node in nir_graph.nodes.items():
        if name in boundary:
            continue
        try:
            convert = _FROM_NIR.get(type(node))
            if convert is None:
                raise _Refused("no ZOR counterpart")
            nodes[name] = convert(node, _ports(node, input_shapes.get(name)))
        except _Refused as refusal:
            problems.append(f"{_named(name, node)}: {refusal}")
            continue
        except ValueError as error:
            problems.append(f"{_named(name, node)}: ZOR refuses it: {error}")
            continue
        if node.metadata and not hasattr(nodes[name], "metadata"):
            kept[name] = dict(node.metadata)

    metadata = dict(nir_graph.metadata)
    if kept:
        if NODE_METADATA_KEY in metadata:
            problems.append(f"graph metadata {NODE_METADATA_KEY!r} is taken, so the metadata "
                            f"of nodes {sorted(kept)} has nowhere to go")
        metadata[NODE_METADATA_KEY] = kept
    if problems:
        raise ValueError("Cannot convert from NIR:\n  " + "\n  ".join(problems))
    edges = [(src, dst) for src, dst in nir_graph.edges
             if src not in boundary and dst not in boundary]
    return Graph(nodes=nodes, edges=edges, metadata=metadata)


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


def read_nir(path: PathLike) -> Graph:
    """Read a NIR file as a ZOR graph (``from_nir`` of ``nir.read(path)``)."""
    return from_nir(nir.read(path))


# ---------------------------------------------------------------------------------------------
# Helpers

def _named(name: str, node: Any) -> str:
    return f"node {name!r} ({type(node).__name__})"


def _field_key(name: str) -> str:
    return f"zor.{name}"


def _plain(value: Any) -> Any:
    # A number read from a NIR file is a NumPy scalar.
    return value.item() if isinstance(value, np.generic) else value


def _port(shapes: Any, key: str) -> Any:
    return shapes.get(key) if isinstance(shapes, dict) else None


def _extents(shape: Sequence[int]) -> np.ndarray:
    return np.array(shape, dtype=np.int_).reshape(-1)


def _ports(node: Any, input_shape: Any) -> Dict[str, Any]:
    """ZOR constructor keywords for the port shapes NIR knows: the feeding Input's shape, else
    the node's own input type, and its output type."""
    if input_shape is None:
        input_shape = _port(node.input_type, "input")
    output_shape = _port(node.output_type, "output")
    ports = {}
    if input_shape is not None:
        ports["input_type"] = {"input": _extents(input_shape)}
    if output_shape is not None:
        ports["output_type"] = {"output": _extents(output_shape)}
    return ports


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


def _kept_metadata(graph: Graph, problems: List[str]) -> Dict[str, Dict[str, Any]]:
    """The graph's NODE_METADATA_KEY entry, checked to map its nodes to dictionaries."""
    kept = graph.metadata.get(NODE_METADATA_KEY, {})
    if not isinstance(kept, dict) or not all(isinstance(v, dict) for v in kept.values()):
        problems.append(f"graph metadata {NODE_METADATA_KEY!r} must map node names to "
                        "dictionaries")
        return {}
    unknown = sorted(set(kept) - set(graph.nodes))
    if unknown:
        problems.append(f"graph metadata {NODE_METADATA_KEY!r} names {unknown}, which are not "
                        "nodes of the graph")
    return kept


def _merged_metadata(node: Node, kept: Dict[str, Any]) -> Dict[str, Any]:
    own = getattr(node, "metadata", {})
    both = sorted(own.keys() & kept.keys())
    if both:
        raise _Refused(f"metadata keys {both} are both in its metadata and in the graph's "
                       f"{NODE_METADATA_KEY!r}")
    return {**own, **kept}


def _structure_problems(nir_graph: nir.NIRGraph) -> List[str]:
    """Edges to missing nodes, and what ZOR cannot keep of the graph's Inputs and Outputs:
    ZOR knows a graph input only as a node without predecessors and a graph output only as
    one without successors."""
    predecessors: Dict[str, List[str]] = {name: [] for name in nir_graph.nodes}
    successors: Dict[str, List[str]] = {name: [] for name in nir_graph.nodes}
    problems = []
    for src, dst in nir_graph.edges:
        missing = [name for name in (src, dst) if name not in nir_graph.nodes]
        if missing:
            problems.append(f"edge {src!r} -> {dst!r}: no node named "
                            + " or ".join(repr(name) for name in missing))
            continue
        successors[src].append(dst)
        predecessors[dst].append(src)
    boundary = (nir.Input, nir.Output)
    for name, node in nir_graph.nodes.items():
        if isinstance(node, nir.Input):
            fed = successors[name]
            if (predecessors[name] or len(fed) != 1 or isinstance(nir_graph.nodes[fed[0]], boundary)
                    or len(predecessors[fed[0]]) != 1):
                problems.append(f"{_named(name, node)}: must feed exactly one node, which "
                                "nothing else feeds")
        elif isinstance(node, nir.Output):
            feeding = predecessors[name]
            if (successors[name] or len(feeding) != 1
                    or isinstance(nir_graph.nodes[feeding[0]], boundary)
                    or len(successors[feeding[0]]) != 1):
                problems.append(f"{_named(name, node)}: must be fed by exactly one node, which "
                                "feeds nothing else")
        else:
            continue
        if node.metadata:
            problems.append(f"{_named(name, node)}: its metadata has no place in ZOR, which "
                            "has no Input or Output nodes")
    return problems
