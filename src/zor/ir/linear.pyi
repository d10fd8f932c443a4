"""Linear (fully-connected) layer primitives."""

from dataclasses import dataclass, field
from typing import Any, Dict, Literal, Optional

import numpy as np

from .node import Node
from .types import Shape

SpikeMode = Literal["binary", "graded", "rate"]

@dataclass(eq=False)
class Affine(Node):
    weight: np.ndarray
    bias: np.ndarray
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class SpikingAffine(Node):
    weight: np.ndarray
    bias: np.ndarray
    spike_mode: SpikeMode = "binary"
    weight_bits: int = 8
    accumulator_bits: int = 16
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    metadata: Dict[str, Any] = field(default_factory=dict)
    def __post_init__(self) -> None: ...
