"""Shapes across a graph: what each node class makes of the shape that reaches
it, when two port shapes agree, how joins combine their inputs, and the walk
that fills every port the graph determines."""

from __future__ import annotations

import dataclasses
import math
import operator
from typing import Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ._topology import Adjacency
from .conv import Conv1d, Conv2d, SepConv2d
from .flatten import Flatten
from .linear import Affine, SpikingAffine
from .neurons import (ELU, GELU, IF, LI, LIF, BatchNorm1d, BatchNorm2d, CubaLI, CubaLIF, Delay,
                      Dropout, HybridRegion, Integrator, LayerNorm, PReLU, ReLU, Scale, Sigmoid,
                      Softmax, Tanh, Threshold)
from .node import Node
from .pooling import AvgPool2d, MaxPool2d, SumPool2d
from .skip import Skip
from .upsample import Upsample
from .utils import conv1d_output_shape, conv2d_output_shape

Extents = Tuple[Any, ...]


class Port(NamedTuple):
    """The extents of a port and how much of the full shape they tell:
    "full"; "leading" (one extent, the first of the full shape: the width
    or channel count that a node derives from its parameters); "trailing"
    (the full shape ends with them: a LayerNorm's normalized shape)."""

    extents: Extents
    kind: str


def agree(a: Port, b: Port) -> bool:
    """Whether one full shape fits both ports."""
    if a.kind == b.kind == "trailing":
        return _ends_with(a.extents, b.extents) or _ends_with(b.extents, a.extents)
    if a.kind == b.kind:
        return a.extents == b.extents
    if "full" not in (a.kind, b.kind):
        return True  # (leading, ..., trailing) fits both
    full, part = (a, b) if a.kind == "full" else (b, a)
    if part.kind == "leading":
        return full.extents[:1] == part.extents
    return _ends_with(full.extents, part.extents)


def _ends_with(extents: Extents, tail: Extents) -> bool:
    return len(extents) >= len(tail) and extents[len(extents) - len(tail):] == tail


def port_of(node: Any, field: str) -> Optional[Port]:
    """The "input" port of ``node.input_type`` or the "output" port of
    ``node.output_type``, or None where it is not given."""
    ports = getattr(node, field, None)
    value = ports.get(field[:-5]) if isinstance(ports, dict) else None
    if value is None:
        return None
    if type(value) is not np.ndarray or value.ndim != 1:
        value = np.ravel(value)
    extents = tuple(value.tolist())
    return Port(extents, rule_for(type(node)).kind(node, extents))


def concatenates(node: Any) -> bool:
    return isinstance(node, Skip) and node.skip_type in ("concatenate", "concat")


def join(node: Any, incoming: Sequence[Tuple[str, Port]]) -> Optional[Port]:
    """The input of ``node`` fed by several edges: their common shape, or for
    a concatenating ``Skip`` their shape with the channel extents summed
    (None when a channel count is not known). Raises ValueError when the
    shapes do not fit together."""
    name = type(node).__name__
    if concatenates(node):
        full = [port.extents for _, port in incoming if port.kind == "full"]
        if any(not extents for extents in full) or len({e[1:] for e in full}) > 1:
            raise ValueError(
                f"{name} concatenates shapes that differ beyond the channel extent: "
                + _listing(incoming))
        if any(port.kind == "trailing" for _, port in incoming):
            return None
        channels = sum(port.extents[0] for _, port in incoming)
        return Port((channels,) + full[0][1:], "full") if full else Port((channels,), "leading")
    reference = next((port for _, port in incoming if port.kind == "full"), incoming[0][1])
    if not all(agree(port, reference) for _, port in incoming):
        raise ValueError(f"{name} joins unequal shapes: " + _listing(incoming))
    return reference


def _listing(incoming: Sequence[Tuple[str, Port]]) -> str:
    return ", ".join(f"{src} {list(port.extents)}" for src, port in incoming)


def input_problems(name: str, node: Any, incoming: Sequence[Tuple[str, Optional[Port]]],
                   target: Optional[Port]) -> List[str]:
    """What is wrong with the shapes that reach node ``name`` over its edges,
    measured against its input port ``target``."""
    known = [(src, port) for src, port in incoming if port is not None]
    if concatenates(node):
        if not known or len(known) < len(incoming):
            return []
        try:
            joined = join(node, known)
        except ValueError as error:
            return [f"node {name!r}: {error}"]
        if joined is None or target is None or agree(joined, target):
            return []
        return [f"node {name!r}: concatenated input shape {list(joined.extents)} does not match "
                f"its input shape {list(target.extents)}"]
    if len(known) > 1:
        try:
            join(node, known)
        except ValueError as error:
            return [f"node {name!r}: {error}"]
    if target is None:
        return []
    return [f"edge {src} -> {name}: output shape {list(port.extents)} of {src!r} does not match "
            f"input shape {list(target.extents)} of {name!r}"
            for src, port in known if not agree(port, target)]


# ------------------------------------------------------ one rule per node class

def _array(extents: Extents) -> np.ndarray:
    return np.array(extents) if extents else np.zeros(0, dtype=np.int_)


def with_ports(node: Any, extents: Extents, output: Optional[Extents]) -> Any:
    """A new node sharing every field of ``node`` but its ports; with
    ``output`` None its own hook derives the output from the input."""
    return dataclasses.replace(node, input_type={"input": _array(extents)},
                               output_type=None if output is None else {"output": _array(output)})


def copy(node: Any) -> Any:
    """A new node with the same fields and its own copies of the ports."""
    def copied(ports: Any) -> Any:
        if not isinstance(ports, dict):
            return ports
        return {key: value.copy() if isinstance(value, np.ndarray) else value
                for key, value in ports.items()}

    return dataclasses.replace(node, input_type=copied(node.input_type),
                               output_type=copied(node.output_type))


def _elementwise(width_of: Callable[[Any], Any]) -> Callable[[Any, Extents], Extents]:
    def infer(node: Any, extents: Extents) -> Extents:
        width = width_of(node)
        if extents[:1] != (width,):
            raise ValueError(f"{type(node).__name__} of width {width} does not fit input shape "
                             f"{list(extents)} (its leading extent must be {width})")
        return extents
    return infer


def _population(field: str) -> Callable[[Any, Extents], Extents]:
    """A population (LIF and the other neurons, Threshold, Scale, Delay) of
    parameters with several dimensions has that whole shape; otherwise its
    width is its first extent, as its hook says. ``field`` names one of its
    parameters, all of which share one shape."""
    width = _elementwise(lambda node: (_shape_of(node, field) or (1,))[0])

    def infer(node: Any, extents: Extents) -> Extents:
        shape = _shape_of(node, field)
        if len(shape) > 1 and extents != shape:
            raise ValueError(f"{type(node).__name__} of parameters shaped {shape} does not fit "
                             f"input shape {list(extents)}")
        return width(node, extents)
    return infer


def _shape_of(node: Any, field: str) -> Extents:
    return tuple(getattr(node, field).shape)


def _layer_norm(node: Any, extents: Extents) -> Extents:
    normalized = tuple(node.normalized_shape)
    if not agree(Port(extents, "full"), Port(normalized, "trailing")):
        raise ValueError(f"LayerNorm over {list(normalized)} does not fit input shape "
                         f"{list(extents)} (its trailing extents must be {list(normalized)})")
    return extents


def _dense(node: Any, extents: Extents) -> Extents:
    features = node.weight.shape[1]
    if extents != (features,):
        hint = ""
        if len(extents) > 1 and math.prod(extents) == features:
            hint = f": the same {features} values, not flattened; put a Flatten before it"
        raise ValueError(f"{type(node).__name__} takes input shape [{features}], "
                         f"got {list(extents)}{hint}")
    return (node.weight.shape[0],)


def _check_channels(node: Any, extents: Extents, channels: int, weight: str,
                    spatial: int = 2) -> None:
    name = type(node).__name__
    if len(extents) < spatial + 1:
        layout = "(C, H, W)" if spatial == 2 else "(C, L)"
        raise ValueError(f"{name} needs an input shape {layout}, got {list(extents)}")
    if extents[-spatial - 1] != channels:
        raise ValueError(f"{name} takes {channels} input channels ({weight}), "
                         f"got input shape {list(extents)}")


def _conv2d(node: Any, extents: Extents) -> Extents:
    out_channels, per_group, height, width = node.weight.shape
    _check_channels(node, extents, per_group * node.groups,
                    f"weight {tuple(node.weight.shape)}, groups {node.groups}")
    return conv2d_output_shape(extents, out_channels, (height, width), node.stride,
                               node.padding, node.dilation)


def _conv1d(node: Any, extents: Extents) -> Extents:
    out_channels, per_group, length = node.weight.shape
    _check_channels(node, extents, per_group * node.groups,
                    f"weight {tuple(node.weight.shape)}, groups {node.groups}", spatial=1)
    return conv1d_output_shape(extents, out_channels, length, node.stride, node.padding,
                               node.dilation)


def _separable(node: Any, extents: Extents) -> Optional[Extents]:
    _check_channels(node, extents, node.depthwise_weight.shape[0],
                    f"depthwise weight {tuple(node.depthwise_weight.shape)}")
    return _by_hook(node, extents)


def _by_hook(node: Any, extents: Extents) -> Optional[Extents]:
    output = port_of(with_ports(node, extents, None), "output_type")
    return None if output is None else output.extents


def _given(node: Any, extents: Extents) -> Optional[Extents]:
    """A class the graph knows nothing of keeps the ports it has, which must
    take what reaches it; without an input port it gets the input, and its
    hook may derive the output from it as a node class's hook does."""
    own = port_of(node, "input_type")
    output = port_of(node, "output_type")
    if own is None and output is None:
        return _by_hook(node, extents)
    if own is not None and not agree(Port(extents, "full"), own):
        raise ValueError(f"input shape {list(extents)} does not match its input port "
                         f"{list(own.extents)}")
    return None if output is None else output.extents


def _own_input(node: Any, own: Optional[Port]) -> Optional[Extents]:
    return None if own is None else own.extents


def _full_input(node: Any, own: Optional[Port]) -> Optional[Extents]:
    return own.extents if own is not None and own.kind == "full" else None


def _population_input(field: str) -> Callable[[Any, Optional[Port]], Optional[Extents]]:
    def start(node: Any, own: Optional[Port]) -> Optional[Extents]:
        shape = _shape_of(node, field)
        if own is not None and own.kind == "leading" and len(shape) > 1:
            return shape
        return _own_input(node, own)
    return start


def _width_kind(node: Any, extents: Extents) -> str:
    return "leading" if len(extents) == 1 else "full"


def _normalized_kind(node: Any, extents: Extents) -> str:
    return "trailing" if extents == tuple(node.normalized_shape) else "full"


def _full_kind(node: Any, extents: Extents) -> str:
    return "full"


@dataclasses.dataclass(frozen=True)
class _Rule:
    """How the graph treats a node class: ``infer`` builds the node with the
    output shape that follows from an input shape (None when the node cannot
    tell; ValueError when it cannot take the input); ``kind`` tells how much of the full shape a port of the
    node gives (see Port); ``start`` is the input shape that a node fed by
    no edge starts from, given its own input port."""

    infer: Callable[[Any, Extents], Optional[Extents]]
    kind: Callable[[Any, Extents], str]
    start: Callable[[Any, Optional[Port]], Optional[Extents]] = _own_input


_FEATURES = _Rule(_elementwise(operator.attrgetter("features")), _width_kind)
_NUM_FEATURES = _Rule(_elementwise(operator.attrgetter("num_features")), _width_kind)
# A spatial node's one-dimensional port holds its channels alone.
_POOLING = _Rule(_by_hook, _width_kind, _full_input)


def _population_rule(field: str) -> _Rule:
    return _Rule(_population(field), _width_kind, _population_input(field))


_RULES: Dict[type, _Rule] = {
    LIF: _population_rule("tau"), IF: _population_rule("r"), LI: _population_rule("tau"),
    CubaLIF: _population_rule("tau_syn"), CubaLI: _population_rule("tau_syn"),
    Integrator: _population_rule("r"), Threshold: _population_rule("threshold"),
    Scale: _population_rule("scale"), Delay: _population_rule("delay"),
    ReLU: _FEATURES, Sigmoid: _FEATURES, Tanh: _FEATURES, Softmax: _FEATURES, GELU: _FEATURES,
    ELU: _FEATURES, PReLU: _FEATURES, Dropout: _FEATURES, HybridRegion: _FEATURES,
    BatchNorm1d: _NUM_FEATURES, BatchNorm2d: _NUM_FEATURES,
    LayerNorm: _Rule(_layer_norm, _normalized_kind),
    Affine: _Rule(_dense, _full_kind),
    SpikingAffine: _Rule(_dense, _full_kind),
    Conv2d: _Rule(_conv2d, _width_kind, _full_input),
    Conv1d: _Rule(_conv1d, _width_kind, _full_input),
    SepConv2d: _Rule(_separable, _width_kind, _full_input),
    MaxPool2d: _POOLING, AvgPool2d: _POOLING, SumPool2d: _POOLING, Upsample: _POOLING,
    Flatten: _Rule(_by_hook, _full_kind),
    Skip: _Rule(_by_hook, _full_kind),
}
_OTHER = _Rule(_given, _full_kind)


def rule_for(cls: type) -> _Rule:
    rule = _RULES.get(cls)
    if rule is None:  # a subclass, or a class the graph knows nothing of
        rule = next((_RULES[base] for base in cls.__mro__ if base in _RULES), _OTHER)
    return rule


# ------------------------------------------------------------------- the walk

class Inference(NamedTuple):
    """The (input, output) shapes that the walk gave each node it could (an
    output of None: the node's hook does not derive one), the problems found,
    and the names of the nodes whose shapes are still not known in full,
    other than those behind a reported problem."""

    ports: Dict[str, Tuple[Extents, Optional[Extents]]]
    problems: List[str]
    unknown: List[str]

    def node(self, name: str, node: Any) -> Any:
        """A new node with the inferred ports of node ``name``."""
        ports = self.ports.get(name)
        return copy(node) if ports is None else with_ports(node, *ports)


def infer(adjacency: Adjacency, input_shapes: Mapping[str, Any]) -> Inference:
    """Walk the nodes once in topological order (cycles broken as
    Graph.topological_order() says) and find the shapes that follow for
    each from what feeds it. Edges that close a cycle are checked once both
    of their ends are inferred."""
    names = adjacency.names
    order = adjacency.topological_order()
    position = [0] * len(names)
    for step, v in enumerate(order):
        position[v] = step
    problems: List[str] = []
    starts = _given_shapes(adjacency, input_shapes, problems)
    ports: Dict[str, Tuple[Extents, Optional[Extents]]] = {}
    outputs: List[Optional[Port]] = [None] * len(names)
    blocked = [False] * len(names)
    for v in order:
        name, node = names[v], adjacency.nodes[v]
        rule = rule_for(type(node))
        feeds = [u for u in adjacency.preds[v] if position[u] < position[v]]
        blocked[v] = any(blocked[u] and outputs[u] is None for u in feeds)
        extents: Optional[Extents] = None
        if blocked[v]:
            pass
        elif not feeds:
            extents = starts[v] if v in starts else rule.start(node, port_of(node, "input_type"))
        else:
            extents, found = _input_of(name, node, [(names[u], outputs[u]) for u in feeds])
            problems += found
            blocked[v] = bool(found)
        output = None
        if extents is not None:
            try:
                output = rule.infer(node, extents)
                ports[name] = (extents, output)
            except ValueError as error:
                problems.append(f"node {name!r}: {error}")
                blocked[v] = True
        if output is not None:
            outputs[v] = Port(output, "full")
        else:
            own = port_of(node, "output_type")
            # A full output port of its own (a dense layer's) still feeds the
            # nodes after a node that failed.
            if own is not None and (own.kind == "full" or not blocked[v]):
                outputs[v] = own
    for v in order:
        if not blocked[v] and any(position[u] >= position[v] for u in adjacency.preds[v]):
            given = ports.get(names[v])
            target = Port(given[0], "full") if given else port_of(adjacency.nodes[v], "input_type")
            problems += input_problems(names[v], adjacency.nodes[v], [
                (names[u], outputs[u]) for u in adjacency.preds[v]], target)
    unknown = [name for v, name in enumerate(names) if not blocked[v] and (
        ports[name][1] is None if name in ports else not _full_ports(adjacency.nodes[v]))]
    return Inference(ports, problems, unknown)


def _input_of(name: str, node: Node, incoming: List[Tuple[str, Optional[Port]]]
              ) -> Tuple[Optional[Extents], List[str]]:
    """The full input shape that the edges give ``node`` (None when some of
    them do not know theirs), and what is wrong with them."""
    full = [(src, port) for src, port in incoming if port is not None and port.kind == "full"]
    if len(full) < len(incoming):
        return None, input_problems(name, node, incoming, port_of(node, "input_type"))
    try:
        joined = join(node, full)
    except ValueError as error:
        return None, [f"node {name!r}: {error}"]
    return (None if joined is None else joined.extents), []


def _full_ports(node: Any) -> bool:
    return all(port is not None and port.kind == "full"
               for port in (port_of(node, "input_type"), port_of(node, "output_type")))


def _given_shapes(adjacency: Adjacency, input_shapes: Mapping[str, Any],
                  problems: List[str]) -> Dict[int, Extents]:
    starts = {}
    for name, shape in input_shapes.items():
        v = adjacency.index.get(name)
        if v is None:
            problems.append(f"input_shapes: no node named {name!r}")
        elif adjacency.preds[v]:
            problems.append(f"input_shapes: {name!r} is not an input node; "
                            f"{adjacency.names[adjacency.preds[v][0]]!r} feeds it")
        else:
            try:
                starts[v] = tuple(operator.index(extent) for extent in shape)
            except TypeError:
                problems.append(f"input_shapes: the shape {shape!r} of {name!r} is not a "
                                f"sequence of integers")
    return starts
