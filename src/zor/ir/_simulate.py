"""Reference execution of a graph: what it computes, step by step.

The rules of the node classes are the table of ``_rules``; this module
checks the call, orders the work and moves the data. docs/semantics.md
states the semantics."""

from __future__ import annotations

import heapq
import math
from collections.abc import Mapping
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple

import numpy as np

from ._inference import Port, agree, concatenates, port_of
from ._kernels import Workspace, thread_count as kernel_threads
from ._rules import Rule, Setting, new_state, rule_for
from ._topology import Adjacency, _components
from .graph import Graph

METHODS = ("euler", "exact")

#: Bytes of the node outputs that one block of time steps may hold; the
#: steps of a block go through each node together. A block small enough
#: to stay in the cache between one node and the next runs fastest.
BLOCK_BYTES = 4 << 20


def simulate(graph: Graph, inputs: Any, *, dt: float, method: str = "euler",
             record: Iterable[str] = (), quantize: bool = False,
             progress: Optional[Callable[[int], None]] = None) -> Dict[str, np.ndarray]:
    """Run ``graph`` over the time steps of ``inputs`` and return each output
    node's output, {name: (T, B, *shape)}, and each recorded state under
    "<node>.<state>" ("lif.v": the membrane potential, "cuba.i": the
    synaptic current), (T, B, *shape), all float64.

    ``inputs`` is one array (T, B, *shape) for a graph of one input node,
    else a dict from the names of ``graph.inputs()`` to such arrays. ``dt``
    is the time step, in the unit of the time constants. ``method`` is
    "euler" (forward Euler) or "exact" (each step integrated exactly with
    the input held). ``quantize`` computes each SpikingAffine in integers,
    with its weight_bits and accumulator_bits. ``progress``, when given, is
    called with the number of time steps done after each block of them.

    Every mistake in the call raises ValueError naming the node or the
    input; the graph is not changed.
    """
    dt = _time_step(dt)
    if method not in METHODS:
        raise ValueError(f"method must be 'euler' or 'exact', got {method!r}")
    rules = _rules_of(graph)
    recorded = _recorded(graph, rules, record)
    arrays = _input_arrays(graph, inputs)
    inferred = graph.infer_types({name: array.shape[2:] for name, array in arrays.items()})
    steps, batch = next(iter(arrays.values())).shape[:2]
    run = _Run(inferred, rules, arrays, recorded, steps, batch, dt, method, bool(quantize))
    with np.errstate(all="ignore"):  # NaN and infinities go on as IEEE arithmetic says
        run.execute(progress)
    return run.results


# ------------------------------------------------------------------ the call's checks

def _time_step(dt: Any) -> float:
    try:
        value = float(dt)
    except (TypeError, ValueError):
        raise ValueError(f"dt must be a positive finite number, got {dt!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"dt must be a positive finite number, got {dt!r}")
    return value


def _rules_of(graph: Graph) -> Dict[str, Rule]:
    rules = {}
    for name, node in graph.nodes.items():
        rule = rule_for(type(node))
        if rule is None:
            raise ValueError(f"node {name!r}: no simulation rule for {type(node).__name__}")
        rules[name] = rule
    return rules


def _recorded(graph: Graph, rules: Mapping[str, Rule], record: Any) -> Dict[str, Tuple[str, str]]:
    """{"<node>.<state>": (node, state)} of the names in ``record``."""
    names = [record] if isinstance(record, str) else list(record)
    recorded = {}
    for entry in names:
        if not isinstance(entry, str):
            raise ValueError(f"record: {entry!r} is not a name \"<node>.<state>\"")
        node, _, state = entry.rpartition(".")
        if not node:
            raise ValueError(f"record {entry!r}: expected \"<node>.<state>\", such as \"lif.v\"")
        if node not in graph.nodes:
            raise ValueError(f"record {entry!r}: no node named {node!r}")
        states = rules[node].states
        if state not in states:
            kind = type(graph.nodes[node]).__name__
            has = f"its states: {', '.join(states)}" if states else "it has no states"
            raise ValueError(f"record {entry!r}: {kind} {node!r} has no state {state!r} ({has})")
        recorded[entry] = (node, state)
    return recorded


def _input_arrays(graph: Graph, inputs: Any) -> Dict[str, np.ndarray]:
    """The inputs as float64 arrays by input node, checked against the graph."""
    names = graph.inputs()
    if not names:
        raise ValueError("the graph has no input node (every node is fed by another)")
    if not isinstance(inputs, Mapping):
        if len(names) != 1:
            raise ValueError(f"the graph has {len(names)} input nodes ({', '.join(names)}); "
                             "give inputs as a dict from their names to arrays")
        inputs = {names[0]: inputs}
    missing = [name for name in names if name not in inputs]
    if missing:
        raise ValueError(f"no input for input node {missing[0]!r}")
    extra = [name for name in inputs if name not in names]
    if extra:
        known = "no node by that name" if extra[0] not in graph.nodes else "fed by another node"
        raise ValueError(f"input {extra[0]!r} is no input node of the graph ({known}; its input "
                         f"nodes: {', '.join(names)})")
    arrays = {}
    first: Optional[Tuple[str, Tuple[int, ...]]] = None
    for name in names:
        array = _as_array(name, inputs[name])
        expected = port_of(graph.nodes[name], "input_type")
        sample = tuple(array.shape[2:]) if array.ndim >= 2 else None
        if sample is None or (expected is not None and not agree(Port(sample, "full"), expected)):
            raise ValueError(f"input {name!r}: expected an array {_expected(expected)}, "
                             f"got shape {array.shape}")
        if first is not None and array.shape[:2] != first[1]:
            raise ValueError(f"input {name!r}: {array.shape[0]} steps of {array.shape[1]} samples,"
                             f" but input {first[0]!r} has {first[1][0]} of {first[1][1]}")
        first = first or (name, array.shape[:2])
        arrays[name] = array
    return arrays


def _as_array(name: str, value: Any) -> np.ndarray:
    """The caller's array as it is; each block of steps is made float64 when
    it is used, so that the run holds no float64 copy of the whole input."""
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise ValueError(f"input {name!r}: expected an array of numbers, got {error}") from None
    if array.dtype.kind not in "biuf":
        raise ValueError(f"input {name!r}: expected an array of numbers, got an array of "
                         f"{array.dtype}")
    return array


def _expected(port: Optional[Port]) -> str:
    if port is None:
        return "(T, B, *shape)"
    extents = ", ".join(str(extent) for extent in port.extents)
    return {"full": f"(T, B, {extents})", "leading": f"(T, B, {extents}, ...)",
            "trailing": f"(T, B, ..., {extents})"}[port.kind]


# ---------------------------------------------------------------------------- the run

class _Run:
    """The work in order: units of one node off every cycle, which take a
    whole block of steps at once, and units of the nodes of one cycle,
    which go step by step, each node after those placed before it; an edge
    that the order breaks carries its source's output of the step before."""

    def __init__(self, graph: Graph, rules: Mapping[str, Rule], arrays: Mapping[str, np.ndarray],
                 recorded: Mapping[str, Tuple[str, str]], steps: int, batch: int, dt: float,
                 method: str, quantize: bool) -> None:
        self.steps, self.batch = steps, batch
        adjacency = Adjacency(graph.nodes, graph.edges)
        self.names = adjacency.names
        self.preds = adjacency.preds
        order = adjacency.topological_order()
        self.position = [0] * len(order)
        for place, v in enumerate(order):
            self.position[v] = place
        self.arrays: List[Any] = [arrays.get(name) for name in self.names]
        self.concatenates = [concatenates(node) for node in adjacency.nodes]
        self.out_shapes: List[Tuple[int, ...]] = []
        self.rules = [rules[name] for name in self.names]
        self.ops: List[Callable[..., np.ndarray]] = []
        threads = kernel_threads()
        # Each node's arrays of a block, reused block after block.
        self.work = [Workspace() for _ in self.names]
        for name, node in zip(self.names, adjacency.nodes):
            shapes = [_port_extents(name, node, field) for field in ("input_type", "output_type")]
            self.out_shapes.append(shapes[1])
            setting = Setting(name, shapes[0], shapes[1], batch, steps, dt, method, quantize,
                              threads)
            self.ops.append(rules[name].make(node, setting))
        self.units = _units(adjacency, self.position)
        self.recorded = [(key, adjacency.index[node], state)
                         for key, (node, state) in recorded.items()]
        self.outputs = [adjacency.index[name] for name in graph.outputs()]
        self.states = [new_state(rule, batch, shape) if rule.steps else None
                       for rule, shape in zip(self.rules, self.out_shapes)]
        # The last output of each node that a broken edge reads, step by step.
        self.carried = {u: np.zeros((batch,) + self.out_shapes[u])
                        for v, preds in enumerate(self.preds) for u in preds
                        if self.position[u] >= self.position[v]}
        self.results = {self.names[v]: np.empty((steps, batch) + self.out_shapes[v])
                        for v in self.outputs}
        for key, v, _ in self.recorded:
            self.results[key] = np.empty((steps, batch) + self.out_shapes[v])

    def execute(self, progress: Optional[Callable[[int], None]]) -> None:
        steps, batch = self.steps, self.batch
        per_step = batch * 8 * sum(math.prod(shape) for shape in self.out_shapes)
        block = max(1, min(steps, BLOCK_BYTES // max(1, per_step)))
        for start in range(0, steps, block):
            stop = min(steps, start + block)
            self.block(start, stop)
            if progress is not None:
                progress(stop - start)

    def block(self, start: int, stop: int) -> None:
        values: List[Any] = [None] * len(self.names)  # each node's outputs over the block
        count = stop - start
        for unit in self.units:
            if len(unit) == 1 and unit[0] not in self.carried:
                v = unit[0]
                values[v] = self.node(v, self.input(v, values, start, stop, slice(None)), start)
                continue
            for v in unit:
                values[v] = np.empty((count, self.batch) + self.out_shapes[v])
            for k in range(count):
                for v in unit:
                    x = self.input(v, values, start, stop, slice(k, k + 1), step=k)
                    values[v][k:k + 1] = self.node(v, x, start + k)
            for u in unit:
                if u in self.carried:
                    self.carried[u] = values[u][count - 1]
        for v in self.outputs:
            self.results[self.names[v]][start:stop] = values[v]

    def input(self, v: int, values: Sequence[Any], start: int, stop: int,
              steps: slice, step: Optional[int] = None) -> np.ndarray:
        """The input of node v over ``steps`` of the block: the caller's array
        for an input node, else its predecessors' outputs summed (or, for a
        concatenating Skip, joined along the channels)."""
        if not self.preds[v]:
            given = self.arrays[v][start:stop][steps]
            x = self.work[v].array("input", given.shape)
            np.copyto(x, given)
            return x
        parts = []
        for u in self.preds[v]:
            if self.position[u] < self.position[v]:
                parts.append(values[u][steps])
            elif step:  # a broken edge inside the block: the step before
                parts.append(values[u][step - 1:step])
            else:
                parts.append(self.carried[u][None])
        if self.concatenates[v]:
            return np.concatenate(parts, axis=2)
        total = parts[0]
        for part in parts[1:]:
            total = total + part
        return total

    def node(self, v: int, x: np.ndarray, start: int) -> np.ndarray:
        """Node v over the steps of x (K, B, *shape), starting at step ``start``."""
        count, batch = x.shape[:2]
        op = self.ops[v]
        if self.states[v] is None:
            y = op(x.reshape((count * batch,) + x.shape[2:]))
            return y.reshape((count, batch) + self.out_shapes[v])
        y = self.work[v].array("output", (count, batch) + self.out_shapes[v])
        record = [(self.results[key], state) for key, u, state in self.recorded if u == v]
        for k in range(count):
            op(self.states[v], x[k], y[k])
            for target, state in record:
                target[start + k] = getattr(self.states[v], state)
        return y


def _port_extents(name: str, node: Any, field: str) -> Tuple[int, ...]:
    port = port_of(node, field)  # after inference, the full shape
    if port is None:
        raise ValueError(f"node {name!r}: its {field[:-5]} shape is not known after inference")
    return tuple(int(extent) for extent in port.extents)


def _units(adjacency: Adjacency, position: Sequence[int]) -> List[List[int]]:
    """The strongly connected components, each one unit with its nodes in
    topological order, and the units in an order that follows the edges
    between them (the earliest placed first where several are ready)."""
    component = _components(adjacency.succs)
    members: Dict[int, List[int]] = {}
    for v in sorted(range(len(position)), key=position.__getitem__):
        members.setdefault(component[v], []).append(v)
    waiting = {c: len({component[u] for v in vs for u in adjacency.preds[v]
                       if component[u] != c}) for c, vs in members.items()}
    feeds: Dict[int, Set[int]] = {c: set() for c in members}
    for c, vs in members.items():
        for v in vs:
            feeds[c].update(component[w] for w in adjacency.succs[v] if component[w] != c)
    ready = [(position[vs[0]], c) for c, vs in members.items() if waiting[c] == 0]
    heapq.heapify(ready)
    units = []
    while ready:
        _, c = heapq.heappop(ready)
        units.append(members[c])
        for d in feeds[c]:
            waiting[d] -= 1
            if waiting[d] == 0:
                heapq.heappush(ready, (position[members[d][0]], d))
    return units
