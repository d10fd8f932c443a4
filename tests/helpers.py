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
    ("dict", {"b": 1, "a": {"c": "d"}}, {"b": np.int64(1), "a": {"c": "d"}}),
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


def raw_dataset(group, name, file_type, data, shape=None):
    """A dataset of an HDF5 type h5py does not make from a NumPy dtype,
    written with `data`'s bytes as they are."""
    space = h5py.h5s.create(h5py.h5s.SCALAR) if data.shape == () else h5py.h5s.create_simple(data.shape)
    dataset = h5py.h5d.create(group.id, name.encode(), file_type, space)
    dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, np.ascontiguousarray(data), mtype=file_type)


def compound(size, *members):
    compound = h5py.h5t.create(h5py.h5t.COMPOUND, size)
    for name, offset, member in members:
        compound.insert(name if isinstance(name, bytes) else name.encode(), offset, member)
    return compound


def _boolean(base):
    boolean = h5py.h5t.enum_create(base)
    boolean.enum_insert(b"FALSE", 0)
    boolean.enum_insert(b"TRUE", 1)
    return boolean


def _opaque(size, tag):
    opaque = h5py.h5t.create(h5py.h5t.OPAQUE, size)
    opaque.set_tag(tag)
    return opaque


def _sequences(*arrays, dtype):
    data = np.empty(len(arrays), dtype=object)
    data[:] = [np.asarray(array, dtype=dtype) for array in arrays]
    return data


_PADDED = np.dtype({"names": ["flag", "pair", "tag", "grid"], "formats": ["?", ">c8", "S3", ("<u2", (2, 3))],
                    "offsets": [0, 4, 12, 16], "itemsize": 32})
_NESTED = np.dtype([("a", "<i4"), ("b", ">f8"), ("c", [("x", "u1"), ("y", "<f2")])])

# (id, fill(graph) making the dataset "x", what `read` gives or None for h5py's
# `dataset[()]`): the datatypes read but never written, as h5py reads them.
READ_ONLY_KINDS = [
    ("compound", lambda g: g.create_dataset("x", data=np.array([(1, 2.5, (3, 0.5)), (-4, 6.5, (7, 8.0))], _NESTED)),
     None),
    ("compound with padding, arrays, texts and complex", lambda g: g.create_dataset(
        "x", data=np.array([(True, 1 - 2j, b"ab", [[1, 2, 3], [4, 5, 6]]), (False, 3j, b"xyz", [[7] * 3] * 2)],
                           _PADDED)), None),
    ("compound scalar", lambda g: g.create_dataset("x", data=np.array((5, 0.25), [("n", "<i8"), ("v", "<f4")])[()]),
     None),
    ("compound without rows", lambda g: g.create_dataset("x", data=np.zeros(0, _NESTED)), None),
    ("compound of enumerations", lambda g: g.create_dataset("x", data=np.array(
        [(2, 1)], [("e", h5py.enum_dtype({"A": 0, "B": 2}, basetype=">i2")), ("f", h5py.enum_dtype(
            {"FALSE": 0, "TRUE": 1}, basetype="i1"))])), None),
    ("compound with a wide boolean and a bitfield", lambda g: raw_dataset(
        g, "x", compound(8, ("flag", 0, _boolean(h5py.h5t.STD_I32LE)), ("bits", 4, h5py.h5t.STD_B32BE)),
        np.array([(1, 0xABCD), (0, 7)], [("flag", "<i4"), ("bits", ">u4")])), None),
    ("compound of an array of compounds", lambda g: g.create_dataset("x", data=np.ones(
        2, [("cells", [("p", "i1"), ("q", "u1")], (2, 2))])), None),
    ("compound like a complex number of halves", lambda g: g.create_dataset(
        "x", data=np.array([(1.5, -2)], [("r", "<f2"), ("i", "<f2")])), None),
    ("enumeration", lambda g: g.create_dataset(
        "x", data=np.array([0, 5, 9], "u1"), dtype=h5py.enum_dtype({"A": 0, "B": 5, "C": 9}, basetype="u1")),
     None),
    ("big-endian signed enumeration", lambda g: g.create_dataset(
        "x", data=np.array([[-1, 3]], ">i8"), dtype=h5py.enum_dtype({"M": -1, "N": 3}, basetype=">i8")), None),
    ("enumeration scalar", lambda g: g.create_dataset(
        "x", data=np.int16(1), dtype=h5py.enum_dtype({"A": 0, "B": 1, "C": 2}, basetype="<i2")), None),
    ("opaque", lambda g: g.create_dataset("x", data=np.array([b"abcd", b"\0\1\2\3"], "V4")), None),
    ("opaque scalar", lambda g: g.create_dataset("x", data=np.void(b"abc")), None),
    ("opaque of another tag", lambda g: raw_dataset(g, "x", _opaque(3, b"sensor"), np.array([b"a\0c"], "V3")),
     np.array([b"a\0c"], "V3")),
    ("bitfield", lambda g: raw_dataset(g, "x", h5py.h5t.STD_B16LE, np.array([1, 0x8001], "<u2")), None),
    ("big-endian bitfield scalar", lambda g: raw_dataset(g, "x", h5py.h5t.STD_B64BE, np.array(2 ** 63 + 5, ">u8")),
     None),
    ("sequences", lambda g: g.create_dataset(
        "x", data=_sequences([1, 2], [], [3, 4, 5], dtype="i4"), dtype=h5py.vlen_dtype("i4")), None),
    ("sequences in two dimensions", lambda g: g.create_dataset(
        "x", data=_sequences([1], [2, 3], dtype="u2").reshape(1, 2), dtype=h5py.vlen_dtype("u2")), None),
    ("sequence scalar", lambda g: g.create_dataset("x", shape=(), dtype=h5py.vlen_dtype("f8")).__setitem__(
        (), np.array([0.5, 1.5])), None),
    ("sequences of booleans, halves and complex numbers", lambda g: [g.create_dataset(
        name, data=_sequences(values, [], dtype=dtype), dtype=h5py.vlen_dtype(dtype)) for name, values, dtype in [
            ("x", [True, False], "?"), ("y", [0.5, -1], "f2"), ("z", [1j], "c8")]], None),
    ("no sequences", lambda g: g.create_dataset("x", shape=(0,), dtype=h5py.vlen_dtype("i8")), None),
    # h5py 3.12 hands out the stored big-endian bytes as native numbers; HDF5 converts them.
    ("big-endian sequences", lambda g: g.create_dataset(
        "x", data=_sequences([1.5, -2], [3], dtype=">f4"), dtype=h5py.vlen_dtype(">f4")),
     _sequences([1.5, -2], [3], dtype="f4")),
]


def assert_user_imports(module, names):
    """What a user imports from a node module: `names`, the very objects
    zor.ir re-exports, among which every class the module defines."""
    import zor.ir

    assert [name for name in names if getattr(module, name) is not getattr(zor.ir, name)] == []
    defined = {name for name, value in vars(module).items()
               if isinstance(value, type) and value.__module__ == module.__name__}
    assert defined <= set(names)


def simulate_alone(node, x, name="node", **options):
    """The output of ``node`` alone in a graph under simulate, for input x
    (T, B, *shape); with ``record``, every array simulate returns."""
    node.input_type = {"input": np.array(x.shape[2:])}
    node.output_type = None
    graph = zor.ir.Graph()
    graph.add_node(name, node)
    out = zor.ir.simulate(graph, x, dt=options.pop("dt", 1.0), **options)
    return out if "record" in options else out[name]


def lif_node(n, tau=4.0, r=2.0, v_leak=0.1, v_threshold=1.0):
    return zor.ir.LIF(np.full(n, tau), np.full(n, r), np.full(n, v_leak),
                      np.full(n, v_threshold))


def ordered_conv(x, w, b, stride=(1, 1), padding=(0, 0), dilation=(1, 1), groups=1):
    """Each output's sum from +0 in the order of (c, i, j) over the padded
    input, one rounded product and addition at a time, then the bias."""
    n, _, h, wd = x.shape
    o, cg, kh, kw = w.shape
    xp = np.pad(x, ((0, 0), (0, 0), (padding[0],) * 2, (padding[1],) * 2))
    ho = (h + 2 * padding[0] - dilation[0] * (kh - 1) - 1) // stride[0] + 1
    wo = (wd + 2 * padding[1] - dilation[1] * (kw - 1) - 1) // stride[1] + 1
    out = np.zeros((n, o, ho, wo))
    per = o // groups
    for g in range(groups):
        for c in range(cg):
            for i in range(kh):
                for j in range(kw):
                    top, left = i * dilation[0], j * dilation[1]
                    cells = xp[:, g * cg + c, top:top + stride[0] * (ho - 1) + 1:stride[0],
                               left:left + stride[1] * (wo - 1) + 1:stride[1]]
                    taps = w[g * per:(g + 1) * per, c, i, j]
                    out[:, g * per:(g + 1) * per] += taps[None, :, None, None] * cells[:, None]
    return out + b[None, :, None, None]
