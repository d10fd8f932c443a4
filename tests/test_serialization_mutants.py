"""Seeded mutations of three files: one written by write, one whose groups
keep their links densely (h5py with track_order=True) and one written with
h5py's libver="latest". Each mutant is read (read, read_layout) in a child
process with a time limit and an address-space cap: it must give data or a
clean exception (ZORFormatError, OSError, ValueError, a stored text that is
not UTF-8), never a signal, a hang, a MemoryError or any other exception.
The counts per outcome are printed at the end of the run."""

import collections
import random
import struct

import h5py
import numpy as np
import pytest

import zor.ir
from helpers import Payload
from hostile import CLEAN, UNDER_ASAN, outcomes_in_children, record_row

# The children run under an address-space cap, which ASan cannot run under.
pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="ASan cannot run under an address-space limit")

MUTANTS_PER_SEED = 1000
CALLS = [("read", {"max_array_bytes": 64 << 20}), ("read_layout", {})]
MEMORY_LIMIT = 3 << 30


def written_seed(path):
    """Strings, nested groups, pairs, numbers and arrays, one big array compressed in chunks."""
    zor.ir.write(path, Payload({
        "type": "Payload", "name": "net", "texts": ["a", "bc", "déf"], "edges": [("a", "b"), ("c", "d")],
        "nodes": {"fc": {"weight": np.arange(12, dtype=np.float32).reshape(3, 4), "bias": np.zeros(3),
                         "kernel": (3, 3), "spiking": True, "metadata": {"origin": "seed"}}},
        "big": np.arange(20000, dtype=np.float32) % 7, "count": 3, "rate": 0.5}),
        compression="gzip", checksum=True)
    return path


def dense_seed(path):
    """/graph and /graph/sub track creation order with more links than fit their headers."""
    with h5py.File(path, "w") as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        graph = f.create_group("graph", track_order=True)
        graph.create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        for i in range(24):
            graph[f"m{i:02d}"] = np.arange(i + 1, dtype=np.int16)
        graph.create_dataset("texts", data=np.array(["x", "yz"], dtype=object), dtype=h5py.string_dtype())
        sub = graph.create_group("sub", track_order=True)
        for i in range(12):
            sub[f"k{i}"] = float(i)
    return path


def latest_seed(path):
    """New-style groups and headers, chunk indexes of every kind, filters."""
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        graph = f.create_group("graph")
        graph.create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        graph.create_dataset("fixed", data=np.arange(4000.0).reshape(40, 100), chunks=(10, 50), compression="gzip",
                             shuffle=True, fletcher32=True)
        graph.create_dataset("extensible", data=np.arange(100, dtype=np.int32), chunks=(10,), maxshape=(None,))
        graph.create_dataset("btree", data=np.ones((6, 6), np.uint8), chunks=(2, 3), maxshape=(None, None))
        graph.create_dataset("single", data=np.arange(30, dtype=np.int64), chunks=(30,), compression="gzip")
        graph.create_dataset("texts", data=np.array(["p", "qr"], dtype=object), dtype=h5py.string_dtype())
        many = graph.create_group("many")
        for i in range(12):
            many[f"n{i:02d}"] = i
    return path


SEEDS = [("write", written_seed), ("track_order", dense_seed), ("libver latest", latest_seed)]


def raw_data(path):
    """(start, end) of each dataset's raw data in the file."""
    ranges = []

    def visit(name, item):
        if not isinstance(item, h5py.Dataset):
            return
        offset = item.id.get_offset()
        if offset is not None:
            ranges.append((offset, offset + item.id.get_storage_size()))
        elif item.chunks:
            for i in range(item.id.get_num_chunks()):
                chunk = item.id.get_chunk_info(i)
                ranges.append((chunk.byte_offset, chunk.byte_offset + chunk.size))

    with h5py.File(path) as f:
        f.visititems(visit)
    return ranges


def metadata_positions(path, size):
    """Every position in the file outside raw data: where HDF5 reads structure."""
    raw = np.zeros(size, bool)
    for start, end in raw_data(path):
        raw[start:end] = True
    return np.flatnonzero(~raw)


# The signatures that open the structures HDF5 follows: B-trees, symbol table nodes, heaps,
# object headers.
SIGNATURES = [b"TREE", b"SNOD", b"HEAP", b"GCOL", b"OHDR", b"OCHK", b"FRHP", b"FHDB", b"FHIB", b"BTHD", b"BTIN",
              b"BTLF", b"FAHD", b"FADB", b"EAHD", b"EAIB", b"EADB"]


def structure_positions(data):
    """The first 64 bytes of every structure that opens with a signature."""
    positions = set()
    for signature in SIGNATURES:
        at = data.find(signature)
        while at >= 0:
            positions.update(range(at, min(at + 64, len(data))))
            at = data.find(signature, at + 1)
    return sorted(positions)


# 8-byte values that structures hold: zero, one, all ones, the file's size and half of it, large
# counts and sizes.
def interesting(size):
    return [0, 1, 0xFF, (1 << 64) - 1, size, size // 2, 1 << 32, 1 << 40, (1 << 63) + 1, 4096]


def mutate(data, rng, structures, metadata):
    """1 to 3 mutations of `data`, mostly at the opening of structures and elsewhere outside raw
    data: the mutant and what was done."""
    data, done = bytearray(data), []
    for _ in range(rng.choice((1, 1, 2, 3))):
        where = rng.random()
        at = int(rng.choice(structures if where < 0.4 else metadata)) if where < 0.85 else rng.randrange(len(data))
        kind = rng.choice(("flip", "byte", "value", "copy", "truncate"))
        if kind == "flip":
            data[at] ^= 1 << rng.randrange(8)
            done.append(f"flip bit of byte {at}")
        elif kind == "byte":
            data[at] = rng.randrange(256)
            done.append(f"byte {at} = {data[at]}")
        elif kind == "value":
            value = rng.choice(interesting(len(data)))
            data[at:at + 8] = struct.pack("<Q", value)[:len(data) - at]
            done.append(f"8 bytes at {at} = {value}")
        elif kind == "copy":
            source = rng.randrange(len(data) - 8)
            data[at:at + 8] = data[source:source + 8][:len(data) - at]
            done.append(f"8 bytes at {at} from {source}")
        else:
            del data[at:]
            done.append(f"truncated at {at}")
            break
    return bytes(data), done


@pytest.mark.parametrize("make", [seed[1] for seed in SEEDS], ids=[seed[0] for seed in SEEDS])
def test_mutants_read_cleanly(tmp_path, make):
    name = next(seed[0] for seed in SEEDS if seed[1] is make)
    seed = make(tmp_path / "seed.zor")
    data = seed.read_bytes()
    structures, metadata = structure_positions(data), metadata_positions(seed, len(data))
    rng = random.Random(f"zor-ir mutants: {name}")
    paths, mutations = [], []
    for i in range(MUTANTS_PER_SEED):
        mutant, done = mutate(data, rng, structures, metadata)
        paths.append(tmp_path / f"mutant{i:03d}.zor")
        paths[-1].write_bytes(mutant)
        mutations.append(done)

    outcomes = outcomes_in_children(paths, CALLS, MEMORY_LIMIT, timeout_per_file=0.5)
    counts = [collections.Counter(outcome[c] if outcome[c] in CLEAN else "failed" for outcome in outcomes)
              for c in range(len(CALLS))]
    for call, tally in zip(CALLS, counts):
        record_row(f"{MUTANTS_PER_SEED} mutants per seed: outcomes", TABLE_HEADER,
                   f"{name:<14}{call[0]:<12}" + "".join(f"{tally[kind]:>{len(kind) + 2}}" for kind in COLUMNS))
    failures = [f"mutant {i} ({'; '.join(mutations[i])}): {outcome}" for i, outcome in enumerate(outcomes)
                if not set(outcome) <= CLEAN]
    assert not failures, "\n".join(failures)
    assert counts[0]["data"] and counts[0]["ZORFormatError"]  # the mutations reach both sides


# Failed: killed by a signal, hung, MemoryError or any other exception.
COLUMNS = ["data", "ZORFormatError", "OSError", "ValueError", "UnicodeDecodeError", "failed"]
TABLE_HEADER = f"{'seed':<14}{'call':<12}" + "".join(f"  {kind}" for kind in COLUMNS)
