"""Node order through a file: both writers keep the order of every
dictionary, both readers and h5py give it back; files written before groups
kept it still read, in name order."""

import h5py
import numpy as np
import pytest

import zor.ir
from helpers import Payload, native_and_h5py_read
from zor.ir import Graph, ReLU, Skip
from zor.ir.serialization import _read_recursive, _write_recursive

ORDER = ["zeta", "alpha", "sum"]


def joined():
    """Nodes inserted as zeta, alpha, sum; metadata and every node's own
    dictionary in an order of their own."""
    graph = Graph(metadata={"z": "last", "a": {"y": 1, "b": 2}})
    graph.add_node("zeta", ReLU(4))
    graph.add_node("alpha", ReLU(4))
    graph.add_node("sum", Skip("add"))
    graph.add_edge("zeta", "sum")
    graph.add_edge("alpha", "sum")
    return graph


def many(count=40):
    """More members than a compact group holds: HDF5 keeps them in a heap."""
    names = [f"n{i}" for i in np.random.default_rng(0).permutation(count)]
    return Graph.sequential([ReLU(4) for _ in names], names=names)


def write_through_h5py(path, graph):
    """The file write makes, through h5py: the walk makes the group graph as
    every group of its own, with its members' order tracked."""
    with h5py.File(path, "w") as f:
        _write_recursive(f, {"version": zor.ir.serialization.__version__, "graph": graph.to_dict()})
    return path


def write_native(path, graph):
    zor.ir.write(path, graph)
    return path


def as_payload(graph):
    """The graph's dictionary, which both readers then give back as read."""
    return Payload({**graph.to_dict(), "type": "Payload"})


def write_untracked(path, data):
    """A file as the writers made them before groups kept their order."""
    def fill(group, values):
        for key, value in values.items():
            if isinstance(value, dict):
                fill(group.create_group(key), value)
            elif isinstance(value, list):
                pairs = group.create_group(key)
                for end, texts in zip(("src", "dst"), zip(*value)):
                    pairs.create_dataset(end, data=list(texts), dtype=h5py.string_dtype())
            elif isinstance(value, str):
                group.create_dataset(key, data=value, dtype=h5py.string_dtype())
            elif value is not None:
                group.create_dataset(key, data=value)

    with h5py.File(path, "w") as f:
        f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        fill(f.create_group("graph"), data)
    return path


def key_orders(data):
    """Every dictionary's keys in order, by path."""
    orders, stack = {}, [("", data)]
    while stack:
        path, value = stack.pop()
        orders[path] = list(value)
        stack += [(f"{path}/{key}", item) for key, item in value.items() if isinstance(item, dict)]
    return orders


WRITERS = pytest.mark.parametrize("write", [write_native, write_through_h5py], ids=["native", "h5py walk"])


class TestOrderKept:
    @WRITERS
    def test_nodes_come_back_as_inserted(self, tmp_path, write):
        path = write(tmp_path / "net.zor", joined())
        graph = zor.ir.read(path)
        assert list(graph.nodes) == ORDER and graph.inputs() == ["zeta", "alpha"]
        assert graph.topological_order() == ORDER
        assert graph.equals(joined())

    @WRITERS
    def test_every_dictionary_in_both_readers_and_h5py(self, tmp_path, write):
        expected = as_payload(joined()).data
        path = write(tmp_path / "net.zor", as_payload(joined()))
        for read_back in native_and_h5py_read(path):
            assert key_orders(read_back) == key_orders(expected)
        with h5py.File(path, "r") as f:
            assert {name: list(f["graph" + name]) for name in key_orders(expected)} == key_orders(expected)
        assert list(key_orders(expected)["/nodes"]) == ORDER
        assert key_orders(expected)["/metadata"] == ["z", "a"]

    @WRITERS
    def test_groups_of_many_members(self, tmp_path, write):
        graph = many()
        path = write(tmp_path / "net.zor", graph)
        assert list(zor.ir.read(path).nodes) == list(graph.nodes)
        with h5py.File(path, "r") as f:
            assert list(f["graph/nodes"]) == list(graph.nodes)
            assert list(_read_recursive(f["graph"])["nodes"]) == list(graph.nodes)

    def test_the_writers_make_the_same_bytes(self, tmp_path):
        for graph in (joined(), many()):
            native = write_native(tmp_path / "native.zor", graph)
            through_h5py = write_through_h5py(tmp_path / "h5py.zor", graph)
            assert native.read_bytes() == through_h5py.read_bytes()

    def test_layout_in_order(self, tmp_path):
        layout = zor.ir.read_layout(write_native(tmp_path / "net.zor", joined()))
        assert list(layout) == ["type", "nodes", "edges", "metadata"]
        assert list(layout["nodes"]) == ORDER


class TestFilesWrittenBefore:
    def test_read_in_name_order(self, tmp_path):
        path = write_untracked(tmp_path / "old.zor", joined().to_dict())
        with h5py.File(path, "r") as f:
            assert f["graph/nodes"].id.get_create_plist().get_link_creation_order() == 0
        for read_back in native_and_h5py_read(path):
            nodes = read_back.nodes if isinstance(read_back, Graph) else read_back["nodes"]
            assert list(nodes) == ["alpha", "sum", "zeta"]
        graph = zor.ir.read(path)
        assert list(graph.metadata) == ["a", "z"] and graph.edges == joined().edges

    def test_rewritten_keeps_the_order_read(self, tmp_path):
        graph = zor.ir.read(write_untracked(tmp_path / "old.zor", joined().to_dict()))
        again = zor.ir.read(write_native(tmp_path / "new.zor", graph))
        assert list(again.nodes) == ["alpha", "sum", "zeta"] and again.equals(graph)


class TestEqualsSeesOrder:
    def test_same_nodes_in_another_order_differ(self):
        other = Graph(nodes={name: joined().nodes[name] for name in reversed(ORDER)},
                      edges=joined().edges, metadata=joined().metadata)
        assert not joined().equals(other) and not other.equals(joined())
        assert joined().equals(joined())
