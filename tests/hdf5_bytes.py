"""The raw bytes of HDF5 files, for crafting corrupt ones: where a structure
is, its fields, and its checksum recomputed after a change (so that HDF5's own
checksum test passes and what the file says is what gets parsed)."""

import struct

MASK = 0xFFFFFFFF


def _rotate(x, k):
    return ((x << k) | (x >> (32 - k))) & MASK


def lookup3(data, initval=0):
    """HDF5's metadata checksum: Bob Jenkins' lookup3 hashlittle."""
    length = len(data)
    a = b = c = (0xDEADBEEF + length + initval) & MASK
    at = 0
    while length - at > 12:
        x, y, z = struct.unpack_from("<III", data, at)
        a, b, c = (a + x) & MASK, (b + y) & MASK, (c + z) & MASK
        for shift_a, shift_b, shift_c in ((4, 6, 8), (16, 19, 4)):
            a = ((a - c) & MASK) ^ _rotate(c, shift_a)
            c = (c + b) & MASK
            b = ((b - a) & MASK) ^ _rotate(a, shift_b)
            a = (a + c) & MASK
            c = ((c - b) & MASK) ^ _rotate(b, shift_c)
            b = (b + a) & MASK
        at += 12
    if length == at:
        return c
    x, y, z = struct.unpack("<III", bytes(data[at:]) + bytes(12 - (length - at)))
    a, b, c = (a + x) & MASK, (b + y) & MASK, (c + z) & MASK
    c = ((c ^ b) - _rotate(b, 14)) & MASK
    a = ((a ^ c) - _rotate(c, 11)) & MASK
    b = ((b ^ a) - _rotate(a, 25)) & MASK
    c = ((c ^ b) - _rotate(b, 16)) & MASK
    a = ((a ^ c) - _rotate(c, 4)) & MASK
    b = ((b ^ a) - _rotate(a, 14)) & MASK
    c = ((c ^ b) - _rotate(b, 24)) & MASK
    return c


def reseal(data, start, size):
    """Recomputes the checksum in the last 4 of the `size` bytes at `start`."""
    struct.pack_into("<I", data, start + size - 4, lookup3(data[start:start + size - 4]))


def local_heap(data, name):
    """(address, data address, data size, first free block) of the local heap holding the link `name`."""
    at = data.find(b"HEAP")
    while at >= 0:
        size, free, start = struct.unpack_from("<QQQ", data, at + 8)
        if name + b"\0" in data[start:start + size]:
            return at, start, size, free
        at = data.find(b"HEAP", at + 1)
    raise AssertionError(f"no local heap holds {name}")


def find_all(data, signature):
    found, at = [], data.find(signature)
    while at >= 0:
        found.append(at)
        at = data.find(signature, at + 1)
    return found


# A v2 B-tree header ("BTHD"), with 8-byte addresses and lengths.
V2_HEADER = struct.Struct("<4sBBIHHBBQHQI")
V2_HEADER_FIELDS = ("signature", "version", "type", "node_size", "record_size", "depth", "split", "merge",
                    "root", "root_records", "records", "checksum")


def v2_header(data, at):
    return dict(zip(V2_HEADER_FIELDS, V2_HEADER.unpack_from(data, at)))


def set_v2_header(data, at, **fields):
    values = {**v2_header(data, at), **fields}
    V2_HEADER.pack_into(data, at, *values.values())
    reseal(data, at, V2_HEADER.size)


# A fractal heap header ("FRHP") without filters, with 8-byte addresses and lengths.
FRACTAL_HEAP = struct.Struct("<4sBHHBIQQQQQQQQQQQQHQQHHQHI")
FRACTAL_HEAP_FIELDS = ("signature", "version", "id_size", "filters_size", "flags", "largest_object", "next_huge_id",
                       "huge_tree", "free_space", "free_space_manager", "managed_space", "allocated_space",
                       "iterator_offset", "managed_objects", "huge_size", "huge_objects", "tiny_size", "tiny_objects",
                       "width", "start_block", "largest_block", "offset_bits", "start_rows", "root", "rows",
                       "checksum")


def fractal_heap(data, at):
    return dict(zip(FRACTAL_HEAP_FIELDS, FRACTAL_HEAP.unpack_from(data, at)))


def set_fractal_heap(data, at, **fields):
    values = {**fractal_heap(data, at), **fields}
    FRACTAL_HEAP.pack_into(data, at, *values.values())
    reseal(data, at, FRACTAL_HEAP.size)
