"""Reading: the failure table, the version probe, pair groups, files written by
h5py, hostile files, the registry, and resources left behind."""

import ctypes
import gc
import subprocess
import sys
import types

import h5py
import numpy as np
import pytest

import zor.ir
from helpers import READ_ONLY_KINDS, Payload, assert_same, compound, h5py_file, native_and_h5py_read, raw_dataset
from zor.ir import serialization
from zor.ir.serialization import ZORFormatError


def format_error(call, path):
    with pytest.raises(ZORFormatError) as error:
        call(path)
    return error.value


class TestReadFailures:
    def test_missing_path_and_directory(self, tmp_path):
        for call in (zor.ir.read, zor.ir.read_version):
            with pytest.raises(FileNotFoundError) as missing:
                call(tmp_path / "none.zor")
            assert str(missing.value) == f"ZOR-IR file not found: {tmp_path / 'none.zor'}"
            with pytest.raises(ValueError) as directory:
                call(str(tmp_path))
            assert str(directory.value) == f"Path is not a file: {tmp_path}"

    @pytest.mark.parametrize("content", [b"", b"not an HDF5 file\n", "truncated"])
    def test_not_hdf5(self, tmp_path, content):
        path = tmp_path / "bad.zor"
        if content == "truncated":
            zor.ir.write(path, Payload({"w": np.zeros(4096)}))
            content = path.read_bytes()[:5000]
        path.write_bytes(content)
        for call in (zor.ir.read, zor.ir.read_version):
            error = format_error(call, path)
            assert str(error) == f"Cannot read file as HDF5: {path}"
            assert type(error.__cause__) is OSError
            assert str(error.__cause__).startswith("Unable to open file (")
            assert isinstance(error.__cause__.__cause__, RuntimeError)

    def test_missing_members(self, tmp_path):
        no_graph = tmp_path / "no-graph.zor"
        with h5py.File(no_graph, "w") as f:
            f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
        assert str(format_error(zor.ir.read, no_graph)) == \
            f"Invalid ZOR-IR file: missing 'graph' group in {no_graph}"
        assert zor.ir.read_version(no_graph) == "0.0.1"

        neither = tmp_path / "neither.zor"
        h5py.File(neither, "w").close()
        assert str(format_error(zor.ir.read, neither)) == \
            f"Invalid ZOR-IR file: missing 'graph' group in {neither}"
        assert str(format_error(zor.ir.read_version, neither)) == \
            f"Invalid ZOR-IR file: missing 'version' in {neither}"

        no_version = h5py_file(tmp_path / "no-version.zor", lambda f, g: None, version=None)
        assert str(format_error(zor.ir.read, no_version)) == \
            f"Invalid ZOR-IR file: missing 'version' in {no_version}"

    def test_graph_that_is_a_dataset(self, tmp_path):
        path = tmp_path / "g.zor"
        with h5py.File(path, "w") as f:
            f.create_dataset("version", data="0.0.1", dtype=h5py.string_dtype())
            f.create_dataset("graph", data=1)
        assert str(format_error(zor.ir.read, path)) == f"Invalid ZOR-IR file: '/graph' is not a group in {path}"

    def test_version_probe(self, tmp_path):
        other = h5py_file(tmp_path / "v.zor", lambda f, g: None, version="9.9")
        assert zor.ir.read_version(other) == "9.9"
        assert zor.ir.read(other) == {"type": "Payload"}
        fixed = tmp_path / "fixed.zor"
        with h5py.File(fixed, "w") as f:
            f.create_dataset("version", data=np.bytes_(b"1.2"))
        assert zor.ir.read_version(path=fixed) == "1.2"
        number = tmp_path / "number.zor"
        with h5py.File(number, "w") as f:
            f.create_dataset("version", data=3)
        with pytest.raises(TypeError) as error:
            zor.ir.read_version(number)
        assert str(error.value) == "Expected str, got numpy.int64"


class TestPairGroups:
    @pytest.mark.parametrize("members, expected", [
        ({"src": ["a", "b"], "dst": ["c", "d"], "x": 1}, [("a", "c"), ("b", "d")]),
        ({"src": ["a", "b", "c"], "dst": ["x", "y"]}, [("a", "x"), ("b", "y")]),
        ({"src": [], "dst": []}, []),
        ({"src": ["a"]}, {"src": np.array([b"a"], dtype=object)}),
        ({"src": np.array([b"a"]), "dst": np.array([7])}, [("a", np.int64(7))]),
    ])
    def test_recognised_by_both_members(self, tmp_path, members, expected):
        def fill(f, graph):
            group = graph.create_group("e")
            for name, value in members.items():
                kind = h5py.string_dtype() if isinstance(value, list) else None
                group.create_dataset(name, data=np.array(value, dtype=object) if kind else value, dtype=kind)

        for back in native_and_h5py_read(h5py_file(tmp_path / "p.zor", fill)):
            assert_same(back["e"], expected)


# dtype written by h5py -> the same values must come back from both walks.
NUMERIC = [f"{order}{kind}{size}" for kind in "iu" for size in (1, 2, 4, 8) for order in "<>"] + \
    [f"{order}f{size}" for size in (2, 4, 8) for order in "<>"] + ["<c8", ">c8", "<c16", ">c16", "?"]


class TestFilesWrittenByH5py:
    @pytest.mark.parametrize("dtype", NUMERIC)
    def test_numbers(self, tmp_path, dtype):
        values = np.arange(6).reshape(2, 3).astype(dtype)

        def fill(f, graph):
            graph.create_dataset("array", data=values)
            graph.create_dataset("scalar", data=values[1, 2])

        path = h5py_file(tmp_path / "n.zor", fill)
        with h5py.File(path) as f:
            expected = {"array": f["graph/array"][()], "scalar": f["graph/scalar"][()], "type": "Payload"}
        for back in native_and_h5py_read(path):
            assert_same(back, expected)
        assert back["array"].dtype == np.dtype(dtype)

    def test_strings(self, tmp_path):
        def fill(f, graph):
            graph.create_dataset("vlen", data=np.array(["a", "é"], dtype=object), dtype=h5py.string_dtype())
            graph.create_dataset("ascii", data=np.array([b"a"], dtype=object),
                                 dtype=h5py.string_dtype("ascii"))
            graph.create_dataset("fixed", data=np.array([[b"ab", b"c"]]))
            graph.create_dataset("fixed_scalar", data=np.bytes_(b"xy"))
            graph.create_dataset("chunked", data=np.arange(100.0), chunks=(10,), compression="gzip")
            graph["named_type"] = np.dtype("f4")  # a committed datatype: skipped

        path = h5py_file(tmp_path / "s.zor", fill)
        for back in native_and_h5py_read(path):
            assert_same(back, {
                "ascii": np.array([b"a"], dtype=object), "chunked": np.arange(100.0),
                "fixed": [np.array([b"ab", b"c"])], "fixed_scalar": "xy", "type": "Payload",
                "vlen": np.array([b"a", "é".encode()], dtype=object)})

    def test_boolean_enumeration_over_other_bases(self, tmp_path):
        def fill(f, graph):
            graph.create_dataset("flags", data=np.array([1, 0], dtype="<i4"),
                                 dtype=h5py.enum_dtype({"FALSE": 0, "TRUE": 1}, basetype="<i4"))

        for back in native_and_h5py_read(h5py_file(tmp_path / "b.zor", fill)):
            assert_same(back["flags"], np.array([True, False]))


def shared_groups(f, graph):
    graph.create_group("a/inner").create_dataset("v", data=np.arange(3))
    graph["b"] = graph["a"]  # the same group under another name
    graph["c"] = graph["a/inner"]  # and at another depth
    graph.create_group("d")["e"] = graph["a"]


def shared_pairs(f, graph):
    pairs = graph.create_group("edges")
    for name in ("src", "dst"):
        pairs.create_dataset(name, data=np.array([b"p"], dtype=object), dtype=h5py.string_dtype())
    graph["again"] = pairs


SHARED_INNER = {"v": np.arange(3)}
SHARED = [
    ("groups", shared_groups, {"a": {"inner": SHARED_INNER}, "b": {"inner": SHARED_INNER}, "c": SHARED_INNER,
                               "d": {"e": {"inner": SHARED_INNER}}}),
    ("pair group", shared_pairs, {"again": [("p", "p")], "edges": [("p", "p")]}),
]


def nested_compound(depth):
    dtype = np.dtype("i1")
    for _ in range(depth):
        dtype = np.dtype([("m", dtype)])
    return dtype


class TestGroupsReachedTwice:
    @pytest.mark.parametrize("fill, expected", [case[1:] for case in SHARED], ids=[case[0] for case in SHARED])
    def test_read_at_every_link(self, tmp_path, fill, expected):
        path = h5py_file(tmp_path / "shared.zor", fill)
        for back in native_and_h5py_read(path):
            assert_same(back, {**expected, "type": "Payload"})
            dicts = [value for value in back.values() if isinstance(value, (dict, list))]
            assert len({id(value) for value in dicts}) == len(dicts)  # read anew each time, not shared

    def test_layout_lists_every_link(self, tmp_path):
        layout = zor.ir.read_layout(h5py_file(tmp_path / "shared.zor", shared_groups))
        assert [layout[name]["inner"]["v"].shape for name in ("a", "b")] == [(3,), (3,)]
        assert layout["c"]["v"].shape == layout["d"]["e"]["inner"]["v"].shape == (3,)

    def test_a_deep_chain_of_shared_groups(self, tmp_path):
        # Each level links the next twice: 2**depth paths to the last group.
        def fill(f, graph):
            level = graph
            for depth in range(6):
                level["x"] = level.create_group("y")
                level = level["y"]
            level.create_dataset("leaf", data=1)

        for back in native_and_h5py_read(h5py_file(tmp_path / "chain.zor", fill)):
            leaves = [back]
            for _ in range(6):
                leaves = [level[key] for level in leaves for key in ("x", "y")]
            assert len(leaves) == 64 and all(leaf == {"leaf": 1} for leaf in leaves)

    def test_a_chain_too_deep_to_read_is_refused(self, tmp_path):
        # 10 levels, each linking the next twice, down to a group of 512 links
        # to one named datatype: 2**19 members from a file of 64 KiB. Both
        # walks stop at the number of members the file could hold, in a child
        # process. Datatypes are the cheapest members to open, and without
        # the bound the walks end (wrongly without an error) within seconds.
        def fill(f, graph):
            level = graph.create_group("d0")
            level["t"] = np.dtype("i1")
            for i in range(1, 512):
                level[f"t{i}"] = level["t"]
            for depth in range(1, 11):
                below, level = level, graph.create_group(f"d{depth}")
                level["a"], level["b"] = below, below

        path = h5py_file(tmp_path / "bomb.zor", fill)
        code = ("import sys, h5py, zor.ir\n"
                "from zor.ir.serialization import _read_recursive\n"
                "for read in (zor.ir.read, lambda p: _read_recursive(h5py.File(p)['graph'])):\n"
                "    try:\n        read(sys.argv[1])\n    except Exception as error:\n"
                "        print(type(error).__name__, str(error).split(': its')[0].rsplit(' (', 1)[-1])\n")
        child = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=120)
        assert (child.returncode, child.stdout) == (0, "ZORFormatError 262144)\n" * 2), child.stderr


class TestReadOnlyKinds:
    @pytest.mark.parametrize("fill, expected", [case[1:] for case in READ_ONLY_KINDS],
                             ids=[case[0] for case in READ_ONLY_KINDS])
    def test_read_as_h5py_reads_them(self, tmp_path, fill, expected):
        path = h5py_file(tmp_path / "kinds.zor", lambda f, graph: fill(graph))
        with h5py.File(path) as f:
            names = [name for name in f["graph"] if name != "type"]
            try:
                by_h5py = {name: f["graph"][name][()] for name in names}
            except OSError:  # h5py 3.12 reads opaque data of its own tag only
                by_h5py = {"x": expected}
        native, through_h5py = native_and_h5py_read(path)
        assert_same(native, dict(sorted({**by_h5py, "type": "Payload", **({} if expected is None else {"x": expected})}
                                        .items())))
        assert_same(through_h5py, dict(sorted({**by_h5py, "type": "Payload"}.items())))
        mapped = zor.ir.read(path, mmap=True)
        assert_same(mapped, native)
        assert all(value.flags.writeable for value in mapped.values() if isinstance(value, np.ndarray))

    def test_deepest_nesting_reads(self, tmp_path):
        # 32 compounds in one another: the innermost integer is 32 levels below the dataset's type.
        value = np.ones(1, nested_compound(32))
        for back in native_and_h5py_read(h5py_file(tmp_path / "d.zor", lambda f, g: g.create_dataset("x", data=value))):
            assert_same(back["x"], value)

    def test_sequences_own_their_items(self, tmp_path):
        path = h5py_file(tmp_path / "s.zor", lambda f, g: g.create_dataset(
            "x", data=np.array([np.arange(3), np.arange(2)], dtype=object), dtype=h5py.vlen_dtype("i8")))
        items = list(zor.ir.read(path)["x"])
        assert all(item.base is None and item.flags.writeable and item.flags.c_contiguous for item in items)
        items[0][0] = 7
        assert items[0].tolist() == [7, 1, 2] and items[1].tolist() == [0, 1]


def virtual_dataset(f, graph):
    layout = h5py.VirtualLayout(shape=(4,), dtype="i8")
    layout[:] = h5py.VirtualSource(f.filename + ".other", "secret", shape=(4,))
    graph.create_virtual_dataset("x", layout)


HOSTILE = [
    ("soft link", lambda f, g: g.__setitem__("x", h5py.SoftLink("/version")), "is a soft link"),
    ("external link", lambda f, g: g.__setitem__("x", h5py.ExternalLink(f.filename + ".other", "/secret")),
     "is an external link"),
    ("external storage", lambda f, g: g.create_dataset("x", shape=(4,), dtype="<i8",
                                                       external=[(f.filename + ".raw", 0, 32)]),
     "keeps its data in an external file"),
    ("virtual dataset", virtual_dataset, "is a virtual dataset"),
    ("loop", lambda f, g: g.create_group("x").__setitem__("up", g),
     "links to a group that contains it", "/graph/x/up"),
    ("loop to itself", lambda f, g: g.create_group("x").__setitem__("self", g["x"]),
     "links to a group that contains it", "/graph/x/self"),
    ("loop below a shared group", lambda f, g: (g.create_group("x/y/z"), g.__setitem__("b", g["x/y"]),
                                                g["x/y/z"].__setitem__("back", g["x"])),
     "links to a group that contains it", "/graph/x/y/z/back"),
    ("opaque member", lambda f, g: g.create_dataset("x", data=np.zeros(2, [("a", "i4"), ("o", "V3")])),
     "has an unsupported datatype (compound member 'o': opaque)"),
    ("reference", lambda f, g: g.create_dataset("x", data=f.ref, dtype=h5py.ref_dtype),
     "has an unsupported datatype (reference)"),
    ("region reference", lambda f, g: g.create_dataset("x", data=g["type"].regionref[()], dtype=h5py.regionref_dtype),
     "has an unsupported datatype (reference)"),
    ("sequence of compounds", lambda f, g: g.create_dataset("x", shape=(2,), dtype=h5py.vlen_dtype([("a", "i4")])),
     "has an unsupported datatype (variable-length sequence of other than numbers)"),
    ("sequence of texts", lambda f, g: g.create_dataset("x", shape=(2,), dtype=h5py.vlen_dtype("S3")),
     "has an unsupported datatype (variable-length sequence of other than numbers)"),
    ("sequence member", lambda f, g: g.create_dataset("x", shape=(2,), dtype=[("s", h5py.vlen_dtype("i4"))]),
     "has an unsupported datatype (compound member 's': variable-length sequence)"),
    ("array type", lambda f, g: g.create_dataset("x", shape=(2,), dtype=np.dtype(("f4", (3,)))),
     "has an unsupported datatype (array)"),
    ("sequence of enumerations", lambda f, g: g.create_dataset(
        "x", shape=(2,), dtype=h5py.vlen_dtype(h5py.enum_dtype({"A": 0, "B": 1}, basetype="u1"))),
     "has an unsupported datatype (variable-length sequence of other than numbers)"),
    ("text member", lambda f, g: g.create_dataset("x", shape=(2,), dtype=[("a", "i4"), ("s", h5py.string_dtype())]),
     "has an unsupported datatype (compound member 's': variable-length string)"),
    ("reference member", lambda f, g: g.create_dataset("x", shape=(2,), dtype=[("r", h5py.ref_dtype)]),
     "has an unsupported datatype (compound member 'r': reference)"),
    ("nested unsupported member", lambda f, g: g.create_dataset(
        "x", shape=(2,), dtype=[("n", [("d", np.longdouble)])]),
     "has an unsupported datatype (compound member 'n.d': 16-byte float)"),
    ("opaque too large for NumPy", lambda f, g: h5py.h5d.create(
        g.id, b"x", h5py.h5t.create(h5py.h5t.OPAQUE, 2 ** 31), h5py.h5s.create_simple((0,))),
     "has an unsupported datatype (2147483648-byte type)"),
    ("compounds nested too deep", lambda f, g: g.create_dataset("x", shape=(1,), dtype=nested_compound(40)),
     "has an unsupported datatype (compound member '" + ".".join("m" * 33) + "': types nested more than 32 deep)"),
    ("array of an unsupported member", lambda f, g: g.create_dataset(
        "x", shape=(2,), dtype=[("a", h5py.string_dtype(), (2,))]),
     "has an unsupported datatype (compound member 'a': array of variable-length string)"),
    ("member name not UTF-8", lambda f, g: raw_dataset(g, "x", compound(4, (b"\xff", 0, h5py.h5t.STD_I32LE)),
                                                        np.zeros(2, "<i4")),
     "has an unsupported datatype (compound member name that is not UTF-8)"),
    ("long double", lambda f, g: g.create_dataset("x", data=np.zeros(2, dtype=np.longdouble)),
     "has an unsupported datatype (16-byte float)"),
    ("null dataspace", lambda f, g: g.create_dataset("x", data=h5py.Empty("f4")), "has a null dataspace"),
    ("pair member group", lambda f, g: (g.create_group("x/src"), g.create_dataset("x/dst", data=[1])),
     "is not a dataset", "/graph/x/src"),
    ("pair member scalar", lambda f, g: (g.create_dataset("x/src", data=1), g.create_dataset("x/dst", data=[1])),
     "is not one-dimensional", "/graph/x/src"),
]


class TestHostileFiles:
    @pytest.mark.parametrize("fill, problem, member", [(case + ("/graph/x",))[1:4] for case in HOSTILE],
                             ids=[case[0] for case in HOSTILE])
    def test_refused_by_both_walks(self, tmp_path, fill, problem, member):
        path = tmp_path / "hostile.zor"
        with h5py.File(str(path) + ".other", "w") as other:
            other.create_dataset("secret", data=np.arange(4))
        np.arange(4, dtype="<i8").tofile(str(path) + ".raw")
        h5py_file(path, fill)
        assert str(format_error(zor.ir.read, path)) == f"Invalid ZOR-IR file: '{member}' {problem} in {path}"
        with h5py.File(path) as f, pytest.raises(ZORFormatError) as error:
            zor.ir.serialization._read_recursive(f["graph"])
        assert str(error.value) == f"Invalid ZOR-IR file: '{member}' {problem} in {path}"


class TestRegistry:
    def test_errors_of_the_registry_pass_unchanged(self, tmp_path):
        zor.ir.write(tmp_path / "g.zor", Payload({"type": "Nothing"}))
        with pytest.raises(ValueError, match="Unknown node type 'Nothing'"):
            zor.ir.read(tmp_path / "g.zor")

    def test_os_errors_become_format_errors(self, tmp_path, monkeypatch):
        def broken(data):
            raise OSError("gone")

        monkeypatch.setattr(Payload, "from_dict", broken)
        zor.ir.write(tmp_path / "g.zor", Payload({"type": "Payload"}))
        error = format_error(zor.ir.read, tmp_path / "g.zor")
        assert str(error) == f"Cannot read file as HDF5: {tmp_path / 'g.zor'}"
        assert str(error.__cause__) == "gone"


def system_hdf5():
    """The HDF5 library serialization links (h5py carries another copy). It is
    linked in with its symbols hidden, so the module hands out the one call."""
    return types.SimpleNamespace(H5Fget_obj_count=serialization.__hdf5_obj_count__)


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def glibc():
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = MallocInfo
    return libc


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and glibc's counters")
class TestResources:
    def test_nothing_left_open_or_allocated(self, tmp_path):
        path = tmp_path / "g.zor"
        data = {"type": "Payload", "w": np.zeros((4, 4)), "t": ["a"], "e": [("a", "b")], "n": {"x": 1}}
        all_files_and_objects = 0x1F

        def cycle():
            zor.ir.write(path, Payload(data))
            zor.ir.read(path)
            try:
                zor.ir.read(__file__)
            except ZORFormatError:
                pass

        hdf5, libc = system_hdf5(), glibc()
        for _ in range(50):  # HDF5's free lists and Python's caches fill up
            cycle()
        gc.collect()
        allocated, objects = libc.mallinfo2().uordblks, len(gc.get_objects())
        for _ in range(200):
            cycle()
        gc.collect()
        assert hdf5.H5Fget_obj_count(all_files_and_objects, all_files_and_objects) == 0
        # A property list or dataspace left open costs about 480 bytes a cycle.
        assert libc.mallinfo2().uordblks - allocated < 16 * 1024
        assert len(gc.get_objects()) < objects + 20  # one object a cycle would be 200

    def test_read_only_kinds_leave_nothing(self, tmp_path):
        def fill(f, graph):
            for name, make, _ in READ_ONLY_KINDS:
                make(graph.create_group(name))

        path = h5py_file(tmp_path / "kinds.zor", fill)
        all_files_and_objects = 0x1F
        hdf5, libc = system_hdf5(), glibc()
        for _ in range(20):
            zor.ir.read(path)
        gc.collect()
        allocated = libc.mallinfo2().uordblks
        for _ in range(100):
            zor.ir.read(path)
        gc.collect()
        assert hdf5.H5Fget_obj_count(all_files_and_objects, all_files_and_objects) == 0
        # The sequences' buffers HDF5 allocates take about 350 bytes a read.
        assert libc.mallinfo2().uordblks - allocated < 8 * 1024
