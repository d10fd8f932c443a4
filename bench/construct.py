"""Node construction: our classes against plain-Python dataclasses with the
same hooks, measured side by side in one run.

    .venv/bin/python bench/construct.py [--count N]

Prints, per class, the best-of-five time per construction of each and the
ratio ours / plain Python (below 1.0: ours is faster).
"""

from __future__ import annotations

import argparse
import timeit
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Tuple

import numpy as np

from zor.ir import LIF, Affine, BatchNorm1d, MaxPool2d, Node, PReLU, ReLU
from zor.ir.utils import pool2d_output_shape


@dataclass(eq=False)
class PyLIF(Node):
    tau: np.ndarray
    r: np.ndarray
    v_leak: np.ndarray
    v_threshold: np.ndarray
    input_type: Optional[Dict[str, np.ndarray]] = None
    output_type: Optional[Dict[str, np.ndarray]] = None

    def __post_init__(self):
        param_shapes = {"tau": self.tau.shape, "r": self.r.shape,
                        "v_leak": self.v_leak.shape, "v_threshold": self.v_threshold.shape}
        if len(set(param_shapes.values())) > 1:
            shape_info = ", ".join(f"{k}={v}" for k, v in param_shapes.items())
            raise ValueError(f"All LIF parameters must have same shape, got: {shape_info}")
        n = self.tau.shape[0] if self.tau.ndim > 0 else 1
        if self.input_type is None:
            self.input_type = {"input": np.array([n])}
        if self.output_type is None:
            self.output_type = {"output": np.array([n])}


@dataclass(eq=False)
class PyReLU(Node):
    features: int
    negative_slope: float = 0.0
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Dict[str, np.ndarray]] = None
    output_type: Optional[Dict[str, np.ndarray]] = None

    def __post_init__(self):
        if self.input_type is None:
            self.input_type = {"input": np.array([self.features])}
        if self.output_type is None:
            self.output_type = {"output": np.array([self.features])}


@dataclass(eq=False)
class PyPReLU(Node):
    features: int
    weight: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Dict[str, np.ndarray]] = None
    output_type: Optional[Dict[str, np.ndarray]] = None

    def __post_init__(self):
        self.weight = np.atleast_1d(np.asarray(self.weight, dtype=np.float32))
        if self.input_type is None:
            self.input_type = {"input": np.array([self.features])}
        if self.output_type is None:
            self.output_type = {"output": np.array([self.features])}


@dataclass(eq=False)
class PyBatchNorm1d(Node):
    num_features: int
    weight: np.ndarray
    bias: np.ndarray
    running_mean: np.ndarray
    running_var: np.ndarray
    eps: float = 1e-5
    momentum: float = 0.1
    metadata: Dict[str, Any] = field(default_factory=dict)
    input_type: Optional[Dict[str, np.ndarray]] = None
    output_type: Optional[Dict[str, np.ndarray]] = None

    def __post_init__(self):
        self.weight = np.atleast_1d(np.asarray(self.weight, dtype=np.float32))
        self.bias = np.atleast_1d(np.asarray(self.bias, dtype=np.float32))
        self.running_mean = np.atleast_1d(np.asarray(self.running_mean, dtype=np.float32))
        self.running_var = np.atleast_1d(np.asarray(self.running_var, dtype=np.float32))
        if self.input_type is None:
            self.input_type = {"input": np.array([self.num_features])}
        if self.output_type is None:
            self.output_type = {"output": np.array([self.num_features])}


@dataclass(eq=False)
class PyAffine(Node):
    weight: np.ndarray
    bias: np.ndarray
    input_type: Optional[Dict[str, np.ndarray]] = None
    output_type: Optional[Dict[str, np.ndarray]] = None

    def __post_init__(self):
        if self.weight.ndim != 2:
            raise ValueError("weight must be exactly 2D (out_features, in_features)")
        n_out, n_in = self.weight.shape
        if self.bias.ndim != 1 or self.bias.shape[0] != n_out:
            raise ValueError(f"bias must be 1D with {n_out} elements, got shape {self.bias.shape}")
        if self.input_type is None:
            self.input_type = {"input": np.array([n_in])}
        if self.output_type is None:
            self.output_type = {"output": np.array([n_out])}


@dataclass(eq=False)
class PyMaxPool2d(Node):
    kernel_size: Tuple[int, int] = (2, 2)
    stride: Optional[Tuple[int, int]] = None
    padding: Tuple[int, int] = (0, 0)
    dilation: Tuple[int, int] = (1, 1)
    ceil_mode: bool = False
    input_type: Optional[Dict[str, np.ndarray]] = None
    output_type: Optional[Dict[str, np.ndarray]] = None

    def __post_init__(self):
        if self.stride is None:
            self.stride = self.kernel_size
        if self.input_type is None or self.output_type is not None:
            return
        if "input" not in self.input_type:
            raise ValueError("MaxPool2d input_type dict must contain 'input' key, got keys: "
                             f"{list(self.input_type.keys())}")
        in_shape = self.input_type["input"]
        if in_shape is None:
            raise ValueError("MaxPool2d input_type['input'] cannot be None")
        if len(in_shape) > 2:
            out = pool2d_output_shape(tuple(int(x) for x in in_shape), self.kernel_size,
                                      self.stride, self.padding, self.dilation, self.ceil_mode)
            self.output_type = {"output": np.array(out)}
        elif len(in_shape) > 0:
            self.output_type = {"output": np.array([in_shape[0]])}
        else:
            raise ValueError("MaxPool2d requires input with at least 1 dimension, got shape "
                             f"{tuple(in_shape)}")


def cases():
    v = np.ones(128)
    w32 = np.ones(128, dtype=np.float32)
    w, b = np.ones((64, 128), dtype=np.float32), np.zeros(64, dtype=np.float32)
    pooled = {"input": np.array([8, 34, 34])}
    return [
        ("Affine", lambda: Affine(w, b), lambda: PyAffine(w, b)),
        ("MaxPool2d (input given)", lambda: MaxPool2d(input_type=pooled),
         lambda: PyMaxPool2d(input_type=pooled)),
        ("LIF", lambda: LIF(v, v, v, v), lambda: PyLIF(v, v, v, v)),
        ("ReLU", lambda: ReLU(128), lambda: PyReLU(128)),
        ("PReLU (float64 weight)", lambda: PReLU(128, v), lambda: PyPReLU(128, v)),
        ("BatchNorm1d (float32)", lambda: BatchNorm1d(128, w32, w32, w32, w32),
         lambda: PyBatchNorm1d(128, w32, w32, w32, w32)),
    ]


def best_pair_us(ours, plain, count: int) -> tuple:
    """Best of five for each, the two runs alternating so that both see the
    same machine state."""
    times = [(timeit.timeit(ours, number=count), timeit.timeit(plain, number=count))
             for _ in range(5)]
    return tuple(min(column) / count * 1e6 for column in zip(*times))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000)
    count = parser.parse_args().count
    print(f"{count:,} constructions each, best of 5")
    print(f"{'class':<24}{'ours (us)':>11}{'python (us)':>13}{'ratio':>8}")
    for name, ours, plain in cases():
        ours_us, plain_us = best_pair_us(ours, plain, count)
        print(f"{name:<24}{ours_us:>11.3f}{plain_us:>13.3f}{ours_us / plain_us:>8.2f}")


if __name__ == "__main__":
    main()
