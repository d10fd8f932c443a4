"""Helpers shared by the tests."""

import h5py
import numpy as np

import zor.ir
from zor.ir.values import values_equal


class Payload:
    """Writes any dictionary; reading it back returns the dictionary."""

    def __init__(self, data):
        self.data = data

    def to_dict(self):
        return self.data

    @classmethod
    def from_dict(cls, data):
        return data


def assert_same(actual, expected):
    """Equal values of exactly the same types, arrays by dtype and shape too."""
    assert type(actual) is type(expected), (actual, expected)
    if isinstance(expected, dict):
        assert list(actual) == list(expected)
        for key in expected:
            assert_same(actual[key], expected[key])
    elif isinstance(expected, (list, tuple)):
        assert len(actual) == len(expected)
        for a, e in zip(actual, expected):
            assert_same(a, e)
    else:
        assert values_equal(actual, expected), (actual, expected)


def same_kinds(a, b) -> bool:
    """True when two values have the same Python kinds all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_kinds(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_kinds(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype
    return True


def h5py_file(path, fill, version="0.0.1"):
    """A file in the ZOR-IR layout made by h5py; `fill(file, graph_group)`."""
    with h5py.File(path, "w") as f:
        if version is not None:
            f.create_dataset("version", data=version, dtype=h5py.string_dtype())
        graph = f.create_group("graph")
        graph.create_dataset("type", data="Payload", dtype=h5py.string_dtype())
        fill(f, graph)
    return path


def native_and_h5py_read(path):
    """The dictionary read by `read` and by `_read_recursive` on h5py."""
    from zor.ir.serialization import _read_recursive

    native = zor.ir.read(path)
    with h5py.File(path, "r") as f:
        through_h5py = _read_recursive(f["graph"])
    return native, through_h5py


class Shown:
    """Anything else: stored as its text form."""

    def __str__(self):
        return "shown"


# (id, value written, value read back): the value kinds in the order the
# writer tests them, then the NumPy values beyond the writer's own types.
VALUE_KINDS = [
    ("none", None, "<absent>"),
    ("text", "héllo", "héllo"),
    ("array", np.arange(6, dtype=np.int16).reshape(2, 3), np.arange(6, dtype=np.int16).reshape(2, 3)),
    ("zero-d array", np.array(2.5, dtype=np.float32), np.float32(2.5)),
    ("dict", {"b": 1, "a": {"c": "d"}}, {"a": {"c": "d"}, "b": np.int64(1)}),
    ("empty list", [], []),
    ("pairs", [("a", "b"), ["c", "d"]], [("a", "b"), ("c", "d")]),
    ("text list", ["x", "yé"], np.array([b"x", "yé".encode()], dtype=object)),
    ("number list", [1, 2, 3], np.array([1, 2, 3])),
    ("nested list", [[1.5, 2.0], [3.0, 4.0]], np.array([[1.5, 2.0], [3.0, 4.0]])),
    ("text tuple", ("p", "q"), np.array([b"p", b"q"], dtype=object)),
    ("number tuple", (3, 4), np.array([3, 4])),
    ("empty tuple", (), np.array([])),
    ("bool", True, np.True_),
    ("int", -7, np.int64(-7)),
    ("smallest int", -2 ** 63, np.int64(-2 ** 63)),
    ("int beyond int64", 2 ** 63, np.uint64(2 ** 63)),
    ("largest int", 2 ** 64 - 1, np.uint64(2 ** 64 - 1)),
    ("float", 0.25, np.float64(0.25)),
    ("bytes", b"raw", "b'raw'"),
    ("other", Shown(), "shown"),
    ("numpy int scalar", np.int32(7), np.int32(7)),
    ("numpy bool scalar", np.False_, np.False_),
    ("numpy float32 scalar", np.float32(1.5), np.float32(1.5)),
    ("numpy bytes scalar", np.bytes_(b"ab"), "ab"),
    ("unstorable numpy scalar", np.datetime64("2024-01-02"), "2024-01-02"),
    ("object array of texts", np.array([["a", b"b"], ["c", "d"]], dtype=object),
     np.array([[b"a", b"b"], [b"c", b"d"]], dtype=object)),
    ("fixed-length bytes", np.array([b"a", b"bc"]), ["a", "bc"]),
    ("bool array", np.array([True, False]), np.array([True, False])),
    ("big-endian", np.arange(3, dtype=">u4"), np.arange(3, dtype=">u4")),
    ("float16", np.array([0.5, -2.0], dtype=np.float16), np.array([0.5, -2.0], dtype=np.float16)),
    ("complex", np.array([1 + 2j], dtype=">c16"), np.array([1 + 2j], dtype=">c16")),
    ("empty 2-d", np.zeros((2, 0), dtype=np.int8), np.zeros((2, 0), dtype=np.int8)),
    ("non-contiguous", np.arange(10.0)[::3], np.arange(10.0)[::3]),
    # As h5py reads an enumeration: its integers, the mapping in the dtype's metadata.
    ("integers of an enumeration", np.array([2, 0], h5py.enum_dtype({"A": 0, "C": 2}, basetype=">i2")),
     np.array([2, 0], ">i2")),
]
