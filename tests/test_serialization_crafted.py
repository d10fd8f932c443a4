"""Crafted files: each one breaks a structure that HDF5 follows without
checking it (or checks only by a checksum, recomputed here), in a way that
kills or hangs a reader that trusts it. Each is read in a child process and
must be refused with ZORFormatError naming the member and what is wrong."""

import struct

import h5py
import numpy as np
import pytest

import zor.ir
from hdf5_bytes import find_all, fractal_heap, local_heap, reseal, set_fractal_heap, set_v2_header, v2_header
from helpers import Payload, h5py_file
from hostile import outcome_in_child

ADDRESS = struct.Struct("<Q")
V1_NODE = struct.Struct("<4sBBHQQ")  # signature, type, level, entries used, left and right siblings


class Raw:
    """A file's bytes, patched in place and saved."""

    def __init__(self, path):
        self.path = path
        self.data = bytearray(path.read_bytes())

    def save(self):
        self.path.write_bytes(self.data)


def old_style_file(path):
    """Old-style groups (symbol tables, as write made them before groups kept their order):
    /graph/sub holds a; and a compressed array w in one chunk."""
    def fill(f, graph):
        graph.create_group("sub")["a"] = 1
        graph.create_dataset("w", data=np.arange(20000, dtype=np.float32), chunks=(20000,), compression="gzip")

    return Raw(h5py_file(path, fill))


def group_tree(raw, link):
    """The address of the v1 B-tree of the group holding `link`, from its symbol table message."""
    heap = local_heap(raw.data, link)[0]
    return ADDRESS.unpack_from(raw.data, raw.data.rfind(ADDRESS.pack(heap)) - 8)[0]


def chunk_tree(raw):
    return next(at for at in find_all(raw.data, b"TREE") if raw.data[at + 4] == 1)


def set_v1_node(raw, at, level=None, right=None, child=None):
    signature, kind, old_level, entries, left, old_right = V1_NODE.unpack_from(raw.data, at)
    V1_NODE.pack_into(raw.data, at, signature, kind, old_level if level is None else level, entries, left,
                      old_right if right is None else right)
    if child is not None:  # the first child follows the first key: 8 bytes in a group's tree, 16 in a chunk tree
        key = 8 if kind == 0 else 8 + 8 * 2
        ADDRESS.pack_into(raw.data, at + V1_NODE.size + key, child)


def own_child(raw, at):
    set_v1_node(raw, at, level=1, child=at)
    return f"the B-tree node at {at} is reached twice"


def own_sibling(raw, at):
    set_v1_node(raw, at, right=at)
    return f"the B-tree node at {at} does not link its neighbours on its level"


def too_deep(raw, at):
    set_v1_node(raw, at, level=200)
    return f"the B-tree node at {at} has 200 levels below it"


def overfull_symbol_node(raw, at):
    node = ADDRESS.unpack_from(raw.data, at + V1_NODE.size + 8)[0]
    struct.pack_into("<H", raw.data, node + 6, 9)  # 2 x symbol leaf K (4)
    return f"the symbol table node at {node} holds 9 symbols, more than 8"


def in_group(corrupt, link=b"a", member="/graph/sub", call="read"):
    def craft(tmp_path):
        raw = old_style_file(tmp_path / "crafted.zor")
        detail = corrupt(raw, group_tree(raw, link))
        raw.save()
        return raw.path, call, f"'{member}' has a corrupt symbol table ({detail})"
    return craft


def in_chunk_index(corrupt, call="read"):
    def craft(tmp_path):
        raw = old_style_file(tmp_path / "crafted.zor")
        detail = corrupt(raw, chunk_tree(raw))
        raw.save()
        return raw.path, call, f"'/graph/w' has a corrupt chunk index ({detail})"
    return craft


def dense_file(path, links):
    """/graph tracks creation order, so its links are dense from 9 on: in a fractal heap, indexed
    by name in a v2 B-tree (and by creation order in another)."""
    with h5py.File(path, "w") as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        graph = f.create_group("graph", track_order=True)
        graph.create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        for i in range(links):
            graph[f"m{i:03d}"] = i
    return Raw(path)


def name_index(raw):
    return next(at for at in find_all(raw.data, b"BTHD") if raw.data[at + 5] == 5)


def uncounted_records(raw):
    at = name_index(raw)
    records = v2_header(raw.data, at)["records"]
    set_v2_header(raw.data, at, records=1)
    return f"the v2 B-tree at {at} holds {records} records, not the 1 it counts"


def overfull_root(raw):
    at = name_index(raw)
    set_v2_header(raw.data, at, root_records=1000)
    return f"the v2 B-tree node at {v2_header(raw.data, at)['root']} holds 1000 records, more than 45 fit"


def shared_child(raw):
    header = v2_header(raw.data, name_index(raw))
    root, records = header["root"], header["root_records"]
    pointers = root + 6 + records * header["record_size"]  # each: address (8), records (1)
    child = ADDRESS.unpack_from(raw.data, pointers)[0]
    ADDRESS.pack_into(raw.data, pointers + 9, child)
    reseal(raw.data, root, pointers + (records + 1) * 9 + 4 - root)
    return f"the v2 B-tree node at {child} is reached twice"


def deep_name_index(raw):
    at = name_index(raw)
    set_v2_header(raw.data, at, depth=40)
    return f"the v2 B-tree at {at} is 40 levels deep"


def heap_rows(raw):
    at = raw.data.find(b"FRHP")
    set_fractal_heap(raw.data, at, offset_bits=8)
    return f"the fractal heap at {at} has an impossible number of rows"


def heap_ids(raw):
    at = raw.data.find(b"FRHP")
    set_fractal_heap(raw.data, at, id_size=8)
    return f"the fractal heap at {at} has heap IDs of 8 bytes, not a group's"


def heap_blocks(raw):
    at = raw.data.find(b"FRHP")
    set_fractal_heap(raw.data, at, start_block=fractal_heap(raw.data, at)["largest_block"] * 2)
    return f"the fractal heap at {at} has impossible block sizes"


def in_dense_group(corrupt, links=100):
    def craft(tmp_path):
        raw = dense_file(tmp_path / "crafted.zor", links)
        detail = corrupt(raw)
        raw.save()
        return raw.path, "read", f"'/graph' has corrupt link storage ({detail})"
    return craft


def enum_size(tmp_path):
    """A boolean enumeration whose own size (513 bytes) is not its base type's."""
    path = tmp_path / "crafted.zor"
    zor.ir.write(path, Payload({"type": "Payload", "flags": np.zeros(0, bool)}))
    raw = Raw(path)
    enumerations = [at for at in find_all(raw.data, b"\x02\x00\x00\x01\x00\x00\x00\x10") if raw.data[at - 1] & 0xF == 8]
    assert enumerations
    for at in enumerations:
        struct.pack_into("<I", raw.data, at + 3, 513)
    raw.save()
    return raw.path, "read", None


# (id, craft(tmp_path) -> (path, call, the problem refused for it; None: the file is not HDF5 to the library))
CRAFTED = [
    ("group B-tree node that is its own child", in_group(own_child)),
    ("root group B-tree node that is its own child", in_group(own_child, b"graph", "/")),
    ("root group B-tree node that is its own child, read_version",
     in_group(own_child, b"graph", "/", "read_version")),
    ("group B-tree node that is its own sibling", in_group(own_sibling)),
    ("group B-tree deeper than any file", in_group(too_deep)),
    ("symbol table node over full", in_group(overfull_symbol_node, b"type", "/graph")),
    ("chunk B-tree node that is its own child", in_chunk_index(own_child)),
    ("chunk B-tree node that is its own sibling, read_layout", in_chunk_index(own_sibling, "read_layout")),
    ("name index counting fewer records than it holds", in_dense_group(uncounted_records)),
    ("name index root over full", in_dense_group(overfull_root, links=20)),
    ("name index node reached twice", in_dense_group(shared_child)),
    ("name index deeper than any file", in_dense_group(deep_name_index)),
    ("fractal heap rows", in_dense_group(heap_rows)),
    ("fractal heap IDs", in_dense_group(heap_ids)),
    ("fractal heap blocks", in_dense_group(heap_blocks)),
    ("enumeration of another size than its base", enum_size),
]


@pytest.mark.parametrize("craft", [case[1] for case in CRAFTED], ids=[case[0] for case in CRAFTED])
def test_refused(tmp_path, craft):
    path, call, problem = craft(tmp_path)
    expected = (f"ZORFormatError: Cannot read file as HDF5: {path}" if problem is None
                else f"ZORFormatError: Invalid ZOR-IR file: {problem} in {path}")
    assert outcome_in_child(call, path) == expected


@pytest.mark.parametrize("links", [20, 100, 3000])
def test_sound_dense_groups_read(tmp_path, links):
    raw = dense_file(tmp_path / "dense.zor", links)
    assert v2_header(raw.data, name_index(raw))["records"] == links + 1
    assert zor.ir.read(raw.path) == {"type": "Payload", **{f"m{i:03d}": i for i in range(links)}}

