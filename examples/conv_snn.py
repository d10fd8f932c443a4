"""A convolutional spiking network for 2x64x64 event frames and 11 gestures:
three convolution blocks of batch norm and LIF neurons with pooling between
them, then spiking dense layers into a LIF readout whose spike counts are the
class scores. Only the first convolution is told its input shape.

    .venv/bin/python examples/conv_snn.py [DIRECTORY]   # writes conv_snn.zor there (default: a new temporary directory)
"""

import math
import sys
import tempfile
from pathlib import Path
from typing import Any, List

import numpy as np
import numpy.typing as npt

from zor.ir import LIF, AvgPool2d, BatchNorm2d, Conv2d, Flatten, Graph, Node, SpikingAffine, write

rng = np.random.default_rng(0)


def weights(*shape: int) -> npt.NDArray[np.float32]:
    drawn: npt.NDArray[np.float64] = rng.normal(size=shape)
    return (drawn / math.sqrt(math.prod(shape[1:]))).astype(np.float32)


def lif(n: int, tau: float = 20.0) -> LIF:
    return LIF(tau=np.full(n, tau), r=np.full(n, 1.0), v_leak=np.zeros(n), v_threshold=np.ones(n))


def conv_block(in_channels: int, out_channels: int, **options: Any) -> List[Node]:
    """Convolution, batch norm and LIF neurons, one per channel."""
    return [Conv2d(weights(out_channels, in_channels, 3, 3), np.zeros(out_channels, np.float32),
                   padding=(1, 1), **options),
            BatchNorm2d(out_channels, np.ones(out_channels), np.zeros(out_channels),
                        np.zeros(out_channels), np.ones(out_channels)),
            lif(out_channels)]


def build_network() -> Graph:
    graph = Graph.sequential([
        *conv_block(2, 16, stride=(2, 2), input_type={"input": np.array([2, 64, 64])}),
        AvgPool2d((2, 2)),
        *conv_block(16, 32),
        AvgPool2d((2, 2)),
        *conv_block(32, 64),
        AvgPool2d((2, 2)),
        Flatten(),
        SpikingAffine(weights(128, 64 * 4 * 4), np.zeros(128, np.float32), "binary", 8, 16),
        lif(128),
        SpikingAffine(weights(11, 128), np.zeros(11, np.float32), "binary", 8, 16),
        lif(11, tau=50.0),
    ])
    graph.metadata.update(name="spiking gesture CNN", input="2x64x64 events", classes=11)
    return graph


def main(argv: List[str]) -> int:
    directory = Path(argv[1]) if len(argv) > 1 else Path(tempfile.mkdtemp(prefix="zor-"))
    directory.mkdir(parents=True, exist_ok=True)
    graph = build_network().infer_types()
    graph.validate(strict=True)
    print(graph.summary())
    path = directory / "conv_snn.zor"
    write(path, graph)
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
