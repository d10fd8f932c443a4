"""NIR interchange at scale, measured side by side in one run: from_nir, to_nir and read_nir of
a chain of recurrent blocks (an Affine and a nested LIF/Affine subgraph each) at N and 4N
blocks, with the ratio of the two times (4.0 is linear): to_nir with and without nir's own
type check (quadratic in the graph), read_nir beside nir.read of the same file.

    .venv/bin/python bench/nir_scale.py            # 1,000 and 4,000 blocks
    .venv/bin/python bench/nir_scale.py --quick    # 100 and 400

Prints times and ratios only; nothing here asserts anything.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from unittest import mock

import nir
import numpy as np

import zor.ir._nir_nest as nest
from zor.ir.nir import from_nir, read_nir, to_nir


def blocks(count: int, width: int = 4) -> nir.NIRGraph:
    """Input -> (Affine -> recurrent LIF subgraph) * count -> Affine -> Output."""
    f32 = np.float32
    nodes = {"input": nir.Input(np.array([width]))}
    edges, last = [], "input"
    for i in range(count):
        subgraph = nir.NIRGraph(
            nodes={"input": nir.Input(np.array([width])),
                   "lif": nir.LIF(*[np.ones(width, f32)] * 4),
                   "w_rec": nir.Affine(np.eye(width, dtype=f32), np.zeros(width, f32)),
                   "output": nir.Output(np.array([width]))},
            edges=[("input", "lif"), ("lif", "w_rec"), ("w_rec", "lif"), ("lif", "output")],
            type_check=False)
        nodes[f"fc{i}"], nodes[f"rnn{i}"] = nir.Affine(np.eye(width, dtype=f32),
                                                      np.zeros(width, f32)), subgraph
        edges += [(last, f"fc{i}"), (f"fc{i}", f"rnn{i}")]
        last = f"rnn{i}"
    nodes["readout"] = nir.Affine(np.eye(width, dtype=f32), np.zeros(width, f32))
    nodes["output"] = nir.Output(np.array([width]))
    edges += [(last, "readout"), ("readout", "output")]
    return nir.NIRGraph(nodes=nodes, edges=edges, type_check=False)


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def unchecked(nodes, edges, metadata):
    return nir.NIRGraph(nodes=nodes, edges=edges, metadata=metadata, type_check=False)


def measure(count: int, directory: str) -> dict:
    original = blocks(count)
    path = os.path.join(directory, f"blocks{count}.nir")
    nir.write(path, original)
    from_time, graph = timed(lambda: from_nir(original))
    to_time, _ = timed(lambda: to_nir(graph))
    with mock.patch.object(nest, "made_graph", unchecked), \
            mock.patch("zor.ir.nir.made_graph", unchecked):
        ours, _ = timed(lambda: to_nir(graph))
    read_time, _ = timed(lambda: read_nir(path))
    theirs, _ = timed(lambda: nir.read(path, type_check=False))
    return {"from_nir": from_time, "to_nir": to_time, "to_nir without nir's check": ours,
            "read_nir": read_time, "nir.read, no type check": theirs}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    count = 100 if parser.parse_args().quick else 1000
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as directory:
        small, large = measure(count, directory), measure(4 * count, directory)
    print(f"{'':<28}{count:>10,} blocks{4 * count:>10,} blocks{'ratio':>9}")
    for key in small:
        print(f"{key:<28}{small[key]:>15.3f} s{large[key]:>15.3f} s{large[key] / small[key]:>9.1f}")


if __name__ == "__main__":
    main()
