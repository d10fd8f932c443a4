"""Chunk codec benchmark: our encoder (write(compression=("gzip", level)))
against HDF5's own shuffle and deflate filters through h5py, zlib's
Huffman-only strategy and libdeflate, side by side in one run, on arrays of
four kinds (random, trained-like normal, quantised, ramp) in float32,
float16 and int8.

    scripts/bench.sh codec             # 16 MiB arrays (a few minutes)
    scripts/bench.sh codec --size 4    # smaller arrays, for a smoke test

Every codec works on the same chunks of about 1 MiB that write() makes (h5py
is given write()'s chunk shape). Ours and HDF5's are timed writing a whole
file, with the file's own I/O; zlib's and libdeflate's rows time the codec
alone, shuffle included, so they are the upper bound of what a writer built
on them could do. Sizes are the data's stored bytes. Prints rates and sizes
only; nothing here asserts a timing.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
import zlib
from typing import Callable, Dict, List, Tuple

import deflate  # libdeflate's Python binding
import h5py
import numpy as np

import zor.ir

MiB = 1024 * 1024
LEVELS = (1, 4, 9)


class Arrays:
    """The object write() stores: one array."""

    def __init__(self, array: np.ndarray) -> None:
        self.array = array

    def to_dict(self) -> dict:
        return {"w": self.array}


def arrays(size: int) -> Dict[str, np.ndarray]:
    """Every kind in every dtype, `size` bytes each, from one seed."""
    rng = np.random.default_rng(0)
    made = {}
    for dtype in (np.float32, np.float16, np.int8):
        count = size // np.dtype(dtype).itemsize
        if dtype is np.int8:
            kinds = {
                "random": rng.integers(-128, 128, count),
                "normal": np.clip(np.round(rng.normal(0, 24, count)), -128, 127),
                "quantised": rng.integers(-8, 8, count) * 16,
                "ramp": np.arange(count) % 256 - 128,
            }
        else:
            normal = rng.normal(0, 0.02, count)
            kinds = {
                "random": rng.random(count),
                "normal": normal,
                "quantised": np.round(normal * 127 / 0.06) / 127 * 0.06,  # 8-bit steps
                "ramp": np.linspace(-1, 1, count),
            }
        for kind, values in kinds.items():
            made[f"{kind} {np.dtype(dtype).name}"] = values.astype(dtype)
    return made


def timed(run: Callable[[], int], repeat: int) -> Tuple[float, int]:
    """The best time of `repeat` runs, and what the last one returned."""
    best, result = float("inf"), 0
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def stored_bytes(path: str) -> int:
    with h5py.File(path, "r") as f:
        return f["graph"]["w"].id.get_storage_size()


def chunk_shape(path: str) -> Tuple[int, ...]:
    with h5py.File(path, "r") as f:
        return f["graph"]["w"].chunks


def chunks_of(array: np.ndarray, shape: Tuple[int, ...]) -> List[np.ndarray]:
    """The array's chunks along its one dimension, the last one padded with zeros."""
    step = shape[0]
    padded = np.zeros(-(-array.size // step) * step, array.dtype)
    padded[: array.size] = array
    return [padded[i: i + step] for i in range(0, padded.size, step)]


def shuffled(chunk: np.ndarray) -> bytes:
    """HDF5's shuffle: byte b of every element, then byte b + 1."""
    return chunk.view(np.uint8).reshape(-1, chunk.itemsize).T.tobytes()


def measure(array: np.ndarray, folder: str, repeat: int) -> Dict[str, Tuple[float, int]]:
    """(seconds, stored bytes) of every codec on `array`."""
    ours_path = os.path.join(folder, "ours.zor")
    h5py_path = os.path.join(folder, "h5py.zor")
    results = {}

    def ours(level: int) -> Callable[[], int]:
        def run() -> int:
            zor.ir.write(ours_path, Arrays(array), compression=("gzip", level), durable=False)
            return stored_bytes(ours_path)
        return run

    for level in LEVELS:
        results[f"ours {level}"] = timed(ours(level), repeat)
    shape = chunk_shape(ours_path)

    def hdf5(level: int) -> Callable[[], int]:
        def run() -> int:
            with h5py.File(h5py_path, "w") as f:
                f.create_dataset("graph/w", data=array, chunks=shape, shuffle=array.itemsize > 1,
                                 compression="gzip", compression_opts=level)
            return stored_bytes(h5py_path)
        return run

    for level in LEVELS:
        results[f"HDF5 {level}"] = timed(hdf5(level), repeat)

    chunks = chunks_of(array, shape)

    def codec(compress: Callable[[bytes], bytes]) -> Callable[[], int]:
        return lambda: sum(len(compress(shuffled(chunk))) for chunk in chunks)

    def huffman_only(data: bytes) -> bytes:
        stream = zlib.compressobj(1, zlib.DEFLATED, 15, 9, zlib.Z_HUFFMAN_ONLY)
        return stream.compress(data) + stream.flush()

    results["zlib Huffman-only"] = timed(codec(huffman_only), repeat)
    for level in LEVELS + (12,):
        results[f"libdeflate {level}"] = timed(codec(lambda data, level=level: deflate.zlib_compress(data, level)),
                                               repeat)
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=16, help="MiB per array (default 16)")
    parser.add_argument("--repeat", type=int, default=2, help="runs per codec; the best counts (default 2)")
    options = parser.parse_args()
    size = options.size * MiB
    verdicts = []
    with tempfile.TemporaryDirectory() as folder:
        for name, array in arrays(size).items():
            results = measure(array, folder, options.repeat)
            print(f"\n{name}, {size / MiB:.0f} MiB")
            print(f"  {'codec':<20}{'MB/s':>8}{'stored MiB':>12}{'of ours 4':>11}")
            ours_time, ours_size = results["ours 4"]
            for codec, (seconds, stored) in results.items():
                print(f"  {codec:<20}{size / 1e6 / seconds:>8.0f}{stored / MiB:>12.2f}{stored / ours_size:>11.3f}")
            # libdeflate replaces our encoder where a level of it is as small as
            # ours at level 4 and at least as fast, with its codec time alone.
            better = [codec for codec, (seconds, stored) in results.items()
                      if codec.startswith("libdeflate") and stored <= ours_size and seconds <= ours_time]
            verdicts.append(f"{name}: {', '.join(better) if better else 'none'}")
    print("\nlibdeflate levels as small as ours at level 4 and as fast:")
    for verdict in verdicts:
        print(f"  {verdict}")


if __name__ == "__main__":
    main()
