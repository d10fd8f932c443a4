"""ZOR-IR: node layer and HDF5 file format for neuromorphic network graphs."""

from importlib.metadata import version as _installed_version
from typing import Dict

from . import graph as _graph
from .graph import Graph, GraphError
from .node import Node
from .types import Shape
from .utils import (
    conv1d_output_shape, conv2d_output_shape, flatten_output_size, pool2d_output_shape,
)
from .neurons import (
    ELU, GELU, IF, LI, LIF, BatchNorm1d, BatchNorm2d, CubaLI, CubaLIF, Delay, Dropout, HybridRegion,
    Integrator, LayerNorm, NeuronMode, PReLU, ReLU, Scale, Sigmoid, Softmax, Tanh, Threshold,
)
from .linear import Affine, SpikeMode, SpikingAffine
from .conv import Conv1d, Conv2d, SepConv2d
from .pooling import AvgPool2d, MaxPool2d, SumPool2d
from .flatten import Flatten
from .skip import Skip, SkipType
from .upsample import Upsample, UpsampleMode
from .serialization import ZORFormatError, read, read_version, write
from .layout import DatasetLayout, read_layout
from .isolation import CheckResult, Verdict, check
from ._simulate import simulate

#: The package's version (the file format's is ``zor.ir.serialization.__version__``).
__version__ = _installed_version("zor-ir")

#: Every class that can be rebuilt from a file, by the name stored under "type".
_NODE_REGISTRY: Dict[str, type] = {
    cls.__name__: cls
    for cls in (
        Graph,
        LIF, IF, LI, CubaLIF, CubaLI, Integrator, Threshold, Scale, Delay,
        ReLU, Sigmoid, Tanh, Softmax, GELU, ELU, PReLU, BatchNorm1d, BatchNorm2d, LayerNorm,
        Dropout, HybridRegion,
        Affine, SpikingAffine, Conv1d, Conv2d, SepConv2d, MaxPool2d, AvgPool2d, SumPool2d, Flatten,
        Skip, Upsample,
    )
}


def str_to_node(name: str) -> type:
    """Return the class registered under ``name``."""
    try:
        return _NODE_REGISTRY[name]
    except (KeyError, TypeError):
        known = ", ".join(sorted(_NODE_REGISTRY))
        raise ValueError(f"Unknown node type {name!r}; known types: {known}") from None


_graph.use_registry(str_to_node)


# A literal list, so that type checkers see the re-exports (mypy --strict
# takes only names listed here); tests/test_package.py checks it against the
# registry.
__all__ = [
    "Graph", "Node", "Shape", "str_to_node",
    # Node classes, as in _NODE_REGISTRY
    "Affine", "AvgPool2d", "BatchNorm1d", "BatchNorm2d", "Conv1d", "Conv2d", "CubaLI", "CubaLIF",
    "Delay", "Dropout", "ELU", "Flatten", "GELU", "HybridRegion", "IF", "Integrator", "LI", "LIF",
    "LayerNorm", "MaxPool2d", "PReLU", "ReLU", "Scale", "SepConv2d", "Sigmoid", "Skip", "Softmax",
    "SpikingAffine", "SumPool2d", "Tanh", "Threshold", "Upsample",
    "NeuronMode", "SpikeMode", "SkipType", "UpsampleMode",
    "conv1d_output_shape", "conv2d_output_shape", "pool2d_output_shape", "flatten_output_size",
    "write", "read", "read_version", "read_layout", "DatasetLayout", "check", "CheckResult", "Verdict",
    "GraphError", "ZORFormatError",
    "simulate",
]
