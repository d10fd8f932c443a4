"""2D pooling primitives."""

from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Self, Tuple

from .node import Node
from .types import Shape
from .utils import pool2d_output_shape as pool2d_output_shape

@dataclass(eq=False)
class MaxPool2d(Node):
    kernel_size: Tuple[int, int] = (2, 2)
    stride: Optional[Tuple[int, int]] = None
    padding: Tuple[int, int] = (0, 0)
    dilation: Tuple[int, int] = (1, 1)
    ceil_mode: bool = False
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class AvgPool2d(Node):
    kernel_size: Tuple[int, int] = (2, 2)
    stride: Optional[Tuple[int, int]] = None
    padding: Tuple[int, int] = (0, 0)
    ceil_mode: bool = False
    count_include_pad: bool = True
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class SumPool2d(Node):
    kernel_size: Tuple[int, int] = (2, 2)
    stride: Optional[Tuple[int, int]] = None
    padding: Tuple[int, int] = (0, 0)
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> Self: ...
