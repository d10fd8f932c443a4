"""Serialization benchmark: the native write/read against the same dictionaries
through _write_recursive/_read_recursive on h5py, measured side by side in one
run, plus the plain h5py loop of the file format as a second reference.

    .venv/bin/python bench/serialize.py            # full run (a few minutes)
    .venv/bin/python bench/serialize.py --quick    # small sizes, for a smoke test

Prints times and ratios only; nothing here asserts a timing.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import h5py
import numpy as np

import zor.ir
from zor.ir import serialization as zs

MiB = 1024 * 1024


# Payload: the tests' registry entry whose from_dict hands back the dictionary
# read, so that both readers here return plain dictionaries.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from helpers import Payload

zor.ir._NODE_REGISTRY["Payload"] = Payload


def graph_dict(count: int) -> dict:
    """Nodes with a 64x64 float32 weight, a 64 float32 bias, two integers, a
    text, a two-integer tuple and a one-entry metadata dictionary; edges as a
    pair group."""
    rng = np.random.default_rng(0)
    nodes = {
        f"n{i}": {
            "type": "Affine",
            "weight": rng.standard_normal((64, 64), dtype=np.float32),
            "bias": rng.standard_normal(64, dtype=np.float32),
            "in_features": 64,
            "out_features": 64,
            "name": f"layer {i}",
            "kernel": (3, 3),
            "metadata": {"origin": "bench"},
        }
        for i in range(count)
    }
    edges = [(f"n{i}", f"n{i + 1}") for i in range(count - 1)]
    return {"type": "Payload", "nodes": nodes, "edges": edges, "metadata": {"nodes": count}}


# ------------------------------------------------------------- the contenders

def native_write(path, data):
    zs.write(path, Payload(data))


def native_read(path):
    return zs.read(path)


def h5py_write(path, data):
    # The walk makes graph as each group of its own (creation order tracked,
    # no timestamps), so the file is the native one byte for byte.
    with h5py.File(path, "w") as f:
        zs._write_recursive(f, {"version": zs.__version__, "graph": data})


def h5py_read(path):
    with h5py.File(path, "r") as f:
        return zs._read_recursive(f["graph"])


def plain_write(path, data, track_order=True):
    """The file format's walk written directly in Python on h5py; without
    track_order, groups as the format made them before they kept their order."""
    with h5py.File(path, "w") as f:
        f.create_dataset("version", data=zs.__version__, dtype=h5py.string_dtype())
        stack = [(f.create_group("graph", track_order=track_order), data)]
        while stack:
            group, current = stack.pop()
            for key, value in current.items():
                if value is None:
                    continue
                if isinstance(value, str):
                    group.create_dataset(key, data=value, dtype=h5py.string_dtype())
                elif isinstance(value, np.ndarray):
                    group.create_dataset(key, data=value, dtype=value.dtype)
                elif isinstance(value, dict):
                    stack.append((group.create_group(key, track_order=track_order), value))
                elif isinstance(value, list) and (not value or isinstance(value[0], tuple)):
                    pairs = group.create_group(key, track_order=track_order)
                    src, dst = zip(*value) if value else ((), ())
                    pairs.create_dataset("src", data=list(src), dtype=h5py.string_dtype())
                    pairs.create_dataset("dst", data=list(dst), dtype=h5py.string_dtype())
                elif isinstance(value, (list, tuple)) and value and isinstance(value[0], str):
                    group.create_dataset(key, data=list(value), dtype=h5py.string_dtype())
                elif isinstance(value, (list, tuple)):
                    array = np.array(value)
                    group.create_dataset(key, data=array, dtype=array.dtype)
                elif isinstance(value, (int, float)):
                    group.create_dataset(key, data=value)
                else:
                    group.create_dataset(key, data=str(value), dtype=h5py.string_dtype())


def plain_read(path):
    def convert(value):
        if isinstance(value, bytes):
            return value.decode("utf8")
        if isinstance(value, np.ndarray) and value.dtype.kind == "S":
            return [v.decode("utf8") if isinstance(v, bytes) else v for v in value]
        return value

    def decode(values):
        return [v.decode("utf8") if isinstance(v, bytes) else v for v in values]

    with h5py.File(path, "r") as f:
        result = {}
        stack = [(f["graph"], result)]
        while stack:
            group, current = stack.pop()
            for name, member in group.items():
                if isinstance(member, h5py.Group):
                    if "src" in member and "dst" in member:
                        current[name] = list(zip(decode(member["src"][()]), decode(member["dst"][()])))
                    else:
                        current[name] = {}
                        stack.append((member, current[name]))
                elif isinstance(member, h5py.Dataset):
                    current[name] = convert(member[()])
        return result


# ------------------------------------------------------------- measuring

def side_by_side(repeats, contenders):
    """Best time of each (name, run, output path or None), the contenders taking
    turns after one untimed round. An output is removed and the disk synced
    before each timed write, so that no write pays for the write-back of
    another."""
    best = {name: float("inf") for name, _, _ in contenders}
    for round in range(repeats + 1):
        for name, run, output in contenders:
            if output is not None:
                if os.path.exists(output):
                    os.remove(output)
                os.sync()
            start = time.perf_counter()
            run()
            if round:
                best[name] = min(best[name], time.perf_counter() - start)
    return best


def memory_status(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def start_peak() -> int:
    """Resets the peak resident size (Linux) and returns the current one."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    return memory_status("VmRSS")


def peak_since(baseline: int) -> int:
    return memory_status("VmHWM") - baseline


def child(*args) -> str:
    result = subprocess.run([sys.executable, __file__, *args], check=True, capture_output=True, text=True)
    return result.stdout.strip()


def report(title, rows):
    print(f"\n{title}")
    for row in rows:
        print("  " + row)


def bench_graphs(directory, sizes, repeats):
    for count in sizes:
        data = graph_dict(count)
        paths = {name: os.path.join(directory, f"{name}-{count}.zor")
                 for name in ("native", "not durable", "h5py", "plain")}
        writes = side_by_side(repeats, [
            ("native", lambda: native_write(paths["native"], data), paths["native"]),
            ("not durable", lambda: zs.write(paths["not durable"], Payload(data), durable=False),
             paths["not durable"]),
            ("h5py", lambda: h5py_write(paths["h5py"], data), paths["h5py"]),
            ("plain", lambda: plain_write(paths["plain"], data), paths["plain"]),
        ])
        reads = side_by_side(repeats, [
            ("native", lambda: native_read(paths["native"]), None),
            ("h5py", lambda: h5py_read(paths["native"]), None),
            ("plain", lambda: plain_read(paths["native"]), None),
        ])
        same_bytes = open(paths["native"], "rb").read() == open(paths["h5py"], "rb").read()
        datasets = count * 8 + 3
        report(f"{count} nodes ({datasets} datasets), best of {repeats} after a warm-up", [
            f"write  native {writes['native']:8.3f} s   _write_recursive {writes['h5py']:8.3f} s   "
            f"ratio {writes['h5py'] / writes['native']:5.2f}x   (plain h5py loop {writes['plain']:.3f} s, "
            f"ratio {writes['plain'] / writes['native']:.2f}x)",
            f"read   native {reads['native']:8.3f} s   _read_recursive  {reads['h5py']:8.3f} s   "
            f"ratio {reads['h5py'] / reads['native']:5.2f}x   (plain h5py loop {reads['plain']:.3f} s, "
            f"ratio {reads['plain'] / reads['native']:.2f}x)",
            f"fsync of file and directory (durable=True, the default): "
            f"{(writes['native'] - writes['not durable']) * 1e3:.1f} ms, "
            f"{writes['native'] / writes['not durable']:.3f}x a write without it",
            f"native per dataset: write {writes['native'] / datasets * 1e6:.1f} us, "
            f"read {reads['native'] / datasets * 1e6:.1f} us;  "
            f"native file byte-identical to h5py's: {same_bytes}",
        ])


def bench_member_order(directory, count, repeats):
    """Groups that keep their members' order against groups that do not (files
    written before), side by side: written by the same h5py loop, read natively."""
    data = graph_dict(count)
    paths = {name: os.path.join(directory, f"{name}-{count}.zor") for name in ("tracked", "name order")}
    writes = side_by_side(repeats, [
        ("tracked", lambda: plain_write(paths["tracked"], data), paths["tracked"]),
        ("name order", lambda: plain_write(paths["name order"], data, track_order=False), paths["name order"]),
    ])
    reads = side_by_side(repeats, [(name, lambda path=path: native_read(path), None) for name, path in paths.items()])
    sizes = {name: os.path.getsize(path) for name, path in paths.items()}
    report(f"{count} nodes: groups in creation order against name order, best of {repeats} after a warm-up", [
        f"plain h5py write  tracked {writes['tracked']:7.3f} s   name order {writes['name order']:7.3f} s   "
        f"ratio {writes['tracked'] / writes['name order']:.2f}x",
        f"native read       tracked {reads['tracked']:7.3f} s   name order {reads['name order']:7.3f} s   "
        f"ratio {reads['tracked'] / reads['name order']:.2f}x",
        f"file size         tracked {sizes['tracked'] / MiB:7.1f} MiB name order {sizes['name order'] / MiB:7.1f} MiB "
        f"ratio {sizes['tracked'] / sizes['name order']:.3f}x",
    ])


def bench_first_write(directory, count):
    rows = []
    times = {}
    for which in ("native", "h5py"):
        path = os.path.join(directory, f"first-{which}.zor")
        times[which] = float(child("--first-write", which, str(count), path))
    rows.append(f"native {times['native']:8.3f} s   _write_recursive {times['h5py']:8.3f} s   "
                f"ratio {times['h5py'] / times['native']:5.2f}x")
    report(f"first write of {count} nodes in a fresh process (each in its own child)", rows)


def bench_big_array(directory, mib, repeats):
    array = np.random.default_rng(1).standard_normal(mib * MiB // 4, dtype=np.float32)
    native_path = os.path.join(directory, "big.zor")
    plain_path = os.path.join(directory, "big.raw")

    def plain(durable):
        with open(plain_path, "wb") as f:
            f.write(memoryview(array))
            if durable:
                f.flush()
                os.fsync(f.fileno())

    h5py_path = os.path.join(directory, "big-h5py.zor")
    data = {"type": "Payload", "data": array}
    writes = side_by_side(repeats, [
        ("native", lambda: native_write(native_path, data), native_path),
        ("plain durable", lambda: plain(True), plain_path),
        ("native not durable", lambda: zs.write(native_path, Payload(data), durable=False), native_path),
        ("plain", lambda: plain(False), plain_path),
        ("h5py", lambda: h5py_write(h5py_path, {"data": array}), h5py_path),
    ])
    reads = side_by_side(repeats, [
        ("native", lambda: native_read(native_path), None),
        ("plain", lambda: np.fromfile(plain_path, dtype=np.float32), None),
        ("h5py", lambda: h5py_read(native_path), None),
    ])
    size = array.nbytes
    write_memory = int(child("--write-memory", str(mib), os.path.join(directory, "big-memory.zor")))
    read_memory = int(child("--read-memory", native_path))
    report(f"one {mib} MiB float32 array, best of {repeats} after a warm-up", [
        f"write  native {size / writes['native'] / MiB:7.0f} MiB/s   plain file write and fsync "
        f"{size / writes['plain durable'] / MiB:7.0f} MiB/s   native takes "
        f"{writes['native'] / writes['plain durable']:.2f}x the plain time",
        f"       durable=False {size / writes['native not durable'] / MiB:7.0f} MiB/s   plain file write "
        f"{size / writes['plain'] / MiB:7.0f} MiB/s   native takes "
        f"{writes['native not durable'] / writes['plain']:.2f}x the plain time   "
        f"(h5py {size / writes['h5py'] / MiB:.0f} MiB/s)",
        f"read   native {size / reads['native'] / MiB:7.0f} MiB/s   plain np.fromfile "
        f"{size / reads['plain'] / MiB:7.0f} MiB/s   native takes {reads['native'] / reads['plain']:.2f}x "
        f"the plain time   (h5py {size / reads['h5py'] / MiB:.0f} MiB/s)",
        f"memory peak above baseline: write {write_memory / MiB:.1f} MiB "
        f"({write_memory / size:.3f}x the array), read {read_memory / MiB:.1f} MiB "
        f"({read_memory / size:.3f}x the array)",
    ])


# ------------------------------------------------------------- child modes

def first_write(which, count, path):
    data = graph_dict(count)
    write = native_write if which == "native" else h5py_write
    start = time.perf_counter()
    write(path, data)
    print(time.perf_counter() - start)


def write_memory(mib, path):
    array = np.ones(mib * MiB // 4, dtype=np.float32)  # touched: resident
    baseline = start_peak()
    native_write(path, {"type": "Payload", "data": array})
    print(peak_since(baseline))


def read_memory(path):
    baseline = start_peak()
    data = native_read(path)
    assert data["data"].nbytes > 0
    print(peak_since(baseline))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, one repeat")
    parser.add_argument("--first-write", nargs=3, metavar=("WHICH", "NODES", "PATH"), help=argparse.SUPPRESS)
    parser.add_argument("--write-memory", nargs=2, metavar=("MIB", "PATH"), help=argparse.SUPPRESS)
    parser.add_argument("--read-memory", metavar="PATH", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.first_write:
        which, count, path = args.first_write
        return first_write(which, int(count), path)
    if args.write_memory:
        return write_memory(int(args.write_memory[0]), args.write_memory[1])
    if args.read_memory:
        return read_memory(args.read_memory)

    sizes, repeats, mib = ([100, 1000], 1, 16) if args.quick else ([1000, 10000], 3, 256)
    print(f"HDF5 {'.'.join(map(str, h5py.version.hdf5_version_tuple))} in h5py {h5py.__version__}; "
          f"native: HDF5 {zs.__hdf5_version__} linked into zor.ir.serialization")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as directory:
        bench_graphs(directory, sizes, repeats)
        bench_member_order(directory, sizes[-1], repeats)
        bench_first_write(directory, sizes[-1])
        bench_big_array(directory, mib, repeats)


if __name__ == "__main__":
    main()
