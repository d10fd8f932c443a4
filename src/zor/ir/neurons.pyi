"""Neuron primitives for SNNs and hybrid ANN-SNN architectures."""

from enum import Enum
from typing import Any, Dict, Literal, Optional, Sequence, Union

import numpy as np

from .node import Node
from .types import Shape

class NeuronMode(str, Enum):
    SNN = "snn"
    ANN = "ann"

class LIF(Node):
    tau: np.ndarray
    r: np.ndarray
    v_leak: np.ndarray
    v_threshold: np.ndarray
    input_type: Optional[Shape]
    output_type: Optional[Shape]
    def __init__(self, tau: np.ndarray, r: np.ndarray, v_leak: np.ndarray,
                 v_threshold: np.ndarray, input_type: Optional[Shape] = None,
                 output_type: Optional[Shape] = None) -> None: ...
    def __post_init__(self) -> None: ...

class _DictForm(Node):
    metadata: Dict[str, Any]
    input_type: Optional[Shape]
    output_type: Optional[Shape]
    def __post_init__(self) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> Any: ...

class ReLU(_DictForm):
    features: int
    negative_slope: float
    def __init__(self, features: int, negative_slope: float = 0.0,
                 metadata: Optional[Dict[str, Any]] = ..., input_type: Optional[Shape] = None,
                 output_type: Optional[Shape] = None) -> None: ...

class Sigmoid(_DictForm):
    features: int
    def __init__(self, features: int, metadata: Optional[Dict[str, Any]] = ...,
                 input_type: Optional[Shape] = None, output_type: Optional[Shape] = None) -> None: ...

class Tanh(_DictForm):
    features: int
    def __init__(self, features: int, metadata: Optional[Dict[str, Any]] = ...,
                 input_type: Optional[Shape] = None, output_type: Optional[Shape] = None) -> None: ...

class Softmax(_DictForm):
    features: int
    dim: int
    def __init__(self, features: int, dim: int = -1, metadata: Optional[Dict[str, Any]] = ...,
                 input_type: Optional[Shape] = None, output_type: Optional[Shape] = None) -> None: ...

class GELU(_DictForm):
    features: int
    approximate: bool
    def __init__(self, features: int, approximate: bool = True,
                 metadata: Optional[Dict[str, Any]] = ..., input_type: Optional[Shape] = None,
                 output_type: Optional[Shape] = None) -> None: ...

class ELU(_DictForm):
    features: int
    alpha: float
    def __init__(self, features: int, alpha: float = 1.0,
                 metadata: Optional[Dict[str, Any]] = ..., input_type: Optional[Shape] = None,
                 output_type: Optional[Shape] = None) -> None: ...

class PReLU(_DictForm):
    features: int
    weight: np.ndarray
    def __init__(self, features: int, weight: Any, metadata: Optional[Dict[str, Any]] = ...,
                 input_type: Optional[Shape] = None, output_type: Optional[Shape] = None) -> None: ...

class BatchNorm1d(_DictForm):
    num_features: int
    weight: np.ndarray
    bias: np.ndarray
    running_mean: np.ndarray
    running_var: np.ndarray
    eps: float
    momentum: float
    def __init__(self, num_features: int, weight: Any, bias: Any, running_mean: Any,
                 running_var: Any, eps: float = 1e-05, momentum: float = 0.1,
                 metadata: Optional[Dict[str, Any]] = ..., input_type: Optional[Shape] = None,
                 output_type: Optional[Shape] = None) -> None: ...

class BatchNorm2d(BatchNorm1d): ...

class LayerNorm(_DictForm):
    normalized_shape: tuple
    weight: np.ndarray
    bias: np.ndarray
    eps: float
    def __init__(self, normalized_shape: Union[int, Sequence[int], np.ndarray], weight: Any,
                 bias: Any, eps: float = 1e-05, metadata: Optional[Dict[str, Any]] = ...,
                 input_type: Optional[Shape] = None, output_type: Optional[Shape] = None) -> None: ...

class Dropout(_DictForm):
    features: int
    p: float
    def __init__(self, features: int, p: float = 0.5, metadata: Optional[Dict[str, Any]] = ...,
                 input_type: Optional[Shape] = None, output_type: Optional[Shape] = None) -> None: ...

class HybridRegion(_DictForm):
    mode: Literal["snn", "ann"]
    features: int
    name: Optional[str]
    def __init__(self, mode: Literal["snn", "ann"], features: int, name: Optional[str] = None,
                 metadata: Optional[Dict[str, Any]] = ..., input_type: Optional[Shape] = None,
                 output_type: Optional[Shape] = None) -> None: ...
