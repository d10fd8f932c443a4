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
        assert read_in_child(path, mmap=True) == (
            f"ZORFormatError: Invalid ZOR-IR file: '/graph/w' has its data beyond the end of the file "
            f"({size} bytes at offset {moved}, the file holds {len(data)}) in {path}")
