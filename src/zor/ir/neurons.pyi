"""Neuron primitives for SNNs and hybrid ANN-SNN architectures."""

from dataclasses import dataclass, field
from enum import Enum
from typing import Any, Dict, Literal, Optional, Self

import numpy as np

from .node import Node
from .types import Shape

class NeuronMode(str, Enum):
    SNN = "snn"
    ANN = "ann"

@dataclass(eq=False)
class LIF(Node):
    tau: np.ndarray
    r: np.ndarray
    v_leak: np.ndarray
    v_threshold: np.ndarray
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

class _OwnDictForm(Node):
    def to_dict(self) -> Dict[str, Any]: ...
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> Self: ...

@dataclass(eq=False)
class IF(_OwnDictForm):
    r: np.ndarray
    v_threshold: np.ndarray
    v_reset: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class LI(_OwnDictForm):
    tau: np.ndarray
    r: np.ndarray
    v_leak: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class CubaLIF(_OwnDictForm):
    tau_syn: np.ndarray
    tau_mem: np.ndarray
    r: np.ndarray
    v_leak: np.ndarray
    v_threshold: np.ndarray
    v_reset: np.ndarray
    w_in: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class CubaLI(_OwnDictForm):
    tau_syn: np.ndarray
    tau_mem: np.ndarray
    r: np.ndarray
    v_leak: np.ndarray
    w_in: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Integrator(_OwnDictForm):
    r: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Threshold(_OwnDictForm):
    threshold: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Scale(_OwnDictForm):
    scale: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Delay(_OwnDictForm):
    delay: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class ReLU(_OwnDictForm):
    features: int
    negative_slope: float = 0.0
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Sigmoid(_OwnDictForm):
    features: int
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Tanh(_OwnDictForm):
    features: int
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Softmax(_OwnDictForm):
    features: int
    dim: int = -1
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class GELU(_OwnDictForm):
    features: int
    approximate: bool = True
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class ELU(_OwnDictForm):
    features: int
    alpha: float = 1.0
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class PReLU(_OwnDictForm):
    features: int
    weight: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class _BatchNorm(_OwnDictForm):
    num_features: int
    weight: np.ndarray
    bias: np.ndarray
    running_mean: np.ndarray
    running_var: np.ndarray
    eps: float = 1e-05
    momentum: float = 0.1
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class BatchNorm1d(_BatchNorm): ...

@dataclass(eq=False)
class BatchNorm2d(_BatchNorm): ...

@dataclass(eq=False)
class LayerNorm(_OwnDictForm):
    normalized_shape: tuple
    weight: np.ndarray
    bias: np.ndarray
    eps: float = 1e-05
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class Dropout(_OwnDictForm):
    features: int
    p: float = 0.5
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...

@dataclass(eq=False)
class HybridRegion(_OwnDictForm):
    mode: Literal["snn", "ann"]
    features: int
    name: Optional[str] = None
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    def __post_init__(self) -> None: ...
