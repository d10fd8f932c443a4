"""Corrupt variable-length strings and sequences and group heaps: files written, then
patched where parsing them says, must be refused cleanly. HDF5 itself would
copy out of bounds or loop forever on them, so each read runs in a child."""

import ast
import itertools
import os
import pathlib
import struct
import subprocess
import sys
import threading

import h5py
import numpy as np
import pytest

import zor.ir
from hdf5_bytes import local_heap
from helpers import Payload, h5py_file
from hostile import outcome_in_child
from zor.ir.serialization import ZORFormatError

ELEMENT = struct.Struct("<IQI")  # length, collection address, object index (8-byte addresses)
OBJECT = struct.Struct("<HH4xQ")  # index, reference count, size


class RawStrings:
    """The raw bytes of a file and the layout of one of its string datasets."""

    def __init__(self, path, member):
        self.path = path
        with h5py.File(path) as f:
            assert f.id.get_create_plist().get_sizes() == (8, 8)
            self.offset = f[member].id.get_offset()
        self.data = bytearray(path.read_bytes())

    def element(self, i):
        return ELEMENT.unpack_from(self.data, self.offset + i * ELEMENT.size)

    def set_element(self, i, **fields):
        values = dict(zip(("length", "address", "index"), self.element(i)), **fields)
        ELEMENT.pack_into(self.data, self.offset + i * ELEMENT.size, *values.values())

    def objects(self, address):
        """{index: position of its header} of the collection at `address`."""
        size, at, found = struct.unpack_from("<Q", self.data, address + 8)[0], address + 16, {}
        while at + OBJECT.size <= address + size:
            index, _, object_size = OBJECT.unpack_from(self.data, at)
            found[index] = at
            if index == 0:
                return found
            at += OBJECT.size + (object_size + 7) // 8 * 8
        return found

    def object_of(self, i):
        _, address, index = self.element(i)
        return address, self.objects(address)[index]

    def patch(self, position, fmt, value):
        struct.pack_into(fmt, self.data, position, value)

    def save(self):
        self.path.write_bytes(self.data)


def grow_object(f):
    address, header = f.object_of(2)
    f.patch(header + 8, "<Q", 7)
    return f"element 2: heap object {f.element(2)[2]} of the collection at {address} holds 7 bytes, not 3 items of 1"


def overrun_collection(f):
    address, header = f.object_of(0)
    f.patch(header + 8, "<Q", 1 << 40)
    return f"element 0: object {f.element(0)[2]} runs past the end of the heap collection at {address}"


def empty_free_space(f):
    address = f.element(0)[1]
    f.patch(f.objects(address)[0] + 8, "<Q", 0)
    return f"element 0: the heap collection at {address} has damaged free space"


def duplicate_index(f):
    address, header = f.object_of(2)
    f.patch(header, "<H", f.element(0)[2])
    return f"element 0: object {f.element(0)[2]} appears twice in the heap collection at {address}"


def shrink_collection(f):
    f.patch(f.element(0)[1] + 8, "<Q", 64)
    return f"element 0: the heap collection at {f.element(0)[1]} is too small"


def stretch_collection(f):
    f.patch(f.element(0)[1] + 8, "<Q", 1 << 20)
    return f"element 0: the heap collection at {f.element(0)[1]} lies outside the file"


def element(i, detail, **fields):
    def patch(f):
        f.set_element(i, **fields)
        return f"element {i}: " + detail.format(**dict(zip(("length", "address", "index"), f.element(i))))
    return patch


CORRUPTIONS = [
    ("missing object", element(0, "heap object 999 of the collection at {address} does not exist", index=999)),
    ("object larger than its element", grow_object),
    ("element longer than its object", element(
        2, "heap object {index} of the collection at {address} holds 3 bytes, not 5 items of 1", length=5)),
    ("object past its collection", overrun_collection),
    ("free space of size 0", empty_free_space),
    ("object index twice", duplicate_index),
    ("collection past the end of the file", element(0, "the heap collection at {address} lies outside the file",
                                                    address=1 << 20)),
    ("no collection", element(0, "there is no heap collection at 8", address=8)),
    ("collection too small", shrink_collection),
    ("collection size past the end of the file", stretch_collection),
    ("null with a length", element(1, "length 4 without a heap object", length=4, address=0)),
]


def strings_file(path):
    # t first: it is read first, and the heap collection it shares with type is damaged.
    zor.ir.write(path, Payload({"t": ["ab", "", "xyz"], "type": "Payload"}))
    return RawStrings(path, "/graph/t")


def sequences_file(path, dtype="u1"):
    """Sequences laid out as the strings of strings_file: 2, 0 and 3 items."""
    data = np.empty(3, dtype=object)
    data[:] = [np.array(items, dtype=dtype) for items in ([97, 98], [], [120, 121, 122])]
    h5py_file(path, lambda f, graph: graph.create_dataset("t", data=data, dtype=h5py.vlen_dtype(dtype)))
    return RawStrings(path, "/graph/t")


# (what the message calls the elements, the file, the elements read back)
VARIABLE_LENGTH = [
    ("strings", strings_file, [b"ab", b"", b"xyz"]),
    ("sequences", sequences_file, [[97, 98], [], [120, 121, 122]]),
]


class TestCorruptStrings:
    @pytest.mark.parametrize("what, make", [case[:2] for case in VARIABLE_LENGTH],
                             ids=[case[0] for case in VARIABLE_LENGTH])
    @pytest.mark.parametrize("corrupt", [case[1] for case in CORRUPTIONS], ids=[case[0] for case in CORRUPTIONS])
    def test_refused(self, tmp_path, corrupt, what, make):
        f = make(tmp_path / "bad.zor")
        detail = corrupt(f)
        f.save()
        assert outcome_in_child("read", f.path) == (
            f"ZORFormatError: Invalid ZOR-IR file: '/graph/t' has corrupt variable-length {what} ({detail}) "
            f"in {f.path}")

    def test_sequence_objects_hold_items_of_their_size(self, tmp_path):
        f = sequences_file(tmp_path / "wide.zor", dtype="<i4")
        address, index = f.element(2)[1:]
        f.set_element(2, length=5)
        f.save()
        assert outcome_in_child("read", f.path) == (
            f"ZORFormatError: Invalid ZOR-IR file: '/graph/t' has corrupt variable-length sequences (element 2: "
            f"heap object {index} of the collection at {address} holds 12 bytes, not 5 items of 4) in {f.path}")

    def test_version_refused(self, tmp_path):
        path = tmp_path / "bad.zor"
        zor.ir.write(path, Payload({"type": "Payload"}))
        f = RawStrings(path, "/version")
        f.set_element(0, index=999)
        f.save()
        assert outcome_in_child("read_version", path).startswith(
            "ZORFormatError: Invalid ZOR-IR file: '/version' has corrupt variable-length strings (element 0: ")

    @pytest.mark.parametrize("make, expected", [case[1:] for case in VARIABLE_LENGTH],
                             ids=[case[0] for case in VARIABLE_LENGTH])
    def test_null_element_reads_as_empty(self, tmp_path, make, expected):
        f = make(tmp_path / "null.zor")
        f.set_element(1, length=0, address=0, index=0)
        f.save()
        assert [getattr(item, "tolist", lambda: item)() for item in zor.ir.read(f.path)["t"]] == expected

    def test_fill_value_never_followed(self, tmp_path):
        def fill(f, graph):
            graph.create_dataset("t", data=np.array([b"q"], dtype=object), dtype=h5py.string_dtype(),
                                 fillvalue=b"unused")

        path = h5py_file(tmp_path / "fill.zor", fill)
        data = bytearray(path.read_bytes())
        fill_length_and_address = struct.pack("<IQ", len(b"unused"), RawStrings(path, "/graph/t").element(0)[1])
        at = data.find(fill_length_and_address)
        assert at > 0
        while at > 0:  # in the old and the new fill value message
            struct.pack_into("<I", data, at + 12, 999)  # the object index
            at = data.find(fill_length_and_address, at + 1)
        path.write_bytes(data)
        assert list(zor.ir.read(path)["t"]) == [b"q"]


class TestStringLayouts:
    @pytest.mark.parametrize("options", [{"userblock_size": 512}, {"sizes": 4}])
    def test_other_file_layouts_read(self, tmp_path, options):
        path = tmp_path / "other.zor"
        if "sizes" in options:
            creation = h5py.h5p.create(h5py.h5p.FILE_CREATE)
            creation.set_sizes(options["sizes"], options["sizes"])
            f = h5py.File(h5py.h5f.create(bytes(path), h5py.h5f.ACC_TRUNC, fcpl=creation))
        else:
            f = h5py.File(path, "w", **options)
        with f:
            f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
            f.create_dataset("graph/t", data=np.array(["a", "", "bc"], dtype=object), dtype=h5py.string_dtype())
            f["graph"].create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        assert list(zor.ir.read(path)["t"]) == [b"a", b"", b"bc"]
        assert zor.ir.read_version(path) == "0.0.1"

    @pytest.mark.parametrize("what, dtype", [("strings", h5py.string_dtype()), ("sequences", h5py.vlen_dtype("i2"))])
    @pytest.mark.parametrize("options", [{}, {"chunks": (2,)}], ids=["never written", "chunked"])
    def test_uncheckable_layouts_refused(self, tmp_path, options, what, dtype):
        path = h5py_file(tmp_path / "layout.zor", lambda f, graph: graph.create_dataset(
            "t", shape=(2,), dtype=dtype, **options))
        with pytest.raises(ZORFormatError) as error:
            zor.ir.read(path)
        assert str(error.value) == \
            f"Invalid ZOR-IR file: '/graph/t' has variable-length {what} outside contiguous storage in {path}"


def patched_member(data, name=b"i", offset=4):
    """The name and offset of a compound member in its datatype message (version 1: the name NUL-padded to 8
    bytes, then a 4-byte offset)."""
    at = data.find(name + b"\0" * 7 + struct.pack("<I", offset))
    assert at > 0 and data.find(name + b"\0" * 7 + struct.pack("<I", offset), at + 1) < 0
    return at


def overlapping_members(data, first):
    struct.pack_into("<I", data, patched_member(data) + 8, 2)


def member_outside(data, first):
    struct.pack_into("<I", data, patched_member(data) + 8, 100)


def members_of_one_name(data, first):
    data[patched_member(data)] = ord(first)


def no_members(data, first):
    at = data.find(b"\x16\x02\x00\x00\x08\x00\x00\x00")  # version 1, compound; 2 members; 8 bytes
    assert at > 0
    data[at + 1] = 0


class TestCorruptCompounds:
    """HDF5 checks a compound's members when it opens the dataset."""

    @pytest.mark.parametrize("corrupt", [overlapping_members, member_outside, members_of_one_name, no_members])
    @pytest.mark.parametrize("dtype", [[("a", "<i4"), ("i", "<i4")], [("r", "<f4"), ("i", "<f4")]],
                             ids=["structured", "complex"])
    def test_refused(self, tmp_path, corrupt, dtype):
        path = h5py_file(tmp_path / "bad.zor", lambda f, graph: graph.create_dataset("x", data=np.ones(2, dtype)))
        data = bytearray(path.read_bytes())
        corrupt(data, dtype[0][0])
        path.write_bytes(data)
        assert outcome_in_child("read", path) == f"ZORFormatError: Cannot read file as HDF5: {path}"


def looping_free_list(data, heap, start, size, free):
    struct.pack_into("<Q", data, start + free, free)
    return f"the free space list of the local heap at {heap} loops"


def oversized_free_block(data, heap, start, size, free):
    struct.pack_into("<Q", data, start + free + 8, size + 8)
    return f"free space runs past the end of the local heap at {heap}"


def groups_file(path, libver="earliest"):
    """Old-style groups (earliest): /graph/sub keeps its symbol table in a continuation chunk of its header."""
    with h5py.File(path, "w", libver=libver) as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        sub = f.create_group("graph/sub")
        for i in range(40):
            sub.attrs[f"a{i}"] = i
        sub.create_dataset("only_in_sub", data=1)
        f["graph"].create_dataset("type", data="Payload", dtype=h5py.string_dtype())
    return path


class TestCorruptGroups:
    @pytest.mark.parametrize("corrupt", [looping_free_list, oversized_free_block])
    @pytest.mark.parametrize("group, link", [("/", b"version"), ("/graph", b"sub"), ("/graph/sub", b"only_in_sub")])
    def test_refused(self, tmp_path, corrupt, group, link):
        path = groups_file(tmp_path / "bad.zor")
        data = bytearray(path.read_bytes())
        detail = corrupt(data, *local_heap(data, link))
        path.write_bytes(data)
        assert outcome_in_child("read", path) == \
            f"ZORFormatError: Invalid ZOR-IR file: '{group}' has a corrupt symbol table ({detail}) in {path}"

    @pytest.mark.parametrize("libver", ["earliest", "latest"])
    def test_sound_groups_read(self, tmp_path, libver):
        assert zor.ir.read(groups_file(tmp_path / "groups.zor", libver))["sub"] == {"only_in_sub": 1}


def dense_file(path):
    """New-style groups (latest): /graph holds more links than fit in its header, so they live
    in a fractal heap indexed by name in a v2 B-tree, and listing them builds a table."""
    with h5py.File(path, "w", libver="latest") as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        graph = f.create_group("graph")
        graph.create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        for i in range(20):
            graph[f"member{i:02d}"] = i
    return path


def damaged_link(data):
    at = data.find(b"\x08member07")  # a link message: version 1, flags, name length, name
    assert data[at - 2:at] == b"\x01\x00"
    data[at - 2] = 2


def damaged_name_index(data):
    at = data.find(b"BTLF")  # a v2 B-tree leaf: signature, version, type, then the records
    assert at > 0
    data[at + 6] ^= 0xFF


class TestCorruptDenseGroups:
    def test_sound_group_reads(self, tmp_path):
        path = dense_file(tmp_path / "dense.zor")
        assert b"FHDB" in path.read_bytes() and b"BTLF" in path.read_bytes()
        assert zor.ir.read(path) == {"type": "Payload", **{f"member{i:02d}": i for i in range(20)}}

    # With every fresh allocation filled with garbage (MALLOC_PERTURB_), a link table
    # released half-built frees that garbage, unless it was allocated zeroed.
    @pytest.mark.parametrize("corrupt", [damaged_link, damaged_name_index])
    def test_refused(self, tmp_path, monkeypatch, corrupt):
        path = dense_file(tmp_path / "bad.zor")
        data = bytearray(path.read_bytes())
        corrupt(data)
        path.write_bytes(data)
        monkeypatch.setenv("MALLOC_PERTURB_", "165")
        assert outcome_in_child("read", path) == f"ZORFormatError: Cannot read file as HDF5: {path}"


def raced_file(path):
    """An old-style /graph whose symbol table message sits in a continuation chunk of its header, on a
    page of its own, and a looping copy of its local heap appended: (file, the message's heap address
    field, the sound heap's address, the copy's)."""
    with h5py.File(path, "w", libver="earliest") as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        graph = f.create_group("graph")
        for i in range(40):
            graph.attrs[f"a{i}"] = i
        graph.create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        graph.create_group("sub")["x"] = 1
        header = h5py.h5o.get_info(graph.id).addr
    data = bytearray(path.read_bytes())
    heap, start, size, free = local_heap(data, b"sub")
    field = data.find(struct.pack("<Q", heap), header)
    assert field // 4096 != header // 4096
    copy = len(data)
    copied_header = bytearray(data[heap:heap + 32])
    struct.pack_into("<Q", copied_header, 24, copy + 32)  # its data follows it
    data += copied_header + data[start:start + size]
    looping_free_list(data, copy, copy + 32, size, free)
    struct.pack_into("<Q", data, 40, len(data))  # the superblock's end of file address
    path.write_bytes(data)
    return field, heap, copy


READ_REPEATEDLY = """
import collections, sys, zor.ir
sys.path.insert(0, sys.argv[3])
from helpers import Payload
zor.ir._NODE_REGISTRY["Payload"] = Payload
outcomes = collections.Counter()
for _ in range(int(sys.argv[2])):
    try:
        zor.ir.read(sys.argv[1])
        outcomes["read"] += 1
    except Exception as error:
        outcomes[f"{type(error).__name__}: {error}"] += 1
print(repr(dict(outcomes)))
"""


class TestFileChangedWhileRead:
    """Another process rewrites, over and over, where /graph's header says its link names are: in
    the sound heap or in a copy whose free list loops. HDF5 reads that header before the checks
    do; both must see the same bytes (the driver's pinned pages), so a read either passes the
    check and reads the sound heap, or is refused: it never loops."""

    def test_reads_end(self, tmp_path):
        path = tmp_path / "raced.zor"
        field, sound, looping = raced_file(path)
        stop = threading.Event()

        def rewrite():
            fd = os.open(path, os.O_WRONLY)
            try:
                for value in itertools.cycle([struct.pack("<Q", sound), struct.pack("<Q", looping)]):
                    if stop.is_set():
                        return
                    os.pwrite(fd, value, field)
            finally:
                os.close(fd)

        writer = threading.Thread(target=rewrite)
        writer.start()
        try:
            child = subprocess.run([sys.executable, "-c", READ_REPEATEDLY, str(path), "200",
                                    str(pathlib.Path(__file__).parent)],
                                   capture_output=True, text=True, timeout=120)
        finally:
            stop.set()
            writer.join()
        assert child.returncode == 0, child.stderr
        refused = (f"ZORFormatError: Invalid ZOR-IR file: '/graph' has a corrupt symbol table "
                   f"(the free space list of the local heap at {looping} loops) in {path}")
        outcomes = ast.literal_eval(child.stdout)
        assert set(outcomes) == {"read", refused} and sum(outcomes.values()) == 200
