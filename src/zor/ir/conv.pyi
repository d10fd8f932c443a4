"""1D and 2D convolution primitives."""

from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Self, Tuple

import numpy as np

from .node import Node
from .types import Shape
from .utils import conv2d_output_shape as conv2d_output_shape

@dataclass(eq=False)
class Conv1d(Node):
    weight: np.ndarray
    bias: np.ndarray
    stride: int = 1
    padding: int = 0
    dilation: int = 1
    groups: int = 1
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> Self: ...

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
