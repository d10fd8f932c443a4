"""Big models: arrays read as views of a memory map of the file."""

import gc
import os
import struct
import subprocess
import sys

import h5py
import numpy as np
import pytest

import zor.ir
from helpers import Payload, assert_same, h5py_file

BIG = 64 * 1024  # the smallest array that is mapped


def filled(dtype, nbytes=BIG, shape=None):
    """An array of `dtype` of `nbytes` bytes with varied values."""
    dtype = np.dtype(dtype)
    values = np.arange(nbytes // dtype.itemsize) % 251
    if dtype.kind == "b":
        values = values % 2
    elif dtype.kind == "c":
        values = values + 1j * (values % 7)
    return values.astype(dtype).reshape(shape or -1)


def mapped_file(array):
    """The file whose memory map holds the array's data (as /proc/self/maps
    names it), or None."""
    address = array.__array_interface__["data"][0]
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            start, end = (int(x, 16) for x in fields[0].split("-"))
            if start <= address < end:
                return fields[5].strip() if len(fields) == 6 else None
    return None


def mappings_of(path):
    with open("/proc/self/maps") as maps:
        return [line for line in maps if os.path.realpath(path) in line]


def write_payload(path, **entries):
    zor.ir.write(path, Payload({"type": "Payload", **entries}))
    return path


# (id, value written, whether read(mmap=True) maps it)
MAPPED_VALUES = [
    *[(f"{np.dtype(t).name} ({t})", filled(t), True)
      for t in ("?", "i1", "u1", "<i2", "<u2", "<i4", "<u4", "<i8", "<u8", "<f2", "<f4", "<f8", "<c8", "<c16")],
    ("3-d float32", filled("<f4", shape=(16, 32, 32)), True),
    ("several MiB", filled("<f8", 4 << 20, (512, 1024)), True),
    ("just below the size", filled("<f4", BIG - 4), False),
    ("big-endian", filled(">f8"), False),
    ("fixed-length bytes", np.array([b"abcdefgh"] * (BIG // 8)), False),
    ("texts", ["a", "b"], False),
    ("scalar", np.float64(2.5), False),
]


@pytest.mark.skipif(sys.byteorder != "little", reason="the table's byte orders are a little-endian host's")
class TestMappedValues:
    def test_equal_to_full_read_and_mapped_where_they_qualify(self, tmp_path):
        path = write_payload(tmp_path / "all.zor", **{case[0]: case[1] for case in MAPPED_VALUES})
        full, mapped = zor.ir.read(path), zor.ir.read(path, mmap=True)
        assert_same(mapped, full)
        for name, _, expect_mapped in MAPPED_VALUES:
            value = mapped[name]
            if expect_mapped:
                assert not value.flags.writeable and not value.flags.owndata, name
                assert mapped_file(value) == os.path.realpath(path), name
                with pytest.raises(ValueError, match="read-only"):
                    value[0] = value[1]
            elif isinstance(value, np.ndarray):
                assert value.flags.owndata, name

    @pytest.mark.parametrize("options", [{"chunks": (4096,)}, {"compression": "gzip", "shuffle": True},
                                         {"fletcher32": True}, {"compact": True}],
                             ids=["chunked", "gzip", "fletcher32", "compact"])
    def test_other_storage_is_read_as_usual(self, tmp_path, options):
        array = filled("<f4")
        if options.get("compact"):
            array = filled("<f4", 4096)  # compact data lives in the object header: at most 64 KiB
            options = {"dcpl": compact_layout()}

        def fill(f, graph):
            graph.create_dataset("w", data=array, **options)

        value = zor.ir.read(h5py_file(tmp_path / "other.zor", fill), mmap=True)["w"]
        assert value.flags.owndata and value.flags.writeable
        assert_same(value, array)


def compact_layout():
    dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
    dcpl.set_layout(h5py.h5d.COMPACT)
    return dcpl


class TestMappingLifetime:
    def test_views_survive_the_file_being_replaced(self, tmp_path):
        original = filled("<f4", 1 << 20)
        path = write_payload(tmp_path / "m.zor", w=original)
        view = zor.ir.read(path, mmap=True)["w"]
        write_payload(path, w=np.zeros_like(original))
        assert mapped_file(view) == os.path.realpath(path) + " (deleted)"
        assert_same(view, original)
        assert not zor.ir.read(path)["w"].any()

    def test_mapping_ends_with_the_last_view(self, tmp_path):
        path = write_payload(tmp_path / "m.zor", a=filled("<f4"), b=filled("<i8"))
        data = zor.ir.read(path, mmap=True)
        assert len(mappings_of(path)) == 1  # one mapping for the whole file
        a = data.pop("a")
        del data
        gc.collect()
        assert mappings_of(path)
        del a
        assert mappings_of(path) == []

    def test_nothing_mapped_without_big_arrays(self, tmp_path):
        path = write_payload(tmp_path / "small.zor", w=np.ones(8))
        data = zor.ir.read(path, mmap=True)
        assert data["w"].flags.owndata and mappings_of(path) == []

    def test_option_is_keyword_only(self, tmp_path):
        path = write_payload(tmp_path / "m.zor")
        with pytest.raises(TypeError, match="at most 1 positional argument"):
            zor.ir.read(path, True)
        assert zor.ir.read(path, mmap=False) == zor.ir.read(path, mmap=0) == {"type": "Payload"}


def lif(n):
    return zor.ir.LIF(tau=np.full(n, 20.0), r=np.full(n, 20.0), v_leak=np.zeros(n), v_threshold=np.ones(n))


F32 = BIG // 4  # float32 elements in a big array

# (node, its array fields that are big enough to be mapped)
NODES = [
    (zor.ir.Affine(filled("<f4", shape=(128, 128)), np.zeros(128, np.float32)), ["weight"]),
    (zor.ir.SpikingAffine(filled("<f4", shape=(128, 128)), np.zeros(128, np.float32), "rate", 8, 16), ["weight"]),
    (zor.ir.Conv2d(filled("<f4", shape=(F32, 1, 1, 1)), filled("<f4")), ["weight", "bias"]),
    (zor.ir.SepConv2d(filled("<f4", shape=(F32, 1, 1, 1)), filled("<f4", shape=(1, F32, 1, 1))),
     ["depthwise_weight", "pointwise_weight"]),
    (zor.ir.PReLU(F32, filled("<f4")), ["weight"]),
    (zor.ir.BatchNorm1d(F32, filled("<f4"), filled("<f4"), filled("<f4"), filled("<f4") + 1),
     ["weight", "bias", "running_mean", "running_var"]),
    (zor.ir.BatchNorm2d(F32, filled("<f4"), filled("<f4"), filled("<f4"), filled("<f4") + 1),
     ["weight", "bias", "running_mean", "running_var"]),
    (zor.ir.LayerNorm((F32,), filled("<f4"), filled("<f4")), ["weight", "bias"]),
    (lif(BIG // 8), ["tau", "r", "v_leak", "v_threshold"]),
]


class TestNodesKeepMappedArrays:
    @pytest.mark.parametrize("node, fields", NODES, ids=[type(node).__name__ for node, _ in NODES])
    def test_fields_are_the_mapped_views(self, tmp_path, node, fields):
        graph = zor.ir.Graph()
        graph.add_node("n", node)
        path = tmp_path / "node.zor"
        zor.ir.write(path, graph)
        back = zor.ir.read(path, mmap=True).nodes["n"]
        assert back.equals(node)
        for field in fields:
            value = getattr(back, field)
            assert not value.flags.writeable and mapped_file(value) == os.path.realpath(path), field


def layout_message(data, offset, size):
    """Where the contiguous layout message (version 3) of the data at `offset` is."""
    message = struct.pack("<BBQQ", 3, 1, offset, size)
    assert data.count(message) == 1
    return data.find(message)


def read_in_child(path, **options):
    """zor.ir.read(path, **options) in a child process: "ok" or the error as "Type: message"."""
    code = ("import sys, zor.ir\n"
            "try:\n    zor.ir.read(sys.argv[1], **eval(sys.argv[2]))\n    print('ok', end='')\n"
            "except Exception as error:\n    print(f'{type(error).__name__}: {error}', end='')\n")
    child = subprocess.run([sys.executable, "-c", code, str(path), repr(options)],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, f"the reader died ({child.returncode}): {child.stderr}"
    return child.stdout


class TestDataOutsideTheFile:
    @pytest.mark.parametrize("place", [
        lambda end, size: end + 4096,         # starts past the end
        lambda end, size: end - size // 2,    # runs past the end
        lambda end, size: (1 << 64) - 4096,   # offset + size overflows
    ], ids=["beyond", "across", "overflowing"])
    def test_refused_with_mmap(self, tmp_path, place):
        path = write_payload(tmp_path / "bad.zor", w=filled("<f4"))
        with h5py.File(path) as f:
            offset, size = f["graph/w"].id.get_offset(), f["graph/w"].id.get_storage_size()
        data = bytearray(path.read_bytes())
        moved = place(len(data), size)
        struct.pack_into("<Q", data, layout_message(data, offset, size) + 2, moved)
        path.write_bytes(data)
        # HDF5 itself refuses data placed past the end of the file as it opens
        # the dataset; the memory map checks again, in case the file shrank since.
        for mmap in (True, False):
            assert read_in_child(path, mmap=mmap) == f"ZORFormatError: Cannot read file as HDF5: {path}"


# ---------------------------------------------------------------- write options

rng = np.random.default_rng(7)


def fibonacci_bytes(seed=0):
    """uint8 values 0 to 26 in random order, value k fib(k + 1) times: a
    plain Huffman code of them needs 26 bits, deflate allows 15."""
    counts = [1, 1]
    while len(counts) < 27:
        counts.append(counts[-1] + counts[-2])
    values = np.repeat(np.arange(27, dtype=np.uint8), counts)
    return np.random.default_rng(seed).permutation(values)


def mixed_planes(count=300_000):
    """float32 whose four byte planes want four codings: skewed bytes
    (literals), zeros (a search for repeats), uniform bytes (stored) and
    the Fibonacci bytes (literals with their lengths limited)."""
    planes = np.zeros((count, 4), np.uint8)
    planes[:, 0] = np.minimum(rng.geometric(0.2, count), 255)
    planes[:, 2] = rng.integers(0, 256, count)
    planes[:, 3] = np.resize(fibonacci_bytes(), count)
    return planes.view("<f4").reshape(count)


# (id, array): the big arrays that the options filter, in shapes whose chunks
# split differently (a whole array, rows, part of a row, uneven edges).
FILTERED_ARRAYS = [
    ("random float32 weights", rng.normal(0, 0.02, (512, 1024)).astype(np.float32)),
    ("zeros", np.zeros((700, 900), np.float32)),
    ("quantised", (rng.integers(-8, 8, (512, 1024)) / 8).astype(np.float32)),
    ("odd 3-d uint8", rng.integers(0, 255, (3, 33333, 7), dtype=np.uint8)),
    ("complex with an uneven edge", (rng.normal(size=100003) + 1j).astype(np.complex128)),
    ("rows longer than a chunk", rng.normal(size=(2, 300001)).astype(np.float64)),
    ("big-endian", np.arange(70001, dtype=">f8")),
    ("float16", rng.normal(size=40000).astype(np.float16)),
    ("bool", rng.integers(0, 2, 80000).astype(bool)),
    ("int64 just at the size", np.arange(BIG // 8, dtype=np.int64)),
    ("byte planes of every kind", mixed_planes()),
    ("bytes with long codes", fibonacci_bytes()),
    ("a ramp of evenly spread bytes", np.arange(1 << 19, dtype=np.uint8)),
    ("a tiled gradient", (np.add.outer(np.arange(512), np.arange(512)) % 256).astype(np.uint8)),
    ("every bit set", np.full((300, 301), 255, np.uint8)),  # Fletcher-32's sums: multiples of 65535
]

# Values the options leave as they are: small arrays, scalars, texts.
UNFILTERED = {"small": np.arange(100.0), "scalar": np.float32(1), "text": "t", "texts": ["a", "b"],
              "bytes": np.array([b"abcdefgh"] * (BIG // 8))}

OPTIONS = [
    ({"compression": "gzip"}, 4, False),
    ({"compression": ("gzip", 1)}, 1, False),
    ({"compression": ("gzip", 9), "checksum": False}, 9, False),
    ({"checksum": True}, None, True),
    ({"compression": "gzip", "checksum": True}, 4, True),
]


class TestWriteOptions:
    @pytest.mark.parametrize("options, level, checksum", OPTIONS, ids=[repr(o[0]) for o in OPTIONS])
    def test_round_trip_through_both_readers(self, tmp_path, options, level, checksum):
        from zor.ir.serialization import _read_recursive

        data = {"type": "Payload", **dict(FILTERED_ARRAYS), **UNFILTERED}
        path = tmp_path / "filtered.zor"
        zor.ir.write(path, Payload(data), **options)
        expected = zor.ir.read(write_payload(tmp_path / "plain.zor", **data))
        assert_same(zor.ir.read(path), expected)
        assert_same(zor.ir.read(path, mmap=True), expected)
        with h5py.File(path) as f:
            assert_same(_read_recursive(f["graph"]), expected)
            for name, array in FILTERED_ARRAYS:
                dataset = f["graph"][name]
                assert (dataset.compression, dataset.compression_opts) == (
                    ("gzip", level) if level else (None, None)), name
                assert dataset.shuffle == bool(level and array.itemsize > 1), name
                assert dataset.fletcher32 == checksum, name
                chunk_bytes = np.prod(dataset.chunks) * array.itemsize
                assert chunk_bytes <= 1 << 20 and (chunk_bytes >= 1 << 19 or chunk_bytes == array.nbytes), name
            for name in UNFILTERED:
                if isinstance(f["graph"][name], h5py.Dataset):
                    assert f["graph"][name].chunks is None, name

    # The ramps spread their bytes evenly, as random bytes do, but repeat.
    @pytest.mark.parametrize("name, smaller_by", [("zeros", 100), ("quantised", 4), ("int64 just at the size", 10),
                                                  ("a ramp of evenly spread bytes", 50), ("a tiled gradient", 20)])
    def test_compressible_weights_shrink(self, tmp_path, name, smaller_by):
        array = dict(FILTERED_ARRAYS)[name]
        zor.ir.write(tmp_path / "gzip.zor", Payload({"type": "Payload", "w": array}), compression="gzip")
        with h5py.File(tmp_path / "gzip.zor") as f:
            assert f["graph"]["w"].id.get_storage_size() * smaller_by <= array.nbytes

    def test_skewed_bytes_come_near_their_entropy(self, tmp_path):
        array = fibonacci_bytes()
        _, counts = np.unique(array, return_counts=True)
        entropy_bytes = -(counts * np.log2(counts / array.size)).sum() / 8
        zor.ir.write(tmp_path / "gzip.zor", Payload({"type": "Payload", "w": array}), compression="gzip")
        with h5py.File(tmp_path / "gzip.zor") as f:
            assert f["graph"]["w"].id.get_storage_size() <= 1.05 * entropy_bytes + 1024

    def test_defaults_write_the_same_bytes(self, tmp_path):
        data = {"type": "Payload", **dict(FILTERED_ARRAYS)}
        zor.ir.write(tmp_path / "a.zor", Payload(data))
        zor.ir.write(tmp_path / "b.zor", Payload(data), compression=None, checksum=False)
        assert (tmp_path / "a.zor").read_bytes() == (tmp_path / "b.zor").read_bytes()

    @pytest.mark.parametrize("compression", ["zip", "GZIP", ("gzip",), ("gzip", 0), ("gzip", 10), ("gzip", 4.0),
                                             ("gzip", True), ["gzip", 4], ("lzf", 4), 4, b"gzip"])
    def test_invalid_compression(self, tmp_path, compression):
        with pytest.raises(ValueError) as error:
            zor.ir.write(tmp_path / "x.zor", Payload({}), compression=compression)
        assert str(error.value) == ("compression must be None, 'gzip' or ('gzip', level) with a level from 1 to 9, "
                                    f"got {compression!r}")
        assert list(tmp_path.iterdir()) == []

    def test_options_are_keyword_only(self, tmp_path):
        with pytest.raises(TypeError, match="at most 2 positional arguments"):
            zor.ir.write(tmp_path / "x.zor", Payload({}), "gzip")


def flip_byte_in_first_chunk(path, name):
    with h5py.File(path) as f:
        chunk = f["graph"][name].id.get_chunk_info(0)
    data = bytearray(path.read_bytes())
    data[chunk.byte_offset + chunk.size // 2] ^= 0x04
    path.write_bytes(data)


class TestCorruptFilteredData:
    @pytest.mark.parametrize("options, detail", [
        # HDF5 reports the Fletcher-32 filter's refusal without a detail of its own.
        ({"checksum": True}, "filter returned failure during read"),
        ({"compression": "gzip", "checksum": True}, "filter returned failure during read"),
        ({"compression": "gzip"}, "filter returned failure during read"),  # zlib's own check, without a checksum
    ], ids=["checksum", "gzip and checksum", "gzip"])
    def test_flipped_byte_names_the_dataset(self, tmp_path, options, detail):
        path = tmp_path / "flipped.zor"
        zor.ir.write(path, Payload({"type": "Payload", "w": dict(FILTERED_ARRAYS)["random float32 weights"]}),
                     **options)
        flip_byte_in_first_chunk(path, "w")
        code = ("import sys, zor.ir\n"
                "try:\n    zor.ir.read(sys.argv[1])\n"
                "except Exception as error:\n"
                "    print(type(error).__name__, error, '|', type(error.__cause__).__name__, error.__cause__, end='')\n")
        child = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60)
        assert child.returncode == 0, child.stderr
        assert child.stdout == (f"ZORFormatError Invalid ZOR-IR file: '/graph/w' fails its checksum or cannot be "
                                f"decompressed in {path} | OSError Unable to read dataset ({detail})")


# ---------------------------------------------------------------- layout without data

def h5py_layout(path):
    """The layout h5py reports for the members of /graph: the oracle."""
    def walk(group):
        result = {}
        for name, member in group.items():
            if isinstance(member, h5py.Group):
                result[name] = walk(member)
            else:
                result[name] = (member.shape, member.dtype, member.size * member.dtype.itemsize,
                                member.id.get_storage_size())
        return result

    with h5py.File(path) as f:
        return walk(f["graph"])


class TestReadLayout:
    @pytest.mark.parametrize("options", [{}, {"compression": "gzip", "checksum": True}], ids=["plain", "filtered"])
    def test_agrees_with_h5py(self, tmp_path, options):
        from helpers import VALUE_KINDS

        data = {"type": "Payload", **{case[0]: case[1] for case in VALUE_KINDS}, **dict(FILTERED_ARRAYS)}
        path = tmp_path / "all.zor"
        zor.ir.write(path, Payload(data), **options)
        layout = zor.ir.read_layout(path)

        def plain(tree):
            return {name: plain(member) if isinstance(member, dict) else tuple(member)
                    for name, member in tree.items()}

        assert plain(layout) == h5py_layout(path)
        weights = layout["random float32 weights"]
        assert isinstance(weights, zor.ir.DatasetLayout) and weights.shape == (512, 1024)
        assert (weights.stored_nbytes < weights.nbytes) == bool(options)

    def test_read_only_kinds_agree_with_h5py(self, tmp_path):
        from helpers import READ_ONLY_KINDS

        def fill(f, graph):
            for name, make, _ in READ_ONLY_KINDS:
                make(graph.create_group(name))

        path = h5py_file(tmp_path / "kinds.zor", fill)
        layout = zor.ir.read_layout(path)
        oracle = h5py_layout(path)
        for name, _, _ in READ_ONLY_KINDS:
            assert {key: tuple(value) for key, value in layout[name].items()} == oracle[name], name
        read = zor.ir.read(path)
        assert layout["compound"]["x"].dtype == read["compound"]["x"].dtype
        assert layout["sequences"]["x"].dtype == object

    def test_reads_no_data(self, tmp_path):
        """A file whose data fails its checksum still has a layout."""
        weights = dict(FILTERED_ARRAYS)["random float32 weights"]
        checksummed = tmp_path / "flipped.zor"
        zor.ir.write(checksummed, Payload({"type": "Payload", "w": weights}), checksum=True)
        flip_byte_in_first_chunk(checksummed, "w")
        assert read_in_child(checksummed, layout=True) == "ok"
        assert read_in_child(checksummed, layout=True, mmap=True) == "ok"
        assert read_in_child(checksummed, mmap=True).startswith("ZORFormatError: Invalid ZOR-IR file: '/graph/w' ")

    @pytest.mark.parametrize("fill", [
        lambda f, graph: graph.__setitem__("link", h5py.SoftLink("/version")),
        lambda f, graph: graph.create_dataset("v", shape=(2,), dtype=[("a", "i4"), ("b", h5py.ref_dtype)]),
        lambda f, graph: graph.create_dataset("n", data=h5py.Empty("f4")),
        lambda f, graph: graph.create_dataset("x", shape=(4,), dtype="f4", external=[("raw.bin", 0, 16)]),
    ], ids=["soft link", "compound", "null dataspace", "external storage"])
    def test_refuses_what_read_refuses(self, tmp_path, fill):
        from zor.ir.serialization import ZORFormatError

        path = h5py_file(tmp_path / "bad.zor", fill)
        with pytest.raises(ZORFormatError) as by_read:
            zor.ir.read(path)
        with pytest.raises(ZORFormatError) as by_layout:
            zor.ir.read_layout(path)
        assert str(by_layout.value) == str(by_read.value)


class TestInfoCommand:
    def test_lists_every_dataset(self, tmp_path, capsys):
        from zor.ir.__main__ import main

        path = tmp_path / "net.zor"
        graph = zor.ir.Graph(metadata={"name": "big"})
        graph.add_node("fc", zor.ir.Affine(np.zeros((256, 1024), np.float32), np.zeros(256, np.float32)))
        zor.ir.write(path, graph, compression="gzip")
        assert main(["info", "--datasets", str(path)]) == 0
        lines = capsys.readouterr().out.splitlines()
        assert lines[0] == f"{path} (format version 0.0.1)"
        rows = {line.split()[0]: line.split()[1:] for line in lines[1:-1]}
        assert rows["/graph/nodes/fc/weight"][:4] == ["float32", "256x1024", "1.0", "MiB"]
        assert rows["/graph/nodes/fc/weight"][4] == "(stored"
        assert rows["/graph/nodes/fc/bias"] == ["float32", "256", "1.0", "KiB"]
        assert rows["/graph/metadata/name"] == ["object", "scalar", "8", "B"]
        assert list(rows) == ["/graph/type", "/graph/nodes/fc/type", "/graph/nodes/fc/weight",
                              "/graph/nodes/fc/bias", "/graph/edges/src", "/graph/edges/dst",
                              "/graph/metadata/name"]  # as written
        assert lines[-1].startswith(f"  {len(rows)} datasets: ")

    def test_missing_file(self, tmp_path, capsys):
        from zor.ir.__main__ import main

        with pytest.raises(SystemExit) as exit:
            main(["info", str(tmp_path / "none.zor")])
        assert exit.value.code == 1
        assert capsys.readouterr().err == f"zor-ir: error: ZOR-IR file not found: {tmp_path / 'none.zor'}\n"
