"""Spatial upsampling primitives."""

from dataclasses import dataclass
from enum import Enum
from typing import Literal, Optional, Tuple, Union

from .node import Node
from .types import Shape

class UpsampleMode(str, Enum):
    NEAREST = "nearest"
    BILINEAR = "bilinear"

@dataclass(eq=False)
class Upsample(Node):
    scale_factor: Optional[int] = 2
    size: Optional[Tuple[int, int]] = None
    mode: Union[Literal["nearest", "bilinear"], UpsampleMode] = "nearest"
    align_corners: bool = False
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None:
        """Validate parameters and compute output shape."""
