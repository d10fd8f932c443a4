"""Tensor reshape primitives."""

from dataclasses import dataclass
from typing import Optional

from .node import Node
from .types import Shape
from .utils import flatten_output_size as flatten_output_size

@dataclass(eq=False)
class Flatten(Node):
    start_dim: int = 0
    end_dim: int = -1
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...
