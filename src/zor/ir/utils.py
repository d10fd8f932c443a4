"""Output-shape arithmetic of convolution, pooling and flatten layers."""

from __future__ import annotations

import math
from typing import Sequence, Tuple, Union

import numpy as np

IntPair = Union[int, Sequence[int]]
IntSingle = Union[int, Sequence[int]]  # an int or a one-element sequence


def _pair(value: IntPair) -> Tuple[int, int]:
    if isinstance(value, (int, np.integer)):
        return int(value), int(value)
    first, second = value
    return int(first), int(second)


# The spatial axes after the channel extent, and how an input of them is written.
_AXES = {1: (("length",), "(C, L)"), 2: (("height", "width"), "(C, H, W)")}


def _single(value: IntSingle) -> Tuple[int]:
    if isinstance(value, (int, np.integer)):
        return (int(value),)
    (only,) = value
    return (int(only),)


def _spatial_input(input_shape: Sequence[int], function: str, spatial: int = 2) -> Tuple[int, ...]:
    shape = tuple(int(x) for x in input_shape)
    if len(shape) < spatial + 1:
        raise ValueError(f"{function} needs an input shape {_AXES[spatial][1]}, got {shape}")
    if any(x <= 0 for x in shape):
        raise ValueError(f"{function} needs positive input sizes, got {shape}")
    return shape


def _window_output(size: int, kernel: int, stride: int, padding: int, dilation: int,
                   ceil_mode: bool, function: str, axis: str) -> int:
    if kernel <= 0 or stride <= 0 or dilation <= 0 or padding < 0:
        raise ValueError(
            f"{function}: kernel, stride and dilation must be positive and padding "
            f"non-negative, got kernel={kernel}, stride={stride}, dilation={dilation}, "
            f"padding={padding} along {axis}"
        )
    span = dilation * (kernel - 1) + 1
    padded = size + 2 * padding
    if span > padded:
        raise ValueError(
            f"{function}: window of {span} along {axis} is larger than the padded input "
            f"of {padded}"
        )
    steps = padded - span
    out = (-(-steps // stride) if ceil_mode else steps // stride) + 1
    # In ceil mode the last window must start inside the input or its left
    # padding, never in the right padding alone.
    if ceil_mode and (out - 1) * stride >= size + padding:
        out -= 1
    return out


def _spatial_output(input_shape, channels, kernel_size, stride, padding, dilation, ceil_mode,
                    function, spatial=2) -> Tuple[int, ...]:
    shape = _spatial_input(input_shape, function, spatial)
    axes = _AXES[spatial][0]
    per_axis = _pair if spatial == 2 else _single
    kernel, steps, pads, dilations = (per_axis(v) for v in (kernel_size, stride, padding, dilation))
    sizes = tuple(
        _window_output(shape[i - spatial], kernel[i], steps[i], pads[i], dilations[i], ceil_mode,
                       function, axis)
        for i, axis in enumerate(axes)
    )
    return shape[:-spatial - 1] + (channels,) + sizes


def conv1d_output_shape(input_shape: Sequence[int], out_channels: int, kernel_size: IntSingle,
                        stride: IntSingle = 1, padding: IntSingle = 0,
                        dilation: IntSingle = 1) -> Tuple[int, ...]:
    """Output shape (out_channels, L_out) of a 1D convolution over an input
    (C, L); leading batch dimensions are kept. The window arithmetic is
    conv2d_output_shape's along one axis.

    >>> conv1d_output_shape((2, 100), 8, 5, 2, 2, 1)
    (8, 50)
    """
    if int(out_channels) <= 0:
        raise ValueError(f"conv1d_output_shape: out_channels must be positive, got {out_channels}")
    return _spatial_output(input_shape, int(out_channels), kernel_size, stride, padding,
                           dilation, False, "conv1d_output_shape", spatial=1)


def conv2d_output_shape(input_shape: Sequence[int], out_channels: int, kernel_size: IntPair,
                        stride: IntPair = 1, padding: IntPair = 0,
                        dilation: IntPair = 1) -> Tuple[int, ...]:
    """Output shape (out_channels, H_out, W_out) of a 2D convolution over an
    input (C, H, W); leading batch dimensions are kept.

    >>> conv2d_output_shape((2, 35, 35), 8, (3, 3), (1, 1), (1, 1), (1, 1))
    (8, 35, 35)
    """
    if int(out_channels) <= 0:
        raise ValueError(f"conv2d_output_shape: out_channels must be positive, got {out_channels}")
    return _spatial_output(input_shape, int(out_channels), kernel_size, stride, padding,
                           dilation, False, "conv2d_output_shape")


def pool2d_output_shape(input_shape: Sequence[int], kernel_size: IntPair, stride: IntPair,
                        padding: IntPair = 0, dilation: IntPair = 1,
                        ceil_mode: bool = False) -> Tuple[int, ...]:
    """Output shape (C, H_out, W_out) of 2D pooling over an input (C, H, W);
    leading batch dimensions are kept. ``ceil_mode`` rounds up, but never
    starts a window in the right padding.

    >>> pool2d_output_shape((8, 34, 34), (2, 2), (2, 2), (0, 0), (1, 1), False)
    (8, 17, 17)
    """
    shape = _spatial_input(input_shape, "pool2d_output_shape")
    return _spatial_output(shape, shape[-3], kernel_size, stride, padding, dilation,
                           bool(ceil_mode), "pool2d_output_shape")


def flatten_output_size(input_shape: Sequence[int], start_dim: int = 0, end_dim: int = -1) -> int:
    """Number of elements of dimensions ``start_dim`` to ``end_dim`` (both
    inclusive, negative values counting from the end).

    >>> flatten_output_size((2, 35, 35), 0, -1)
    2450
    """
    shape = tuple(int(x) for x in input_shape)
    ndim = len(shape)
    start = start_dim if start_dim >= 0 else ndim + start_dim
    end = end_dim if end_dim >= 0 else ndim + end_dim
    if not (0 <= start <= end < ndim):
        raise ValueError(
            f"flatten_output_size: dimensions {start_dim} to {end_dim} are not a range of "
            f"the shape {shape}"
        )
    if any(x < 0 for x in shape):
        raise ValueError(f"flatten_output_size: negative size in shape {shape}")
    return math.prod(shape[start:end + 1])

