"""A hybrid network for a 2x34x34 event camera: an ANN encoder (convolutions,
batch norm, ReLU, pooling), an SNN core (spiking dense layers into LIF
neurons) and an ANN decoder (dense layer, softmax). A HybridRegion marker
opens the SNN core and another the ANN decoder, so a mapper knows which
stretch runs on which hardware. Only the first layer is told its input shape.

    .venv/bin/python examples/hybrid.py [DIRECTORY]   # writes hybrid.zor there (default: a new temporary directory)
"""

import math
import sys
import tempfile
from pathlib import Path
from typing import List

import numpy as np
import numpy.typing as npt

from zor.ir import (LIF, Affine, BatchNorm2d, Conv2d, Flatten, Graph, HybridRegion, MaxPool2d, ReLU,
                    Softmax, SpikingAffine, write)

rng = np.random.default_rng(0)


def weights(*shape: int) -> npt.NDArray[np.float32]:
    drawn: npt.NDArray[np.float64] = rng.normal(size=shape)
    return (drawn / math.sqrt(math.prod(shape[1:]))).astype(np.float32)


def lif(n: int) -> LIF:
    return LIF(tau=np.full(n, 20.0), r=np.full(n, 20.0), v_leak=np.zeros(n), v_threshold=np.ones(n))


def build_network() -> Graph:
    layers = {
        # ANN encoder: rate-coded features of the event frames
        "conv1": Conv2d(weights(16, 2, 3, 3), np.zeros(16, np.float32), padding=(1, 1),
                        input_type={"input": np.array([2, 34, 34])}),
        "bn1": BatchNorm2d(16, np.ones(16), np.zeros(16), np.zeros(16), np.ones(16)),
        "relu1": ReLU(16),
        "pool1": MaxPool2d((2, 2)),
        "conv2": Conv2d(weights(32, 16, 3, 3), np.zeros(32, np.float32), padding=(1, 1)),
        "relu2": ReLU(32),
        "pool2": MaxPool2d((2, 2)),
        "flatten": Flatten(),
        # SNN core: spikes over time
        "core": HybridRegion("snn", 32 * 8 * 8, name="snn core"),
        "fc1": SpikingAffine(weights(256, 32 * 8 * 8), np.zeros(256, np.float32), "rate", 8, 16),
        "lif1": lif(256),
        "fc2": SpikingAffine(weights(64, 256), np.zeros(64, np.float32), "binary", 4, 12),
        "lif2": lif(64),
        # ANN decoder: class scores from the spike rates
        "decoder": HybridRegion("ann", 64, name="decoder"),
        "fc3": Affine(weights(11, 64), np.zeros(11, np.float32)),
        "softmax": Softmax(11),
    }
    graph = Graph.sequential(layers.values(), names=list(layers))
    graph.metadata.update(name="hybrid gesture classifier", input="2x34x34 events", classes=11)
    return graph


def main(argv: List[str]) -> int:
    directory = Path(argv[1]) if len(argv) > 1 else Path(tempfile.mkdtemp(prefix="zor-"))
    directory.mkdir(parents=True, exist_ok=True)
    graph = build_network().infer_types()
    graph.validate(strict=True)
    print(graph.summary())
    path = directory / "hybrid.zor"
    write(path, graph)
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
