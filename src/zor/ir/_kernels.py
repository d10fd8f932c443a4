"""Array kernels of the simulator's rules: convolution, the dense layer and
window pooling in C++ (zor.ir._execution), interpolation and the error
function in NumPy.
Every function takes a batch of samples as the leading axis and loops over
no sample or neuron in Python."""

from __future__ import annotations

import math
import os
from typing import Any, Dict, Optional, Tuple

import numpy as np

from . import _execution
from .utils import IntPair, _pair


class Workspace:
    """Arrays that one caller keeps from one call to the next: a fresh array
    of megabytes per block of steps costs more in the kernel's page faults
    than the arithmetic in it. An array of a workspace holds until the
    next call that asks for the same name."""

    def __init__(self) -> None:
        self._buffers: Dict[str, np.ndarray] = {}

    def array(self, name: str, shape: Tuple[int, ...], dtype: Any = np.float64) -> np.ndarray:
        """A C-contiguous array of ``shape``, its contents undefined."""
        size = math.prod(shape)
        buffer = self._buffers.get(name)
        if buffer is None or buffer.size < size or buffer.dtype != dtype:
            buffer = self._buffers[name] = np.empty(size, dtype)
        return buffer[:size].reshape(shape)


def thread_count() -> int:
    """The threads a kernel may split its samples among: OMP_NUM_THREADS
    when set, as BLAS reads it, else the CPUs this process may run on.
    Each sample is computed the same way on any thread: the count changes
    no bit of a result."""
    try:
        threads = int(os.environ.get("OMP_NUM_THREADS", "").split(",")[0])
    except ValueError:
        threads = 0
    return threads if threads >= 1 else (os.process_cpu_count() or 1)


def window_count(size: int, kernel: int, stride: int, padding: int, dilation: int,
                 ceil_mode: bool = False) -> int:
    """Output extent along one axis, as the node classes infer it."""
    steps = size + 2 * padding - dilation * (kernel - 1) - 1
    count = (-(-steps // stride) if ceil_mode else steps // stride) + 1
    if ceil_mode and (count - 1) * stride >= size + padding:
        count -= 1
    return count


def conv2d(x: np.ndarray, weight: np.ndarray, bias: np.ndarray, stride: IntPair,
           padding: IntPair, dilation: IntPair, groups: int, finite: bool, threads: int,
           work: Optional[Workspace] = None) -> np.ndarray:
    """Grouped 2D cross-correlation of x (N, C, H, W) with weight
    (O, C / groups, kH, kW), plus bias: each output's sum from +0 in the
    order of (c, i, j), then the bias. Zero cells and the padding, which
    add nothing to a sum of finite products, are passed over when the
    weights are all ``finite``; otherwise every cell is taken and the padding
    made explicit, so that 0 * inf gives NaN as it should. With ``work``,
    the result is that workspace's."""
    stride, padding, dilation = _pair(stride), _pair(padding), _pair(dilation)
    x = np.ascontiguousarray(x, dtype=np.float64)
    if not finite and padding != (0, 0):
        x = np.pad(x, ((0, 0), (0, 0), (padding[0],) * 2, (padding[1],) * 2))
        padding = (0, 0)
    height, width = x.shape[2:]
    kh, kw = weight.shape[2:]
    out_hw = (window_count(height, kh, stride[0], padding[0], dilation[0]),
              window_count(width, kw, stride[1], padding[1], dilation[1]))
    result = (work or Workspace()).array("result", (x.shape[0], weight.shape[0]) + out_hw)
    _execution.convolve(x, weight, bias, result, stride, padding, dilation, groups, finite,
                        threads)
    return result


def dense(x: np.ndarray, weight_t: np.ndarray, bias: np.ndarray, finite: bool, threads: int,
          work: Optional[Workspace] = None) -> np.ndarray:
    """x (N, ..., C) times the weight, given transposed (C, O), plus bias:
    each output's sum from +0 in the order of c, then the bias; zero inputs
    passed over when the weights are all ``finite``. With ``work``, the
    result is that workspace's."""
    rows = np.ascontiguousarray(x, dtype=np.float64).reshape(-1, x.shape[-1])
    result = (work or Workspace()).array("result", (rows.shape[0], weight_t.shape[1]))
    _execution.dense(rows, weight_t, bias, result, finite, threads)
    return result.reshape(x.shape[:-1] + (weight_t.shape[1],))


def pool2d(x: np.ndarray, kernel: IntPair, stride: IntPair, padding: IntPair,
           dilation: IntPair, ceil_mode: bool, reduce: str, threads: int,
           work: Optional[Workspace] = None) -> np.ndarray:
    """Window reduction ("max" or "sum") of x (N, C, H, W), each window's
    cells in the order of (i, j); padding and a ceil-mode overhang count as
    -inf for the maximum and 0 for the sum. With ``work``, the result is
    that workspace's."""
    kernel, stride, padding, dilation = (_pair(v) for v in (kernel, stride, padding, dilation))
    height, width = x.shape[2:]
    out_hw = tuple(window_count(size, kernel[a], stride[a], padding[a], dilation[a], ceil_mode)
                   for a, size in enumerate((height, width)))
    result = (work or Workspace()).array("result", x.shape[:2] + out_hw)
    _execution.pool(np.ascontiguousarray(x, dtype=np.float64), result, kernel, stride, padding,
                    dilation, reduce == "max", threads)
    return result


def interpolate(x: np.ndarray, size: Tuple[int, ...], bilinear: bool,
                align_corners: bool) -> np.ndarray:
    """x (N, C, H, W) resized to ``size``: nearest neighbour (source index
    floor(o * H / Ho)) or bilinear, separably along H and W."""
    for axis, target in ((2, size[0]), (3, size[1])):
        source = x.shape[axis]
        if not bilinear:
            index = np.minimum((np.arange(target) * source) // target, source - 1)
            x = np.take(x, index, axis=axis)
            continue
        if align_corners:
            position = np.arange(target) * ((source - 1) / (target - 1) if target > 1 else 0.0)
        else:
            position = np.maximum((np.arange(target) + 0.5) * (source / target) - 0.5, 0.0)
        low = np.minimum(np.floor(position).astype(np.intp), source - 1)
        high = np.minimum(low + 1, source - 1)
        shape = [1] * x.ndim
        shape[axis] = target
        weight = (position - low).reshape(shape)
        x = np.take(x, low, axis=axis) * (1 - weight) + np.take(x, high, axis=axis) * weight
    return x


def erf(x: np.ndarray) -> np.ndarray:
    """The error function to double precision: erf(x) = 2/sqrt(pi) exp(-x^2)
    sum_n 2^n x^(2n+1) / (1 * 3 * ... * (2n+1)), a series of positive terms;
    beyond |x| = 6 erf is +-1 in double precision."""
    z = np.clip(x, -6.0, 6.0)
    term = z.copy()
    total = z.copy()
    square = z * z
    for n in range(1, 160):
        term *= 2.0 * square / (2 * n + 1)
        total += term
    return 2.0 / math.sqrt(math.pi) * np.exp(-square) * total
