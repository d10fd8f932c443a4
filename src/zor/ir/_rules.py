"""What each node class computes: one rule per class, registered in RULES.

A rule takes the node and its Setting and returns what the simulator calls:
a stateless rule a function of one time step's input for many samples at
once, (N, *shape) -> (N, *output), whose result may be its own array,
overwritten by its next call (the simulator uses it before then); a rule
with states a function step(state, x, out) of one time step, x (B, *shape),
that updates the arrays of ``state`` in place and writes its output into
out (B, *output).
docs/semantics.md is this table in words."""

from __future__ import annotations

import math
from types import SimpleNamespace
from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple

import numpy as np

from . import _execution
from . import _kernels as kernels
from .conv import Conv1d, Conv2d, SepConv2d
from .flatten import Flatten
from .linear import Affine, SpikingAffine
from .neurons import (ELU, GELU, IF, LI, LIF, BatchNorm1d, BatchNorm2d, CubaLI, CubaLIF, Delay,
                      Dropout, HybridRegion, Integrator, LayerNorm, PReLU, ReLU, Scale, Sigmoid,
                      Softmax, Tanh, Threshold)
from .pooling import AvgPool2d, MaxPool2d, SumPool2d
from .skip import Skip
from .upsample import Upsample
from .utils import _pair

Shape = Tuple[int, ...]


class Setting(NamedTuple):
    """What a rule may know beyond its node: the node's name (for errors),
    its inferred input and output shapes per sample, and the run's extent
    and options."""

    name: str
    shape: Shape
    output: Shape
    batch: int
    steps: int  # of the run
    dt: float
    method: str
    quantize: bool
    threads: int  # that a kernel may split the samples among

    def fail(self, message: str) -> ValueError:
        return ValueError(f"node {self.name!r}: {message}")

    def param(self, node: Any, field: str) -> np.ndarray:
        """A parameter array as float64, a scalar or of the whole shape, to
        broadcast over (B, *shape); given for the whole shape, as a scalar,
        or one value per leading extent (per channel of a (C, H, W) input).
        NumPy's loops run several times faster over contiguous operands
        than over a broadcast axis of one, and faster still with a scalar:
        so one value for all (the same bits: 0.0 is not -0.0) is a scalar,
        and others are spread over the whole shape."""
        value = np.asarray(getattr(node, field), dtype=np.float64)
        if value.ndim == 0:
            return value
        bits = np.ascontiguousarray(value).view(np.uint64)
        if bits.size and np.all(bits == bits.flat[0]) and \
                (value.shape == self.shape or value.shape == self.shape[:value.ndim]
                 or value.shape == (1,)):
            return np.asarray(value.flat[0])
        if value.shape == self.shape:
            return value
        if value.shape == self.shape[:value.ndim] or value.shape == (1,):
            value = value.reshape(value.shape + (1,) * (len(self.shape) - value.ndim))
            return np.ascontiguousarray(np.broadcast_to(value, self.shape))
        raise self.fail(f"{field} of shape {value.shape} does not fit the input shape "
                        f"{self.shape}")

    def positive(self, node: Any, field: str) -> np.ndarray:
        value = self.param(node, field)
        if not np.all(value > 0):
            raise self.fail(f"{field} must be positive, got {getattr(node, field)}")
        return value

    def decay(self, node: Any, field: str) -> np.ndarray:
        """exp(-dt / tau) of a time constant: what is left of a state after
        one step without input."""
        return np.exp(-self.dt / self.positive(node, field))

    def leak(self, node: Any, field: str) -> np.ndarray:
        """The fraction of the way to its target that a leaky state goes in
        one step: dt / tau by Euler, 1 - exp(-dt / tau) exactly."""
        if self.method == "euler":
            return self.dt / self.positive(node, field)
        return -np.expm1(-self.dt / self.positive(node, field))

    def window(self, node: Any) -> Tuple[Tuple[int, int], ...]:
        """A window's kernel_size (a convolution's comes from its weight),
        stride, padding and dilation as pairs, each below 2**31, past which
        the kernels' index arithmetic would overflow."""
        kernel = getattr(node, "kernel_size", 1)
        stride = kernel if getattr(node, "stride", None) is None else node.stride
        pairs = tuple(_pair(v) for v in (kernel, stride, node.padding,
                                         getattr(node, "dilation", 1)))
        if max(max(pair) for pair in pairs) >= 2 ** 31:
            raise self.fail("a kernel_size, stride, padding or dilation of 2**31 or more")
        return pairs

    def channel(self, value: Any) -> np.ndarray:
        """A per-channel (or shared) array shaped for (N, C, ...)."""
        value = np.asarray(value, dtype=np.float64).reshape(-1)
        return value.reshape((1, -1) + (1,) * (len(self.shape) - 1))


class Rule(NamedTuple):
    make: Callable[[Any, Setting], Callable[..., np.ndarray]]
    states: Tuple[str, ...]  # the states that can be recorded
    steps: bool  # step(state, x), one time step at a time


RULES: Dict[type, Rule] = {}


def rule(*classes: type, states: Tuple[str, ...] = (), steps: bool = False) -> Callable:
    def register(make: Callable) -> Callable:
        for cls in classes:
            RULES[cls] = Rule(make, states, steps or bool(states))
        return make
    return register


def rule_for(cls: type) -> Optional[Rule]:
    return next((RULES[base] for base in cls.__mro__ if base in RULES), None)


def new_state(rule: Rule, batch: int, shape: Shape) -> SimpleNamespace:
    """Every state of a node at step 0: zeros."""
    return SimpleNamespace(**{name: np.zeros((batch,) + shape) for name in rule.states})


# ------------------------------------------------------------- stateless rules

@rule(Dropout, HybridRegion, Skip)
def _identity(node: Any, s: Setting) -> Callable:
    return lambda x: x


@rule(ReLU)
def _relu(node: Any, s: Setting) -> Callable:
    slope = float(node.negative_slope)
    return lambda x: np.where(x > 0, x, slope * x)


@rule(Sigmoid)
def _sigmoid(node: Any, s: Setting) -> Callable:
    return lambda x: 0.5 * (1.0 + np.tanh(0.5 * x))  # = 1 / (1 + exp(-x)), without overflow


@rule(Tanh)
def _tanh(node: Any, s: Setting) -> Callable:
    return np.tanh


@rule(Softmax)
def _softmax(node: Any, s: Setting) -> Callable:
    dim = int(node.dim)  # counted in (B, *shape)
    if not -(len(s.shape) + 1) <= dim <= len(s.shape):
        raise s.fail(f"Softmax dim {dim} is out of range for samples of shape {s.shape} "
                     f"(dims count in (B, *shape))")
    if dim in (0, -(len(s.shape) + 1)):
        raise s.fail("Softmax over dim 0, the batch, would mix samples (dims count in "
                     "(B, *shape))")

    def softmax(x: np.ndarray) -> np.ndarray:
        e = np.exp(x - x.max(axis=dim, keepdims=True))
        return e / e.sum(axis=dim, keepdims=True)
    return softmax


@rule(GELU)
def _gelu(node: Any, s: Setting) -> Callable:
    if node.approximate:
        c = math.sqrt(2.0 / math.pi)
        return lambda x: 0.5 * x * (1.0 + np.tanh(c * (x + 0.044715 * x ** 3)))
    return lambda x: 0.5 * x * (1.0 + kernels.erf(x / math.sqrt(2.0)))


@rule(ELU)
def _elu(node: Any, s: Setting) -> Callable:
    alpha = float(node.alpha)
    return lambda x: np.where(x > 0, x, alpha * np.expm1(np.minimum(x, 0.0)))


@rule(PReLU)
def _prelu(node: Any, s: Setting) -> Callable:
    weight = s.channel(node.weight)
    return lambda x: np.where(x >= 0, x, weight * x)


@rule(BatchNorm1d, BatchNorm2d)
def _batch_norm(node: Any, s: Setting) -> Callable:
    # Inference mode: the running statistics, never the batch's own.
    scale = s.channel(node.weight) / np.sqrt(s.channel(node.running_var) + node.eps)
    shift = s.channel(node.bias) - s.channel(node.running_mean) * scale
    return lambda x: x * scale + shift


@rule(LayerNorm)
def _layer_norm(node: Any, s: Setting) -> Callable:
    axes = tuple(range(-len(tuple(node.normalized_shape)), 0))
    weight, bias = (np.asarray(a, dtype=np.float64) for a in (node.weight, node.bias))

    def layer_norm(x: np.ndarray) -> np.ndarray:
        mean = x.mean(axis=axes, keepdims=True)
        var = ((x - mean) ** 2).mean(axis=axes, keepdims=True)
        return (x - mean) / np.sqrt(var + node.eps) * weight + bias
    return layer_norm


def _finite(weight: np.ndarray) -> bool:
    return bool(np.all(np.isfinite(weight)))


@rule(Affine)
def _affine(node: Any, s: Setting) -> Callable:
    weight_t = np.asarray(node.weight, dtype=np.float64).T.copy()
    bias = np.asarray(node.bias, dtype=np.float64)
    finite, work = _finite(weight_t), kernels.Workspace()
    return lambda x: kernels.dense(x, weight_t, bias, finite, s.threads, work)


@rule(SpikingAffine)
def _spiking_affine(node: Any, s: Setting) -> Callable:
    if not s.quantize:
        return _affine(node, s)
    bits, acc_bits = int(node.weight_bits), int(node.accumulator_bits)
    if bits < 2:
        raise s.fail(f"quantize=True needs weight_bits >= 2: a symmetric {bits}-bit signed "
                     "weight has no level but 0")
    weight = np.asarray(node.weight, dtype=np.float64)
    largest = float(np.abs(weight).max(initial=0.0))
    scale = largest / (2 ** (bits - 1) - 1) if largest > 0 else 1.0
    q_t = np.rint(weight / scale).astype(np.int64).T.copy()
    low, high = -(2 ** (acc_bits - 1)), 2 ** (acc_bits - 1) - 1
    bias = np.asarray(node.bias, dtype=np.float64)
    mode = node.spike_mode

    def quantized(x: np.ndarray) -> np.ndarray:
        if mode == "binary":
            if not np.all((x == 0) | (x == 1)):
                raise s.fail("spike_mode 'binary' takes inputs 0 or 1, got "
                             f"{x[(x != 0) & (x != 1)].flat[0]}")
        elif not np.all((np.rint(x) == x) & (np.abs(x) < 2.0 ** 53)):
            bad = x[(np.rint(x) != x) | ~(np.abs(x) < 2.0 ** 53)].flat[0]
            raise s.fail(f"quantize=True sums in integers: spike_mode {mode!r} takes integer "
                         f"inputs (below 2**53), got {bad}")
        counts = x.astype(np.int64)
        # int64 holds every sum unless |q| * sum|x| can reach 2**63; then
        # Python's integers do.
        bound = int(np.abs(q_t).max(initial=0)) * int(np.abs(counts).sum(axis=-1).max(initial=0))
        if bound < 2 ** 63:
            total = counts @ q_t
        else:
            total = counts.astype(object) @ q_t.astype(object)
        return np.clip(total, low, high).astype(np.float64) * scale + bias
    return quantized


@rule(Threshold)
def _threshold(node: Any, s: Setting) -> Callable:
    threshold = s.param(node, "threshold")
    return lambda x: (x > threshold).astype(np.float64)


@rule(Scale)
def _scale(node: Any, s: Setting) -> Callable:
    scale = s.param(node, "scale")
    return lambda x: x * scale


@rule(Conv1d)
def _conv1d(node: Any, s: Setting) -> Callable:
    # Conv2d over a height of 1.
    s.window(node)
    weight = np.ascontiguousarray(np.asarray(node.weight, dtype=np.float64)[:, :, None, :])
    bias = np.asarray(node.bias, dtype=np.float64)
    finite, work = _finite(weight), kernels.Workspace()

    def conv1d(x: np.ndarray) -> np.ndarray:
        y = kernels.conv2d(x[:, :, None, :], weight, bias, (1, node.stride), (0, node.padding),
                           (1, node.dilation), int(node.groups), finite, s.threads, work)
        return y[:, :, 0, :]
    return conv1d


@rule(Conv2d)
def _conv2d(node: Any, s: Setting) -> Callable:
    s.window(node)
    weight, bias = (np.asarray(a, dtype=np.float64) for a in (node.weight, node.bias))
    finite, work = _finite(weight), kernels.Workspace()
    return lambda x: kernels.conv2d(x, weight, bias, node.stride, node.padding, node.dilation,
                                    int(node.groups), finite, s.threads, work)


@rule(SepConv2d)
def _sep_conv2d(node: Any, s: Setting) -> Callable:
    s.window(node)
    depthwise, pointwise, depth_bias, point_bias = (
        np.asarray(a, dtype=np.float64) for a in (node.depthwise_weight, node.pointwise_weight,
                                                   node.depthwise_bias, node.pointwise_bias))
    finite = _finite(depthwise), _finite(pointwise)
    depth_work, point_work = kernels.Workspace(), kernels.Workspace()

    def separable(x: np.ndarray) -> np.ndarray:
        depth = kernels.conv2d(x, depthwise, depth_bias, node.stride, node.padding,
                               node.dilation, depthwise.shape[0], finite[0], s.threads,
                               depth_work)
        return kernels.conv2d(depth, pointwise, point_bias, 1, 0, 1, 1, finite[1], s.threads,
                              point_work)
    return separable


@rule(MaxPool2d)
def _max_pool(node: Any, s: Setting) -> Callable:
    kernel, stride, padding, dilation = s.window(node)
    work = kernels.Workspace()
    return lambda x: kernels.pool2d(x, kernel, stride, padding, dilation, bool(node.ceil_mode),
                                    "max", s.threads, work)


@rule(AvgPool2d)
def _avg_pool(node: Any, s: Setting) -> Callable:
    # The divisor of each window: its cells in the input, and in the
    # padding when count_include_pad (never the overhang of ceil_mode), the
    # product of the counts along either axis.
    kernel, stride, padding, _ = s.window(node)
    counts = []
    for axis in (0, 1):
        size, k, p = s.shape[1 + axis], kernel[axis], padding[axis]
        low, high = (-p, size + p) if node.count_include_pad else (0, size)
        first = np.arange(s.output[1 + axis]) * stride[axis] - p  # each window's first cell
        counts.append(np.clip(np.minimum(first + k, high) - np.maximum(first, low), 0, None))
    divisor = np.outer(counts[0], counts[1]).astype(np.float64)
    work = kernels.Workspace()

    def pool(x: np.ndarray) -> np.ndarray:
        total = kernels.pool2d(x, kernel, stride, padding, 1, bool(node.ceil_mode), "sum",
                               s.threads, work)
        return np.divide(total, divisor, out=total)
    return pool


@rule(SumPool2d)
def _sum_pool(node: Any, s: Setting) -> Callable:
    kernel, stride, padding, _ = s.window(node)
    work = kernels.Workspace()
    return lambda x: kernels.pool2d(x, kernel, stride, padding, 1, False, "sum", s.threads,
                                    work)


@rule(Flatten)
def _flatten(node: Any, s: Setting) -> Callable:
    return lambda x: x.reshape((x.shape[0],) + s.output)


@rule(Upsample)
def _upsample(node: Any, s: Setting) -> Callable:
    size = s.output[1:3]
    return lambda x: kernels.interpolate(x, size, node.mode == "bilinear",
                                         bool(node.align_corners))


# --------------------------------------------------------------- rules with states
#
# Each state moves as state' = keep * state + sum(coefficient * array) + rest,
# the equations' step with its coefficients worked out once; _Move does it in
# place, in one pass of zor.ir._execution.advance, which also fires.

class _Linear(NamedTuple):
    keep: Any
    terms: Tuple[Tuple[Any, str], ...]  # (coefficient, "x" or the name of a state)
    rest: Any


class _Move:
    """A _Linear step of one state, its coefficients one value per neuron."""

    def __init__(self, name: str, step: _Linear, s: Setting) -> None:
        self.name, self.threads = name, s.threads
        self.keep = _per_neuron(step.keep, s)
        self.terms = [(_per_neuron(c, s), source) for c, source in step.terms]
        # Adding zeros would still turn a -0.0 into 0.0: no rest is added.
        self.rest = _per_neuron(step.rest, s) if np.any(step.rest) else None

    def __call__(self, state: SimpleNamespace, x: np.ndarray,
                 firing: Optional[Tuple[np.ndarray, np.ndarray, bool, np.ndarray]] = None) -> None:
        terms = [(c, x if source == "x" else getattr(state, source)) for c, source in self.terms]
        _execution.advance(getattr(state, self.name), self.keep, terms, self.rest, firing,
                           self.threads)


def _per_neuron(value: Any, s: Setting) -> np.ndarray:
    return np.ascontiguousarray(np.broadcast_to(np.asarray(value, dtype=np.float64), s.shape))


def _leaky(node: Any, s: Setting, tau: str = "tau") -> _Linear:
    """v' = v + a (v_leak - v + r x) = (1 - a) v + a r x + a v_leak."""
    a = s.leak(node, tau)
    return _Linear(1 - a, ((a * s.param(node, "r"), "x"),), a * s.param(node, "v_leak"))


def _integrating(node: Any, s: Setting) -> _Linear:
    """v' = v + dt r x; there is no leak, so Euler's step is the exact one."""
    return _Linear(1.0, ((s.dt * s.param(node, "r"), "x"),), 0.0)


def _spiking(node: Any, s: Setting, move: _Move, reset: Any, strict: bool) -> Callable:
    """The step of a neuron whose v fires: spikes (1.0) where v > v_threshold
    (``strict``) or v >= v_threshold, and v = ``reset`` there."""
    threshold, reset = _per_neuron(s.param(node, "v_threshold"), s), _per_neuron(reset, s)

    def step(state: SimpleNamespace, x: np.ndarray, out: np.ndarray) -> None:
        move(state, x, (threshold, reset, strict, out))
    return step


@rule(LIF, states=("v",))
def _lif(node: Any, s: Setting) -> Callable:
    # v >= v_threshold, then 0
    return _spiking(node, s, _Move("v", _leaky(node, s), s), 0.0, strict=False)


@rule(IF, states=("v",))
def _if(node: Any, s: Setting) -> Callable:
    return _spiking(node, s, _Move("v", _integrating(node, s), s), s.param(node, "v_reset"),
                    strict=True)


@rule(LI, states=("v",))
@rule(Integrator, states=("v",))
def _potential(node: Any, s: Setting) -> Callable:
    move = _Move("v", _leaky(node, s) if isinstance(node, LI) else _integrating(node, s), s)

    def step(state: SimpleNamespace, x: np.ndarray, out: np.ndarray) -> None:
        move(state, x)
        np.copyto(out, state.v)
    return step


def _current_based(node: Any, s: Setting) -> Tuple[_Linear, _Linear]:
    """The steps of v and of i for tau_syn di/dt = -i + w_in x, tau_mem dv/dt
    = v_leak - v + r i; v is moved first, from the i of the step before.
    Euler: i' = i + dt/tau_syn (-i + w_in x), v' = v + dt/tau_mem (v_leak - v
    + r i). Exactly, with x held: i' = w x + (i - w x) e_s, v' = v_leak +
    (v - v_leak) e_m + r w x (1 - e_m) + r (i - w x) c, where c = tau_syn /
    (tau_syn - tau_mem) (e_s - e_m), or dt / tau_mem e_m where the two time
    constants are equal."""
    v_leak, r, w_in = (s.param(node, f) for f in ("v_leak", "r", "w_in"))
    if s.method == "euler":
        a_syn, a_mem = s.leak(node, "tau_syn"), s.leak(node, "tau_mem")
        return (_Linear(1 - a_mem, ((a_mem * r, "i"),), a_mem * v_leak),
                _Linear(1 - a_syn, ((a_syn * w_in, "x"),), 0.0))
    tau_syn, tau_mem = s.positive(node, "tau_syn"), s.positive(node, "tau_mem")
    e_syn, e_mem = s.decay(node, "tau_syn"), s.decay(node, "tau_mem")
    equal = np.isclose(tau_syn, tau_mem, rtol=1e-12, atol=0.0)
    c = np.where(equal, s.dt / tau_mem * e_mem,
                 tau_syn / np.where(equal, 1.0, tau_syn - tau_mem) * (e_syn - e_mem))
    return (_Linear(e_mem, ((r * c, "i"), (r * w_in * (1 - e_mem - c), "x")),
                    v_leak * (1 - e_mem)),
            _Linear(e_syn, ((w_in * (1 - e_syn), "x"),), 0.0))


@rule(CubaLIF, states=("v", "i"))
@rule(CubaLI, states=("v", "i"))
def _cuba(node: Any, s: Setting) -> Callable:
    steps = _current_based(node, s)
    move_v, move_i = _Move("v", steps[0], s), _Move("i", steps[1], s)
    if isinstance(node, CubaLIF):
        fire = _spiking(node, s, move_v, s.param(node, "v_reset"), strict=True)  # v > v_threshold

        def spiking(state: SimpleNamespace, x: np.ndarray, out: np.ndarray) -> None:
            fire(state, x, out)  # v first, from the i of the step before
            move_i(state, x)
        return spiking

    def potential(state: SimpleNamespace, x: np.ndarray, out: np.ndarray) -> None:
        move_v(state, x)
        move_i(state, x)
        np.copyto(out, state.v)
    return potential


@rule(Delay, steps=True)
def _delay(node: Any, s: Setting) -> Callable:
    """y[t] = x[t - d], d = round(delay / dt) steps per element (half to
    even), zeros before; a ring of the last max(d) + 1 inputs. A delay of
    the run's steps or more gives zeros throughout, so d is held to that:
    the ring is never longer than the run, and no d overflows."""
    delay = np.broadcast_to(s.param(node, "delay"), s.shape)
    if np.any(delay < 0) or not np.all(np.isfinite(delay)):
        raise s.fail(f"delay must be finite and not negative, got {node.delay}")
    steps = np.minimum(np.rint(delay / s.dt), s.steps).astype(np.intp).ravel()
    size = int(steps.max(initial=0)) + 1
    ring = np.zeros((size, s.batch, steps.size))
    cells = np.arange(steps.size)
    clock = [0]

    def step(state: SimpleNamespace, x: np.ndarray, out: np.ndarray) -> None:
        t = clock[0]
        clock[0] += 1
        ring[t % size] = x.reshape(x.shape[0], -1)
        # ring[slot of cell m, :, m] for every cell m: (cells, B)
        out[...] = ring[(t - steps) % size, :, cells].T.reshape(x.shape)
    return step
