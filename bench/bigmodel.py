"""Big-model benchmark, measured side by side in one run: reading with and
without a memory map against safetensors and NIR, the layout without the
data, and writing with compression and checksums against NIR's gzip.

    .venv/bin/python bench/bigmodel.py            # 2 GiB model and 5,000 nodes (several minutes)
    .venv/bin/python bench/bigmodel.py --quick    # small sizes, for a smoke test

The 2 GiB model is sixteen 4096x8192 float32 Affine weights; the 5,000-node
network is bench/serialize.py's. Each read runs in its own child process
(resident memory is its own), twice, after the files were written: the
best of the two is kept, with the page cache warm. safetensors (PyPI) and
nir are optional: without them their columns are left out. Set BENCH_DIR
to put the temporary files elsewhere. Prints times, sizes and ratios only;
nothing here asserts anything.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import zor.ir

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serialize import MiB, Payload, graph_dict, memory_status, side_by_side  # noqa: E402

try:
    import safetensors.numpy as safetensors_numpy
    from safetensors import safe_open
except ImportError:
    safetensors_numpy = None
try:
    import nir
except ImportError:
    nir = None


# ------------------------------------------------------------- the models

def big_model(rows: int, columns: int, count: int = 16, compressible: bool = False) -> zor.ir.Graph:
    """`count` Affine nodes of rows x columns float32 weights: random, or
    quantised to sixteen values (compressible)."""
    rng = np.random.default_rng(0)
    graph = zor.ir.Graph(metadata={"name": "big model"})
    for i in range(count):
        if compressible:
            weight = (rng.integers(-8, 8, (rows, columns), dtype=np.int8) / 8).astype(np.float32)
        else:
            weight = rng.standard_normal((rows, columns), dtype=np.float32)
            weight *= 0.02
        graph.add_node(f"fc{i}", zor.ir.Affine(weight, np.zeros(rows, np.float32)))
    return graph


def weights_of(model) -> dict:
    """{name: (weight, bias)} of a big model Graph or a graph_dict dictionary."""
    if isinstance(model, zor.ir.Graph):
        return {name: (node.weight, node.bias) for name, node in model.nodes.items()}
    return {name: (node["weight"], node["bias"]) for name, node in model["nodes"].items()}


def edges_of(model) -> list:
    return list(model.edges) if isinstance(model, zor.ir.Graph) else list(model["edges"])


def zor_object(model):
    return model if isinstance(model, zor.ir.Graph) else Payload(model)


def nir_graph(model):
    nodes = {name: nir.Affine(weight=weight, bias=bias) for name, (weight, bias) in weights_of(model).items()}
    return nir.NIRGraph(nodes=nodes, edges=edges_of(model))


def safetensors_arrays(model) -> dict:
    arrays = {}
    for name, (weight, bias) in weights_of(model).items():
        arrays[f"{name}.weight"], arrays[f"{name}.bias"] = weight, bias
    return arrays


# ------------------------------------------------------------- reading, in a child

def open_file(contender, path):
    """Opens `path` the contender's way; returns what holds the weights."""
    if contender == "read":
        return zor.ir.read(path)
    if contender == "read(mmap=True)":
        return zor.ir.read(path, mmap=True)
    if contender == "safetensors load_file":
        return safetensors_numpy.load_file(path)
    if contender == "safetensors safe_open":
        handle = safe_open(path, framework="np")
        handle.__enter__()
        return handle
    if contender == "nir.read":
        return nir.read(path)
    raise ValueError(contender)


def touch_weights(contender, opened) -> float:
    """The sum of every weight: each array touched once."""
    if contender.startswith("read"):
        arrays = (value for pair in weights_of(opened).values() for value in pair)
    elif contender == "safetensors load_file":
        arrays = iter(opened.values())
    elif contender == "safetensors safe_open":
        arrays = (opened.get_tensor(key) for key in opened.keys())
    else:
        arrays = (getattr(node, field) for node in opened.nodes.values() if isinstance(node, nir.Affine)
                  for field in ("weight", "bias"))
    return sum(float(array.sum(dtype=np.float64)) for array in arrays)


def read_child(contender, path):
    before = memory_status("VmRSS")
    start = time.perf_counter()
    opened = open_file(contender, path)
    opened_at = time.perf_counter()
    resident = memory_status("VmRSS") - before
    total = touch_weights(contender, opened)
    print(json.dumps({"open": opened_at - start, "resident": resident,
                      "touch": time.perf_counter() - opened_at, "sum": total}))


def read_in_children(contender, path, rounds=2):
    best = None
    for _ in range(rounds):
        result = subprocess.run([sys.executable, __file__, "--read-child", contender, path],
                                check=True, capture_output=True, text=True)
        measured = json.loads(result.stdout)
        if best is None or measured["open"] + measured["touch"] < best["open"] + best["touch"]:
            best = measured
    return best


# ------------------------------------------------------------- the tables

def report(title, rows):
    print(f"\n{title}")
    for row in rows:
        print("  " + row)


def bench_reads(title, model, directory, targets):
    paths = {"zor": os.path.join(directory, "model.zor"), "safetensors": os.path.join(directory, "model.safetensors"),
             "nir": os.path.join(directory, "model.nir")}
    zor.ir.write(paths["zor"], zor_object(model))
    contenders = [("read", paths["zor"]), ("read(mmap=True)", paths["zor"])]
    if safetensors_numpy:
        safetensors_numpy.save_file(safetensors_arrays(model), paths["safetensors"])
        contenders += [("safetensors load_file", paths["safetensors"]), ("safetensors safe_open", paths["safetensors"])]
    if nir:
        nir.write(paths["nir"], nir_graph(model), compression=None)
        contenders.append(("nir.read", paths["nir"]))
    results = {name: read_in_children(name, path) for name, path in contenders}
    full, mapped = results["read"], results["read(mmap=True)"]
    rows = [f"{'':24}{'open':>10}{'resident':>12}{'touch all':>11}   (touch: sum of every weight)"]
    for name, measured in results.items():
        rows.append(f"{name:24}{measured['open']:9.4f}s{measured['resident'] / MiB:9.1f} MiB"
                    f"{measured['touch']:10.4f}s")
    target = (lambda text: f" (target {text})") if targets else (lambda text: "")
    rows.append(f"mmap open / full read: {mapped['open'] / full['open']:.2%}{target('<= 2%')};  resident after mmap "
                f"open: {mapped['resident'] / MiB:.1f} MiB{target('< 64')};  touch after mmap / after full read: "
                f"{mapped['touch'] / full['touch']:.2f}x{target('<= 1.3')}")
    if "safetensors load_file" in results:
        rows.append(f"mmap open / safetensors load_file open: "
                    f"{mapped['open'] / results['safetensors load_file']['open']:.3f}x{target('<= 1')}")
    else:
        rows.append("safetensors not installed: its columns left out")
    if not nir:
        rows.append("nir not installed: its column left out")
    if len({round(measured["sum"], 3) for measured in results.values()}) != 1:
        rows.append(f"WARNING: the sums differ: { {k: v['sum'] for k, v in results.items()} }")
    report(title, rows)
    return paths["zor"]


def bench_layout(files, repeats):
    rows = []
    times = {}
    for name, path in files.items():
        best = float("inf")
        for _ in range(repeats):
            start = time.perf_counter()
            zor.ir.read_layout(path)
            best = min(best, time.perf_counter() - start)
        times[name] = best
        rows.append(f"{name:44}{best * 1e3:9.2f} ms   ({os.path.getsize(path) / MiB:.1f} MiB file)")
    big, small = list(times.values())[:2]
    rows.append(f"big model / 1,000x smaller arrays: {big / small:.2f}x (target <= 2);  big model "
                f"{big * 1e3:.2f} ms (target < 50)")
    report(f"read_layout, best of {repeats}", rows)


def bench_writes(title, model, directory, repeats):
    target = os.path.join(directory, "written")
    contenders = [
        ("write", lambda: zor.ir.write(target + ".zor", zor_object(model)), target + ".zor"),
        ("write gzip", lambda: zor.ir.write(target + "-gzip.zor", zor_object(model), compression="gzip"),
         target + "-gzip.zor"),
        ("write gzip+checksum", lambda: zor.ir.write(target + "-gzip-checksum.zor", zor_object(model),
                                                     compression="gzip", checksum=True),
         target + "-gzip-checksum.zor"),
    ]
    if nir:
        graph = nir_graph(model)
        contenders += [
            ("nir.write", lambda: nir.write(target + ".nir", graph, compression=None), target + ".nir"),
            ("nir.write gzip", lambda: nir.write(target + "-gzip.nir", graph), target + "-gzip.nir"),
        ]
    times = side_by_side(repeats, contenders)
    sizes = {name: os.path.getsize(path) for name, _, path in contenders}
    for _, _, path in contenders:
        os.remove(path)
    rows = [f"{name:22}{times[name]:9.3f} s   {times[name] / times['write']:6.2f}x the plain write   "
            f"{sizes[name] / MiB:10.1f} MiB   {sizes['write'] / sizes[name]:5.2f}x smaller"
            for name, _, _ in contenders]
    if not nir:
        rows.append("nir not installed: its rows left out")
    report(f"{title}, best of {repeats} after a warm-up", rows)
    return times, sizes


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--read-child", nargs=2, metavar=("CONTENDER", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.read_child:
        return read_child(*args.read_child)

    rows, columns, nodes, repeats = (256, 512, 500, 1) if args.quick else (4096, 8192, 5000, 1)
    print(f"zor.ir {zor.ir.serialization.__version__}; safetensors "
          f"{'yes' if safetensors_numpy else 'not installed'}; nir {nir.version if nir else 'not installed'}")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as directory:
        model = big_model(rows, columns)
        size = sum(w.nbytes for w, _ in weights_of(model).values())
        big_dir, small_dir = os.path.join(directory, "big"), os.path.join(directory, "nodes")
        os.mkdir(big_dir)
        os.mkdir(small_dir)
        big_file = bench_reads(f"reading the {size / MiB:.0f} MiB model (sixteen {rows}x{columns} float32 weights)",
                               model, big_dir, targets=True)
        network = graph_dict(nodes)
        network_file = bench_reads(f"reading the {nodes}-node network", network, small_dir, targets=False)

        smaller = os.path.join(directory, "smaller.zor")
        zor.ir.write(smaller, big_model(max(1, rows // 1024), columns))
        bench_layout({f"big model ({size / MiB:.0f} MiB)": big_file,
                      f"same structure, {rows // max(1, rows // 1024)}x smaller arrays": smaller,
                      f"{nodes}-node network": network_file}, repeats=5)
        for folder in (big_dir, small_dir):
            for name in os.listdir(folder):
                os.remove(os.path.join(folder, name))

        bench_writes(f"writing the {size / MiB:.0f} MiB model, random weights", model, big_dir, repeats)
        del model
        compressible = big_model(rows, columns, compressible=True)
        bench_writes(f"writing the {size / MiB:.0f} MiB model, quantised weights (16 values)", compressible,
                     big_dir, repeats)
        del compressible
        bench_writes(f"writing the {nodes}-node network", network, small_dir, max(repeats, 3))


if __name__ == "__main__":
    main()
