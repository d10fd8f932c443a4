"""Array kernels of the simulator's rules: convolution by im2col on BLAS,
window pooling, interpolation and the error function. Every function takes
a batch of samples as the leading axis and loops over no sample or neuron."""

from __future__ import annotations

import math
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

import numpy as np

from .utils import IntPair, _pair

#: Bytes of im2col columns made at once; larger batches are cut into pieces.
#: Columns that stay in the core's cache (about 1 MiB of its 2) while BLAS
#: reads them make the convolution memory-bound no longer.
COLUMN_BYTES = 1 << 20


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


def window_count(size: int, kernel: int, stride: int, padding: int, dilation: int,
                 ceil_mode: bool = False) -> int:
    """Output extent along one axis, as the node classes infer it."""
    steps = size + 2 * padding - dilation * (kernel - 1) - 1
    count = (-(-steps // stride) if ceil_mode else steps // stride) + 1
    if ceil_mode and (count - 1) * stride >= size + padding:
        count -= 1
    return count


def padded(x: np.ndarray, padding: Tuple[int, int], extra: Tuple[int, ...] = (0, 0),
           value: float = 0.0) -> np.ndarray:
    """``x`` (N, C, H, W) with ``padding`` on every side of H and W and
    ``extra`` more after the end (the overhang of a ceil-mode window)."""
    (ph, pw), (eh, ew) = padding, extra
    if not (ph or pw or eh or ew):
        return x
    return np.pad(x, ((0, 0), (0, 0), (ph, ph + eh), (pw, pw + ew)), constant_values=value)


def _taps(x: np.ndarray, kernel: Tuple[int, int], stride: Tuple[int, int],
          dilation: Tuple[int, int], out: Tuple[int, ...]) -> Iterator[Tuple[int, int, np.ndarray]]:
    """For each kernel position (i, j), the view of ``x`` (..., H, W),
    already padded, that lies under it at every output position."""
    for i in range(kernel[0]):
        for j in range(kernel[1]):
            top, left = i * dilation[0], j * dilation[1]
            yield i, j, x[..., top:top + stride[0] * (out[0] - 1) + 1:stride[0],
                          left:left + stride[1] * (out[1] - 1) + 1:stride[1]]


def conv2d(x: np.ndarray, weight: np.ndarray, bias: np.ndarray, stride: IntPair,
           padding: IntPair, dilation: IntPair, groups: int,
           work: Optional[Workspace] = None) -> np.ndarray:
    """Grouped 2D cross-correlation of x (N, C, H, W) with weight
    (O, C / groups, kH, kW), plus bias: per group and piece of the batch one
    matrix product (O, C kH kW) @ (C kH kW, positions) on BLAS, of im2col
    columns built channel first, one copy per kernel position (see
    _columns). The bias is added as each product is copied into the
    (N, O, Ho, Wo) result, in one pass. With ``work``, the result and the
    scratch arrays are that workspace's."""
    work = work or Workspace()
    stride, padding, dilation = _pair(stride), _pair(padding), _pair(dilation)
    n, channels, height, width = x.shape
    o, per_group, kh, kw = weight.shape
    out_hw = (window_count(height, kh, stride[0], padding[0], dilation[0]),
              window_count(width, kw, stride[1], padding[1], dilation[1]))
    (ph, pw) = padding
    padded_hw = (height + 2 * ph, width + 2 * pw)
    # Past the last plane, room for the stride-1 columns of its last positions.
    overrun = (kh - 1) * dilation[0] * padded_hw[1] + (kw - 1) * dilation[1]
    result = work.array("result", (n, o) + out_hw)
    bias = bias.reshape(1, -1, 1, 1)
    out_per_group = o // groups
    piece = max(1, COLUMN_BYTES // max(1, 8 * per_group * kh * kw * math.prod(padded_hw)))
    for start in range(0, n, piece):
        part = x[start:start + piece]
        planes = part.shape[0] * math.prod(padded_hw)
        flat = work.array("planes", (channels, planes + overrun))
        flat.fill(0.0)
        source = flat[:, :planes].reshape(channels, part.shape[0], *padded_hw)  # a view
        source[:, :, ph:ph + height, pw:pw + width] = part.transpose(1, 0, 2, 3)
        for g in range(groups):
            taps = weight[g * out_per_group:(g + 1) * out_per_group].reshape(out_per_group, -1)
            channels_of_group = slice(g * per_group, (g + 1) * per_group)
            columns, outputs = _columns(flat[channels_of_group], source[channels_of_group],
                                        (kh, kw), stride, dilation, out_hw, work)
            product = np.matmul(taps, columns,
                                out=work.array("product", (out_per_group, columns.shape[1])))
            group = slice(g * out_per_group, (g + 1) * out_per_group)
            np.add(outputs(product).transpose(1, 0, 2, 3), bias[:, group],
                   out=result[start:start + piece, group])
    return result


def _columns(flat: np.ndarray, source: np.ndarray, kernel: Tuple[int, int],
             stride: Tuple[int, int], dilation: Tuple[int, int], out_hw: Tuple[int, int],
             work: Workspace) -> Tuple[np.ndarray, Callable[[np.ndarray], np.ndarray]]:
    """The im2col columns (C kH kW, positions) of ``source`` (C, n, Hp, Wp),
    padded, whose planes lie one after the other in ``flat``, and the
    function that takes the product (O, positions) to (O, n, Ho, Wo). At
    stride 1 the positions are those of the whole padded planes: a kernel
    position's column is then ``flat`` shifted by its offset, one contiguous
    copy, and the positions outside (Ho, Wo) are dropped afterwards.
    Otherwise each column is the strided view under the kernel position at
    every output position."""
    channels, n, rows, width = source.shape
    if stride == (1, 1):
        length = n * rows * width
        columns = work.array("columns", (channels, kernel[0], kernel[1], length))
        for i in range(kernel[0]):
            for j in range(kernel[1]):
                offset = i * dilation[0] * width + j * dilation[1]
                columns[:, i, j] = flat[:, offset:offset + length]
        return columns.reshape(-1, length), \
            lambda product: product.reshape(-1, n, rows, width)[:, :, :out_hw[0], :out_hw[1]]
    columns = work.array("columns", (channels,) + kernel + (n,) + out_hw)
    for i, j, view in _taps(source, kernel, stride, dilation, out_hw):
        columns[:, i, j] = view
    return columns.reshape(-1, n * out_hw[0] * out_hw[1]), \
        lambda product: product.reshape(-1, n, *out_hw)


def pool2d(x: np.ndarray, kernel: IntPair, stride: IntPair, padding: IntPair,
           dilation: IntPair, ceil_mode: bool, reduce: str, pad_value: float,
           work: Optional[Workspace] = None) -> np.ndarray:
    """Window reduction ("max" or "sum") of x (N, C, H, W), one pass per
    kernel position; padding and a ceil-mode overhang hold ``pad_value``.
    With ``work``, the result is that workspace's."""
    kernel, stride, padding, dilation = (_pair(v) for v in (kernel, stride, padding, dilation))
    height, width = x.shape[2:]
    out_hw = tuple(window_count(size, kernel[a], stride[a], padding[a], dilation[a], ceil_mode)
                   for a, size in enumerate((height, width)))
    extra = tuple(max(0, (out_hw[a] - 1) * stride[a] + dilation[a] * (kernel[a] - 1) + 1
                      - size - 2 * padding[a]) for a, size in enumerate((height, width)))
    combine = np.maximum if reduce == "max" else np.add
    views = _taps(padded(x, padding, extra, pad_value), kernel, stride, dilation, out_hw)
    first = next(views)[2]
    result = (work or Workspace()).array("result", first.shape)
    np.copyto(result, first)
    for _, _, view in views:
        combine(result, view, out=result)
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
