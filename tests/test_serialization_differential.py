"""The native walks against the h5py walks: every value kind written by `write`
and by `_write_recursive` gives the same HDF5 objects and types, and `read`
and `_read_recursive` give the same values from either file."""

import h5py
import numpy as np
import pytest

import zor.ir
from helpers import VALUE_KINDS, Payload, assert_same, h5py_file, native_and_h5py_read
from zor.ir.serialization import _write_recursive


def describe(path):
    """Every object of a file with what h5py and HDF5 know about it."""
    objects = []
    with h5py.File(path, "r") as f:
        def visit(name, obj):
            entry = [name, type(obj).__name__, len(obj.attrs)]
            creation = obj.id.get_create_plist()
            entry.append(creation.get_obj_track_times())
            if isinstance(obj, h5py.Dataset):
                entry += [obj.shape, obj.id.get_type().encode(), creation.get_layout(), obj.chunks]
            else:
                entry.append(creation.get_link_creation_order())
            objects.append(entry)

        f.visititems(visit)
    return objects


def write_both(directory, data):
    native, through_h5py = directory / "native.zor", directory / "h5py.zor"
    zor.ir.write(native, Payload(data))
    with h5py.File(through_h5py, "w") as f:
        # The walk makes graph as each group of its own: its members' order tracked.
        _write_recursive(f, {"version": zor.ir.serialization.__version__, "graph": data})
    return native, through_h5py


class TestSameFiles:
    @pytest.mark.parametrize("value", [case[1] for case in VALUE_KINDS], ids=[case[0] for case in VALUE_KINDS])
    def test_value_kind(self, tmp_path, value):
        native, through_h5py = write_both(tmp_path, {"type": "Payload", "v": value})
        assert describe(native) == describe(through_h5py)
        values = [*native_and_h5py_read(native), *native_and_h5py_read(through_h5py)]
        for other in values[1:]:
            assert_same(other, values[0])

    def test_graph_of_lif_nodes(self, tmp_path):
        graph = zor.ir.Graph(metadata={"name": "net", "sizes": [4, 4]})
        for name in ("a", "b", "c"):
            graph.add_node(name, zor.ir.LIF(tau=np.full(4, 20.0), r=np.full(4, 20.0),
                                            v_leak=np.zeros(4), v_threshold=np.ones(4)))
        graph.add_edge("a", "b")
        graph.add_edge("b", "c")
        native, through_h5py = write_both(tmp_path, graph.to_dict())
        assert describe(native) == describe(through_h5py)
        assert zor.ir.read(native).equals(zor.ir.read(through_h5py))

    def test_bytes_are_h5pys(self, tmp_path):
        # Every value kind at once, and a whole network: the native file is
        # the very file h5py makes of the same dictionary.
        from zor.ir.__main__ import build_example

        every_kind = {"type": "Payload", **{name: value for name, value, _ in VALUE_KINDS}}
        for data in (every_kind, build_example().to_dict()):
            native, through_h5py = write_both(tmp_path, data)
            assert native.read_bytes() == through_h5py.read_bytes()

    def test_errors_are_the_same_and_leave_the_group_untouched(self, tmp_path):
        data = {"good": 1, "bad": {"a/b": 2}}
        with pytest.raises(ValueError) as native:
            zor.ir.write(tmp_path / "n.zor", Payload(data))
        with h5py.File(tmp_path / "h.zor", "w") as f:
            with pytest.raises(ValueError) as through_h5py:
                _write_recursive(f, data)
            assert list(f) == []
        assert str(native.value).replace("/graph/bad", "/bad") == str(through_h5py.value)


def newer_format_file(path, libver, **filters):
    """A graph h5py writes with the format versions of `libver`: chunked arrays indexed every
    way that version has (one chunk, fixed, extensible, two unlimited dimensions), `filters` on
    each, groups with many links and strings."""
    with h5py.File(path, "w", libver=libver) as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        graph = f.create_group("graph")
        graph.create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        graph.create_dataset("single", data=np.arange(30, dtype="<i8"), chunks=(30,), **filters)
        graph.create_dataset("fixed", data=np.arange(4000.0).reshape(40, 100), chunks=(10, 50), **filters)
        graph.create_dataset("extensible", data=np.arange(1000, dtype=">f4"), chunks=(64,), maxshape=(None,),
                             **filters)
        graph.create_dataset("unlimited", data=np.arange(36, dtype="<u2").reshape(6, 6), chunks=(2, 3),
                             maxshape=(None, None), **filters)
        graph.create_dataset("texts", data=np.array(["a", "bé"], dtype=object), dtype=h5py.string_dtype())
        many = graph.create_group("many", track_order=True)
        for i in range(20):
            many[f"m{i:02d}"] = np.int32(i)
    return path


FILTER_SETS = [
    ("none", {}),
    ("gzip", {"compression": "gzip"}),
    ("shuffle, gzip 9, fletcher32", {"compression": "gzip", "compression_opts": 9, "shuffle": True,
                                      "fletcher32": True}),
    ("fletcher32", {"fletcher32": True}),
]


class TestNewerFormats:
    """h5py's HDF5 is not newer than ours: files it writes with its latest format versions read
    natively, with the values h5py reads."""

    def test_h5pys_library_is_not_newer(self):
        def version(text):
            return tuple(int(part) for part in text.split("."))

        assert version(h5py.version.hdf5_version) <= version(zor.ir.serialization.__hdf5_version__)

    @pytest.mark.parametrize("filters", [case[1] for case in FILTER_SETS], ids=[case[0] for case in FILTER_SETS])
    @pytest.mark.parametrize("libver", ["earliest", "v108", "v110", "v112", "v114", "latest"])
    def test_read_as_h5py_reads(self, tmp_path, libver, filters):
        native, through_h5py = native_and_h5py_read(newer_format_file(tmp_path / "new.zor", libver, **filters))
        assert_same(native, through_h5py)
        assert list(native) == ["extensible", "fixed", "many", "single", "texts", "type", "unlimited"]

    @pytest.mark.parametrize("filters, refused", [
        ({"compression": "lzf"}, "fails its checksum or cannot be decompressed"),  # h5py's own filter
        ({"scaleoffset": 0}, "has filters the reader does not apply (scaleoffset)"),
    ], ids=["lzf", "scaleoffset"])
    def test_other_filters_refused(self, tmp_path, filters, refused):
        path = h5py_file(tmp_path / "other.zor", lambda f, graph: graph.create_dataset(
            "w", data=np.arange(1000, dtype="<i4") // 100, chunks=(100,), **filters))
        with pytest.raises(zor.ir.serialization.ZORFormatError) as error:
            zor.ir.read(path)
        assert str(error.value) == f"Invalid ZOR-IR file: '/graph/w' {refused} in {path}"
