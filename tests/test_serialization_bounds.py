"""Memory bounded by the file: before a dataset's array is allocated, data
stored as it is must lie in the file byte for byte, each compressed chunk
must be able to decompress to its size, and data that is compressed or never
written stays within read's max_array_bytes. Only the filters h5py and write
use are applied, and a deflated chunk inflates into exactly its chunk."""

import struct
import zlib

import h5py
import numpy as np
import pytest

import zor.ir
from hdf5_bytes import find_all
from helpers import Payload, h5py_file
from hostile import outcome_in_child

GiB = 1 << 30
DEFAULT_LIMIT = 4 * GiB


def beyond_limit(bytes_, limit=DEFAULT_LIMIT):
    return (f"would take {bytes_} bytes, more than max_array_bytes ({limit}) allows for data that is compressed "
            f"or never written")


def dataset_file(path, **create):
    return h5py_file(path, lambda f, graph: graph.create_dataset("w", **create))


def with_chunk(path, chunk, **create):
    """/graph/w with its first chunk stored as the bytes `chunk` (filter mask 0)."""
    def fill(f, graph):
        graph.create_dataset("w", **create).id.write_direct_chunk((0,), chunk)
    return h5py_file(path, fill)


def low_level(path, filters):
    """/graph/w of 100 int32 in chunks of 10, with `filters(dataset creation properties)` set."""
    def fill(f, graph):
        creation = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
        creation.set_chunk((10,))
        filters(creation)
        space = h5py.h5s.create_simple((100,))
        h5py.h5d.create(graph.id, b"w", h5py.h5t.STD_I32LE, space, dcpl=creation).write(
            h5py.h5s.ALL, h5py.h5s.ALL, np.arange(100, dtype="<i4"))
    return h5py_file(path, fill)


def replace_chunk(path, stored):
    """Appends `stored` to the file as the first chunk of its only v1 B-tree chunk index (HDF5 itself
    never stores a chunk much larger than the chunk), and moves the end of the file past it."""
    data = bytearray(path.read_bytes())
    node = next(at for at in find_all(data, b"TREE") if data[at + 4] == 1)
    struct.pack_into("<I", data, node + 24, len(stored))  # the first key: the chunk's size, mask, 2 offsets
    struct.pack_into("<Q", data, node + 48, len(data))  # the first child: the chunk's address
    data += stored
    struct.pack_into("<Q", data, 40, len(data))  # the superblock's end of file address
    path.write_bytes(data)
    return path


def deflate_bomb(inflated):
    """A zlib stream of `inflated` zero bytes (a multiple of 16 MiB), made by repeating one fully
    flushed block: about 1/1030 of its size."""
    compressor = zlib.compressobj(9)
    block = compressor.compress(bytes(16 << 20)) + compressor.flush(zlib.Z_FULL_FLUSH)
    adler32 = (inflated % 65521) << 16 | 1  # of zeros only
    return block[:2] + block[2:] * (inflated // (16 << 20)) + b"\x03\x00" + adler32.to_bytes(4, "big")


def never_written(tmp_path):
    path = dataset_file(tmp_path / "w.zor", shape=(10 ** 12,), dtype="<f8")
    assert path.stat().st_size < 16 * 1024
    return path, {}, beyond_limit(8 * 10 ** 12)


def one_chunk_written(tmp_path):
    def fill(f, graph):
        graph.create_dataset("w", shape=(10 ** 12,), dtype="<f8", chunks=(1000,))[:1000] = 1
    return h5py_file(tmp_path / "w.zor", fill), {}, beyond_limit(8 * 10 ** 12)


def too_small_to_inflate(tmp_path):
    stream = zlib.compress(bytes(100000))
    path = with_chunk(tmp_path / "w.zor", stream, shape=(1 << 20,), dtype="<f8", chunks=(1 << 20,), compression="gzip")
    return path, {}, f"has a chunk of {len(stream)} bytes that cannot hold its {8 << 20}"


def unfiltered_chunk_too_short(tmp_path):
    path = with_chunk(tmp_path / "w.zor", bytes(16), shape=(8,), dtype="<i4", chunks=(8,))
    return path, {}, "has a chunk of 16 bytes that cannot hold its 32"


def chunk_beyond_the_end(tmp_path):
    path = tmp_path / "w.zor"
    zor.ir.write(path, Payload({"type": "Payload", "w": np.arange(20000, dtype=np.float32)}), compression="gzip")
    data = bytearray(path.read_bytes())
    node = next(at for at in find_all(data, b"TREE") if data[at + 4] == 1)  # the chunk index: one entry
    size = struct.unpack_from("<I", data, node + 24)[0]  # the first key: the chunk's size, mask, 2 offsets
    struct.pack_into("<Q", data, node + 48, len(data) - 10)
    path.write_bytes(data)
    return path, {}, (f"has a chunk beyond the end of the file ({size} bytes at offset {len(data) - 10}, "
                      f"the file holds {len(data)})")


def more_chunks_than_spanned(tmp_path):
    path = dataset_file(tmp_path / "w.zor", data=np.arange(8, dtype="<i4"), chunks=(4,))
    data = bytearray(path.read_bytes())
    at = data.find(struct.pack("<QQ", 8, 8))  # the dataspace: its extent and its largest
    struct.pack_into("<QQ", data, at, 4, 4)
    path.write_bytes(data)
    return path, {}, "has an index of more chunks than the 1 it spans"


def data_of_another_size(tmp_path):
    path = tmp_path / "w.zor"
    zor.ir.write(path, Payload({"type": "Payload", "w": np.arange(100, dtype=np.float64)}))
    with h5py.File(path) as f:
        offset = f["graph/w"].id.get_offset()
    data = bytearray(path.read_bytes())
    at = data.find(struct.pack("<QQ", offset, 800))  # a contiguous layout: address, size
    struct.pack_into("<Q", data, at + 8, 792)
    path.write_bytes(data)
    return path, {}, "has 792 bytes of data for 800 bytes of elements"


def filters(name, set_filters):
    def craft(tmp_path):
        return low_level(tmp_path / "w.zor", set_filters), {}, f"has filters the reader does not apply ({name})"
    return craft


# (id, craft(tmp_path) -> (path, read's options, the problem refused for /graph/w))
REFUSED = [
    ("never written, 10^12 elements in a small file", never_written),
    ("one chunk of 10^12 elements written", one_chunk_written),
    ("a compressed chunk too small to inflate to its size", too_small_to_inflate),
    ("an unfiltered chunk shorter than a chunk", unfiltered_chunk_too_short),
    ("a chunk beyond the end of the file", chunk_beyond_the_end),
    ("an index of more chunks than the extent spans", more_chunks_than_spanned),
    ("contiguous data of another size than its elements", data_of_another_size),
    ("scale-offset", filters("scaleoffset", lambda creation: creation.set_scaleoffset(h5py.h5z.SO_INT, 0))),
    ("n-bit", filters("nbit", lambda creation: creation.set_filter(h5py.h5z.FILTER_NBIT))),
    ("deflate before shuffle", filters("deflate, shuffle",
                                       lambda creation: (creation.set_deflate(4), creation.set_shuffle()))),
    ("a compressed array beyond a lower limit", lambda tmp_path: (
        dataset_file(tmp_path / "w.zor", data=np.zeros(1 << 20), chunks=(1 << 17,), compression="gzip"),
        {"max_array_bytes": 1 << 20}, beyond_limit(8 << 20, 1 << 20))),
]


@pytest.mark.parametrize("craft", [case[1] for case in REFUSED], ids=[case[0] for case in REFUSED])
def test_refused_before_allocating(tmp_path, craft):
    path, options, problem = craft(tmp_path)
    assert outcome_in_child("read", path, memory_limit=GiB, **options) == \
        f"ZORFormatError: Invalid ZOR-IR file: '/graph/w' {problem} in {path}"


class TestDecompression:
    def test_inflate_bomb_stops_at_its_chunk(self, tmp_path):
        # 16 doubles whose one chunk inflates to 2 GiB. HDF5's own deflate filter doubles its buffer
        # up to that, and then reads the chunk's first 128 bytes as the data.
        path = with_chunk(tmp_path / "w.zor", zlib.compress(bytes(128)), shape=(16,), dtype="<f8", chunks=(16,),
                          compression="gzip")
        replace_chunk(path, deflate_bomb(2 * GiB))
        assert path.stat().st_size < 3 << 20
        assert outcome_in_child("read", path, with_cause=True) == (
            f"ZORFormatError: Invalid ZOR-IR file: '/graph/w' fails its checksum or cannot be decompressed in {path}"
            " <- OSError: Unable to read dataset (filter returned failure during read)")

    def test_allocation_failure_is_a_format_error(self, tmp_path):
        # A 3.2 GB chunk (16 doubles in it) that its stored bytes could inflate to: the reader
        # allocates the chunk, which a 1 GiB address space refuses.
        path = with_chunk(tmp_path / "w.zor", np.random.default_rng(0).bytes(3_200_000), shape=(16,),
                          maxshape=(None,), dtype="<f8", chunks=(400_000_000,), compression="gzip")
        assert outcome_in_child("read", path, memory_limit=GiB, with_cause=True) == (
            f"ZORFormatError: Cannot read file as HDF5: {path}"
            " <- MemoryError: Unable to allocate a chunk (filter returned failure during read)")

    def test_memory_of_the_machine_stays_a_memory_error(self, tmp_path):
        # 3 GiB of fill value is within the limit; a 2 GiB address space cannot hold it: NumPy's own
        # error, not the file's.
        path = dataset_file(tmp_path / "w.zor", shape=(3 << 27,), dtype="<f8")
        assert outcome_in_child("read", path, memory_limit=2 * GiB) == \
            "MemoryError: Unable to allocate 3.00 GiB for an array with shape (402653184,) and data type float64"

    @pytest.mark.parametrize("chunks", [(1 << 17,), (1000,), (1 << 20,)])
    def test_sound_chunks_read(self, tmp_path, chunks):
        values = np.arange(1 << 20, dtype=np.float64) % 7
        path = dataset_file(tmp_path / "w.zor", data=values, chunks=chunks, compression="gzip", shuffle=True,
                            fletcher32=True)
        assert np.array_equal(zor.ir.read(path)["w"], values)


# (id, the array written, write's options, the max_array_bytes it reads with)
WITHIN = [
    ("compressed, at the limit", np.zeros(1 << 20), {"compression": "gzip"}, 8 << 20),
    ("compressed, no limit", np.zeros(1 << 20), {"compression": "gzip"}, None),
    ("stored as it is, whatever the limit", np.zeros(1 << 20), {}, 0),
    ("a limit beyond 64 bits", np.zeros(1 << 20), {"compression": "gzip"}, 1 << 70),
]


class TestLimit:
    @pytest.mark.parametrize("array, options, limit", [case[1:] for case in WITHIN], ids=[case[0] for case in WITHIN])
    def test_read_within(self, tmp_path, array, options, limit):
        path = tmp_path / "w.zor"
        zor.ir.write(path, Payload({"type": "Payload", "w": array}), **options)
        assert np.array_equal(zor.ir.read(path, max_array_bytes=limit)["w"], array)

    def test_never_written_data_within_the_limit_reads_as_its_fill_value(self, tmp_path):
        path = dataset_file(tmp_path / "w.zor", shape=(1000,), dtype="<i4", fillvalue=7)
        assert np.array_equal(zor.ir.read(path, max_array_bytes=4000)["w"], np.full(1000, 7, "<i4"))
        with pytest.raises(zor.ir.serialization.ZORFormatError, match="would take 4000 bytes"):
            zor.ir.read(path, max_array_bytes=3999)

    @pytest.mark.parametrize("limit, error, message", [
        (-1, ValueError, "max_array_bytes must be at least 0, got -1"),
        ("1", TypeError, "max_array_bytes must be None or an integer, got str"),
        (True, TypeError, "max_array_bytes must be None or an integer, got bool"),
        (1.0, TypeError, "max_array_bytes must be None or an integer, got float"),
    ])
    def test_invalid_limits(self, tmp_path, fails_with, limit, error, message):
        path = tmp_path / "w.zor"
        zor.ir.write(path, Payload({"type": "Payload"}))
        fails_with(message, lambda: zor.ir.read(path, max_array_bytes=limit), error)
