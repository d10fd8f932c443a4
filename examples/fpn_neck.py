"""A feature-pyramid neck on a small convolutional backbone for 3x64x64
images. The backbone halves the resolution four times (C3 at 1/4, C4 at 1/8,
C5 at 1/16); the neck brings each level to 64 channels with a 1x1
convolution, adds to it the coarser level upsampled twice over (a Skip
"add" fed by both), and smooths each sum with a 3x3 convolution into the
outputs P3, P4 and P5. Only the image's shape is given.

    .venv/bin/python examples/fpn_neck.py [DIRECTORY]   # writes fpn_neck.zor there (default: a new temporary directory)
"""

import sys
import tempfile
from pathlib import Path
from typing import Any, List

import numpy as np

from zor.ir import Conv2d, Graph, ReLU, Skip, Upsample, write

rng = np.random.default_rng(0)
LEVELS = {"c3": 32, "c4": 64, "c5": 128}  # the backbone's channels at 1/4, 1/8, 1/16
NECK_CHANNELS = 64


def conv(in_channels: int, out_channels: int, kernel: int, **options: Any) -> Conv2d:
    weight = rng.normal(size=(out_channels, in_channels, kernel, kernel)) / np.sqrt(in_channels * kernel**2)
    return Conv2d(weight.astype(np.float32), np.zeros(out_channels, np.float32), **options)


def chain(graph: Graph, *names: str) -> None:
    for src, dst in zip(names, names[1:]):
        graph.add_edge(src, dst)


def build_network() -> Graph:
    graph = Graph(metadata={"name": "feature pyramid neck", "input": "3x64x64 image"})
    # Backbone: a stride-2 convolution and a ReLU per level.
    graph.add_node("stem", conv(3, 16, 3, stride=(2, 2), padding=(1, 1),
                                input_type={"input": np.array([3, 64, 64])}))
    graph.add_node("stem_relu", ReLU(16))
    chain(graph, "stem", "stem_relu")
    previous, in_channels = "stem_relu", 16
    for level, out_channels in LEVELS.items():
        graph.add_node(level, conv(in_channels, out_channels, 3, stride=(2, 2), padding=(1, 1)))
        graph.add_node(f"{level}_relu", ReLU(out_channels))
        chain(graph, previous, level, f"{level}_relu")
        previous, in_channels = f"{level}_relu", out_channels
    # Neck: lateral 1x1 convolutions, top-down sums, 3x3 outputs.
    for level, level_channels in LEVELS.items():
        graph.add_node(f"lateral{level[1]}", conv(level_channels, NECK_CHANNELS, 1))
        graph.add_edge(f"{level}_relu", f"lateral{level[1]}")
    top = "lateral5"
    for level in ("4", "3"):
        graph.add_node(f"up{level}", Upsample(scale_factor=2))
        graph.add_node(f"sum{level}", Skip("add"))
        chain(graph, top, f"up{level}", f"sum{level}")
        graph.add_edge(f"lateral{level}", f"sum{level}")
        top = f"sum{level}"
    for level, source in (("3", "sum3"), ("4", "sum4"), ("5", "lateral5")):
        graph.add_node(f"p{level}", conv(NECK_CHANNELS, NECK_CHANNELS, 3, padding=(1, 1)))
        graph.add_edge(source, f"p{level}")
    return graph


def main(argv: List[str]) -> int:
    directory = Path(argv[1]) if len(argv) > 1 else Path(tempfile.mkdtemp(prefix="zor-"))
    directory.mkdir(parents=True, exist_ok=True)
    graph = build_network().infer_types()
    graph.validate(strict=True)
    print(graph.summary())
    print("  outputs: " + ", ".join(graph.outputs()))
    path = directory / "fpn_neck.zor"
    write(path, graph)
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
