"""What Graph.validate checks beyond the nodes' own hooks (which run once,
when a node is made, and leave these through) and the shapes on the edges:
one table of rules, each naming the node classes it applies to."""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, Iterator, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ._inference import Extents, port_of, rule_for
from ._topology import Adjacency
from .conv import Conv1d, Conv2d, SepConv2d
from .linear import Affine, SpikingAffine
from .neurons import IF, LI, LIF, BatchNorm1d, BatchNorm2d, CubaLI, CubaLIF, LayerNorm, PReLU
from .node import Node
from .pooling import AvgPool2d, MaxPool2d, SumPool2d
from .upsample import Upsample

#: Fields that are not parameters of the node's computation.
_NOT_PARAMETERS = ("input_type", "output_type", "metadata")

#: Element kinds a layer computes with: signed, unsigned integers and floats.
_REAL_KINDS = "iuf"


class Seen(NamedTuple):
    """What the graph tells about one node: the full input shape it is fed
    (its own full input port, else the full output port of the node that
    feeds it; None when neither says), and whether an edge feeds it."""

    input: Optional[Extents]
    fed: bool


def _arrays(node: Any) -> Iterator[Tuple[str, "np.ndarray[Any, Any]"]]:
    if dataclasses.is_dataclass(node):
        for field in dataclasses.fields(node):
            value = getattr(node, field.name, None)
            if field.name not in _NOT_PARAMETERS and isinstance(value, np.ndarray):
                yield field.name, value


def _real_parameters(node: Any, seen: Seen) -> Iterator[str]:
    for field, value in _arrays(node):
        if value.dtype.kind not in _REAL_KINDS:
            yield (f"{field} is an array of {value.dtype}; parameters must be real numbers "
                   f"(integers or floats)")


def _extents_of(*fields: str, width: str, one: bool = False) -> Callable[[Any, Seen], Iterator[str]]:
    """Each of ``fields`` must have the extents that the node's ``width``
    field gives (or be a single value, where ``one``)."""
    def check(node: Any, seen: Seen) -> Iterator[str]:
        given = getattr(node, width)
        try:
            expected = tuple(int(extent) for extent in np.atleast_1d(given))
        except (TypeError, ValueError):
            return  # a width changed into something else is not a width
        wrong = [f"{field} {value.shape}" for field in fields
                 for value in [getattr(node, field, None)]
                 if isinstance(value, np.ndarray) and value.shape != expected
                 and not (one and value.shape == (1,))]
        if wrong:
            yield (f"{', '.join(wrong)}: {width} {_shown(given)} needs {expected}"
                   + (" or (1,)" if one else ""))
    return check


def _shared_shape(node: Any, seen: Seen) -> Iterator[str]:
    """A population's parameter arrays share one shape, the population's."""
    shapes = [(field, value.shape) for field, value in _arrays(node)]
    if len({shape for _, shape in shapes}) > 1:
        yield (", ".join(f"{field} {shape}" for field, shape in shapes)
               + ": a population's parameters share one shape")


def _shown(value: Any) -> str:
    return str(list(value)) if isinstance(value, (tuple, list, np.ndarray)) else str(value)


def _transposed_weight(node: Any, seen: Seen) -> Iterator[str]:
    weight = node.weight
    if not isinstance(weight, np.ndarray) or weight.ndim != 2 or seen.input is None:
        return
    out_features, in_features = weight.shape
    if seen.input == (out_features,) and out_features != in_features:
        yield (f"weight of shape {weight.shape} looks transposed: input shape "
               f"[{out_features}] needs ({in_features}, {out_features}), "
               f"as weights are (out_features, in_features)")


# Classes whose sample has a fixed number of extents: (C, H, W), (C, L) or (features,).
_SAMPLE_RANKS = {Conv2d: 3, SepConv2d: 3, MaxPool2d: 3, AvgPool2d: 3, SumPool2d: 3, Upsample: 3,
                 Conv1d: 2, Affine: 1, SpikingAffine: 1}


def _takes(node: Any, extents: Extents) -> bool:
    """Whether ``node`` takes ``extents`` as the shape of one sample."""
    rank = next((rank for cls, rank in _SAMPLE_RANKS.items() if isinstance(node, cls)), None)
    if rank is not None and len(extents) != rank:
        return False
    try:
        rule_for(type(node)).infer(node, extents)
    except (ValueError, TypeError, IndexError, AttributeError):
        return False
    return True


def batch_extent(node: Any, extents: Extents) -> Optional[str]:
    """The problem of an input shape whose leading 1 is a batch extent: the
    node takes the shape without it but not with it."""
    if len(extents) < 2 or extents[0] != 1 or _takes(node, extents) or not _takes(node, extents[1:]):
        return None
    return (f"input shape {list(extents)}: its leading 1 looks like a batch extent; "
            f"give the shape of one sample, {list(extents[1:])}")


def _batch_extent(node: Any, seen: Seen) -> Iterator[str]:
    if not seen.fed and seen.input is not None:
        problem = batch_extent(node, seen.input)
        if problem:
            yield problem


class Rule(NamedTuple):
    """A check of the nodes of ``classes`` (their subclasses included): the
    problems it finds, each without the node's name."""

    classes: Tuple[type, ...]
    check: Callable[[Any, Seen], Iterator[str]]


# A node class with parameters of its own adds its rows here.
RULES: List[Rule] = [
    Rule((Node,), _real_parameters),
    Rule((Node,), _batch_extent),
    Rule((BatchNorm1d, BatchNorm2d),
         _extents_of("weight", "bias", "running_mean", "running_var", width="num_features")),
    Rule((PReLU,), _extents_of("weight", width="features", one=True)),
    Rule((LayerNorm,), _extents_of("weight", "bias", width="normalized_shape")),
    # Integrator, Threshold, Scale and Delay have one array: its shape is the population's.
    Rule((LIF, IF, LI, CubaLIF, CubaLI), _shared_shape),
    Rule((Affine, SpikingAffine), _transposed_weight),
]


def _seen(adjacency: Adjacency, v: int) -> Seen:
    node = adjacency.nodes[v]
    own = port_of(node, "input_type")
    if own is not None and own.kind == "full":
        return Seen(own.extents, bool(adjacency.preds[v]))
    for u in adjacency.preds[v]:
        if isinstance(adjacency.nodes[u], Node):
            output = port_of(adjacency.nodes[u], "output_type")
            if output is not None and output.kind == "full":
                return Seen(output.extents, True)
    return Seen(None, bool(adjacency.preds[v]))


def node_problems(adjacency: Adjacency) -> List[str]:
    """The problems that the rules find, node by node in insertion order."""
    problems = []
    for v, (name, node) in enumerate(zip(adjacency.names, adjacency.nodes)):
        if not isinstance(node, Node):
            continue
        seen = _seen(adjacency, v)
        for rule in RULES:
            if isinstance(node, rule.classes):
                problems += [f"node {name!r}: {problem}" for problem in rule.check(node, seen)]
    return problems


def batch_problems(adjacency: Adjacency, input_shapes: Mapping[str, Sequence[int]]) -> List[str]:
    """The shapes given to infer_types() that carry a batch extent."""
    problems = []
    for name, shape in input_shapes.items():
        v = adjacency.index.get(name)
        try:
            extents = tuple(int(extent) for extent in shape)
        except (TypeError, ValueError):
            continue  # the walk reports it
        if v is not None and isinstance(adjacency.nodes[v], Node):
            problem = batch_extent(adjacency.nodes[v], extents)
            if problem:
                problems.append(f"input_shapes: {name!r}: {problem}")
    return problems
