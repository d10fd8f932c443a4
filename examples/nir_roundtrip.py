"""Builds a small convolutional spiking network in ZOR-IR, converts it to NIR, writes it to a
NIR file, reads the file back into ZOR-IR and checks that nothing changed.

    .venv/bin/python examples/nir_roundtrip.py [DIRECTORY]   # writes network.nir there (default: a new temporary directory)
"""

import sys
import tempfile
from pathlib import Path
from typing import List

import numpy as np

from zor.ir import LIF, AvgPool2d, Conv2d, Flatten, Graph, SpikingAffine
from zor.ir.nir import read_nir, to_nir, write_nir


def build_network() -> Graph:
    """2x16x16 events -> convolution -> average pooling -> flatten -> spiking dense -> LIF."""
    rng = np.random.default_rng(0)

    def lif(n: int) -> LIF:
        return LIF(tau=np.full(n, 20.0), r=np.full(n, 20.0), v_leak=np.zeros(n),
                   v_threshold=np.ones(n))

    graph = Graph(metadata={"name": "nir round trip example", "dt": 0.001})
    # Only the input's shape is given: the graph infers the others.
    graph.add_node("conv", Conv2d(rng.normal(size=(4, 2, 3, 3)).astype(np.float32),
                                  np.zeros(4, np.float32), padding=(1, 1),
                                  input_type={"input": np.array([2, 16, 16])}))
    graph.add_node("pool", AvgPool2d((2, 2)))
    graph.add_node("flatten", Flatten())
    graph.add_node("fc", SpikingAffine(rng.normal(size=(10, 256)).astype(np.float32),
                                       np.zeros(10, np.float32), "rate", 8, 16,
                                       metadata={"layer": "readout"}))
    graph.add_node("lif", lif(10))
    for src, dst in [("conv", "pool"), ("pool", "flatten"), ("flatten", "fc"), ("fc", "lif")]:
        graph.add_edge(src, dst)
    return graph


def main(argv: List[str]) -> int:
    directory = Path(argv[1]) if len(argv) > 1 else Path(tempfile.mkdtemp(prefix="zor-"))
    directory.mkdir(parents=True, exist_ok=True)
    # NIR keeps every port shape, so the graph is compared with its shapes filled in.
    graph = build_network().infer_types()
    nir_graph = to_nir(graph)
    print(f"NIR graph with {len(nir_graph.nodes)} nodes:")
    for name, node in nir_graph.nodes.items():
        shapes = " -> ".join(str(port[key].tolist())
                             for port, key in ((node.input_type, "input"),
                                               (node.output_type, "output")))
        print(f"  {name:<8} {type(node).__name__:<10} {shapes}")
    path = directory / "network.nir"
    write_nir(path, graph)
    print(f"wrote {path}")
    same = read_nir(path).equals(graph)
    print("read back: " + ("equal to the original graph" if same else "DIFFERENT from the original"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
