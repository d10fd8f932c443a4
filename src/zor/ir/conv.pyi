"""2D convolution primitives."""

from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np

from .node import Node
from .types import Shape
from .utils import conv2d_output_shape as conv2d_output_shape

@dataclass(eq=False)
class Conv2d(Node):
    weight: np.ndarray
    bias: np.ndarray
    stride: Tuple[int, int] = (1, 1)
    padding: Tuple[int, int] = (0, 0)
    dilation: Tuple[int, int] = (1, 1)
    groups: int = 1
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class SepConv2d(Node):
    depthwise_weight: np.ndarray
    pointwise_weight: np.ndarray
    depthwise_bias: Optional[np.ndarray] = None
    pointwise_bias: Optional[np.ndarray] = None
    stride: Tuple[int, int] = (1, 1)
    padding: Tuple[int, int] = (0, 0)
    dilation: Tuple[int, int] = (1, 1)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...
