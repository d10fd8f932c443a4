"""The native walks against the h5py walks: every value kind written by `write`
and by `_write_recursive` gives the same HDF5 objects and types, and `read`
and `_read_recursive` give the same values from either file."""

import h5py
import numpy as np
import pytest

import zor.ir
from helpers import VALUE_KINDS, Payload, assert_same, native_and_h5py_read
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
        f.create_dataset("version", data=zor.ir.serialization.__version__, dtype=h5py.string_dtype())
        _write_recursive(f.create_group("graph"), data)
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
