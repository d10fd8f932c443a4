"""Writing: the module's surface, paths, value kinds, key and text checks,
transposition errors, replacing files safely, deep nesting, lossless re-saving."""

import inspect
import os
import stat
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import zor.ir
from helpers import VALUE_KINDS, Payload, assert_same
from zor.ir import serialization
from zor.ir.serialization import ZORFormatError


def lif(n=3):
    return zor.ir.LIF(tau=np.full(n, 20.0), r=np.full(n, 20.0), v_leak=np.zeros(n), v_threshold=np.ones(n))


class TestModule:
    def test_names_in_definition_order(self):
        public = [n for n in vars(serialization) if not n.startswith("__")]
        assert public == ["pathlib", "Any", "Dict", "Union", "h5py", "np", "Graph", "Node",
                          "ZORFormatError", "_write_recursive", "_read_recursive", "write", "read",
                          "read_version"]
        assert serialization.__version__ == "0.0.1"
        assert serialization.__doc__.startswith("HDF5 serialization for ZOR-IR graphs.")
        assert (zor.ir.write, zor.ir.read, zor.ir.read_version) == (
            serialization.write, serialization.read, serialization.read_version)

    @pytest.mark.parametrize("function, opening", [
        ("write", "write(path: Union[str, pathlib.Path], graph: Node) -> None\n\n"
                  "Save ZOR-IR graph to HDF5 file."),
        ("read", "read(path: Union[str, pathlib.Path]) -> Graph\n\nLoad ZOR-IR graph from HDF5 file."),
        ("read_version", "read_version(path: Union[str, pathlib.Path]) -> str\n\n"
                         "Read ZOR-IR format version from file without loading graph."),
        ("_write_recursive", "_write_recursive(group: h5py.Group, dict data: Dict[str, Any]) -> None\n\n"
                             "Write dictionary to HDF5 group iteratively (avoids recursion limit)."),
        ("_read_recursive", "_read_recursive(group: h5py.Group) -> Dict[str, Any]\n\n"
                            "Read HDF5 group to dictionary iteratively (avoids recursion limit)."),
    ])
    def test_docstrings(self, function, opening):
        doc = getattr(serialization, function).__doc__
        assert doc.startswith(opening)
        if function.endswith("recursive"):
            assert "Uses an explicit stack to avoid Python's recursion limit on deeply nested data." in doc

    @pytest.mark.parametrize("function", ["write", "read", "read_version", "_write_recursive",
                                          "_read_recursive"])
    def test_keyword_options_are_documented(self, function):
        signature = inspect.signature(getattr(zor.ir.serialization, function))
        options = [name for name, parameter in signature.parameters.items()
                   if parameter.kind is inspect.Parameter.KEYWORD_ONLY]
        doc = getattr(zor.ir.serialization, function).__doc__
        assert [name for name in options if f"\n    {name}: Keyword only." not in doc] == []

    def test_defaults_shown_are_what_an_option_left_out_does(self, tmp_path):
        def options(function):
            return {name: parameter.default for name, parameter in inspect.signature(function).parameters.items()
                    if parameter.kind is inspect.Parameter.KEYWORD_ONLY}

        graph = Payload({"type": "LIF", **lif(1 << 15).to_dict()})
        zor.ir.write(tmp_path / "left_out.zor", graph)
        zor.ir.write(tmp_path / "given.zor", graph, **options(zor.ir.write))
        assert (tmp_path / "left_out.zor").read_bytes() == (tmp_path / "given.zor").read_bytes()
        assert_same(zor.ir.read(tmp_path / "given.zor", **options(zor.ir.read)).to_dict(),
                    zor.ir.read(tmp_path / "left_out.zor").to_dict())

    def test_format_error(self):
        assert ZORFormatError.__bases__ == (Exception,)
        assert ZORFormatError.__doc__ == "Raised when a ZOR-IR file is malformed or corrupt."
        assert ZORFormatError.__module__ == "zor.ir.serialization"


class TestWritePaths:
    def test_directory(self, tmp_path):
        with pytest.raises(ValueError) as error:
            zor.ir.write(tmp_path, Payload({}))
        assert str(error.value) == f"Path is a directory, not a file: {tmp_path}"

    def test_missing_parent_creates_nothing(self, tmp_path):
        with pytest.raises(ValueError) as error:
            zor.ir.write(str(tmp_path / "missing" / "g.zor"), Payload({}))
        assert str(error.value) == f"Parent directory does not exist: {tmp_path / 'missing'}"
        assert list(tmp_path.iterdir()) == []

    def test_to_dict_must_return_exact_dict(self, tmp_path):
        class Mapping(dict):
            pass

        for returned, name in (([], "list"), (Mapping(), "Mapping")):
            with pytest.raises(TypeError) as error:
                zor.ir.write(tmp_path / "g.zor", Payload(returned))
            assert str(error.value) == f"Argument 'data' has incorrect type (expected dict, got {name})"
        assert list(tmp_path.iterdir()) == []

    def test_overwrite_replaces_whole_content(self, tmp_path):
        path = tmp_path / "g.zor"
        zor.ir.write(path, Payload({"type": "Payload", "old": 1}))
        zor.ir.write(graph=Payload({"type": "Payload", "new": 2}), path=str(path))
        assert_same(zor.ir.read(path), {"new": np.int64(2), "type": "Payload"})
        assert [p.name for p in tmp_path.iterdir()] == ["g.zor"]

    def test_graph_and_single_node(self, tmp_path):
        graph = zor.ir.Graph(metadata={"name": "net"})
        graph.add_node("a", lif())
        graph.add_node("b", lif())
        graph.add_edge("a", "b")
        zor.ir.write(tmp_path / "g.zor", graph)
        back = zor.ir.read(tmp_path / "g.zor")
        assert type(back) is zor.ir.Graph and back.edges == [("a", "b")]
        assert all(back.nodes[n].equals(graph.nodes[n]) for n in ("a", "b"))
        zor.ir.write(tmp_path / "n.zor", lif(5))
        assert zor.ir.read(tmp_path / "n.zor").equals(lif(5))

    def test_root_without_type_is_a_graph(self, tmp_path):
        zor.ir.write(tmp_path / "g.zor", Payload({"metadata": {"k": "v"}}))
        back = zor.ir.read(tmp_path / "g.zor")
        assert type(back) is zor.ir.Graph and back.metadata == {"k": "v"}


class TestValueKinds:
    @pytest.mark.parametrize("value, expected", [case[1:] for case in VALUE_KINDS],
                             ids=[case[0] for case in VALUE_KINDS])
    def test_round_trip(self, roundtrip, value, expected):
        assert_same(roundtrip(value), expected)

    def test_keys_come_back_in_byte_order(self, roundtrip):
        assert list(roundtrip({"b": 1, "B": 2, "a": 3})) == ["B", "a", "b"]

    def test_dict_with_src_and_dst_reads_as_pairs(self, roundtrip):
        assert_same(roundtrip({"src": ["a", "b"], "dst": ["c"], "other": 1}), [("a", "c")])

    @pytest.mark.parametrize("value, kind, message", [
        (2 ** 64, OverflowError, "Cannot store '/graph/v': integer does not fit in 64 bits (from -2**63 to 2**64-1)"),
        (-2 ** 63 - 1, OverflowError,
         "Cannot store '/graph/v': integer does not fit in 64 bits (from -2**63 to 2**64-1)"),
        (-2 ** 1000, OverflowError,
         "Cannot store '/graph/v': integer does not fit in 64 bits (from -2**63 to 2**64-1)"),
        (np.array(["u"]), TypeError, "Cannot store '/graph/v': no file type for dtype('<U1')"),
        ([None], TypeError, "Cannot store '/graph/v': no file type for dtype('O'), which np.array gives for this list"),
        ([2 ** 64], TypeError,
         "Cannot store '/graph/v': no file type for dtype('O'), which np.array gives for this list"),
        ([b"a", None], TypeError,
         "Cannot store '/graph/v': no file type for dtype('O'), which np.array gives for this list"),
        ((None, 1), TypeError,
         "Cannot store '/graph/v': no file type for dtype('O'), which np.array gives for this tuple"),
        ([1, "a"], TypeError,
         "Cannot store '/graph/v': no file type for dtype('<U21'), which np.array gives for this list"),
        # What files give that no file type holds (structured, opaque, sequences).
        (np.zeros(2, [("a", "<i4")]), TypeError, "Cannot store '/graph/v': no file type for dtype([('a', '<i4')])"),
        (np.array([b"ab"], "V2"), TypeError, "Cannot store '/graph/v': no file type for dtype('V2')"),
        (np.array([np.arange(2), np.arange(3)], dtype=object), TypeError,
         "Cannot store '/graph/v': element 0 is numpy.ndarray, not text"),
        (np.array([None, "a"], dtype=object), TypeError,
         "Cannot store '/graph/v': element 0 is NoneType, not text"),
        (["a", 1], TypeError, "Cannot store '/graph/v': element 1 is int, not text"),
        ([("a", 1)], TypeError, "Cannot store '/graph/v/dst': element 0 is int, not text"),
    ])
    def test_values_a_file_cannot_hold(self, tmp_path, value, kind, message):
        with pytest.raises(kind) as error:
            zor.ir.write(tmp_path / "g.zor", Payload({"v": value}))
        assert str(error.value) == message
        assert list(tmp_path.iterdir()) == []


class TestKeyAndTextChecks:
    @pytest.mark.parametrize("data, message", [
        ({"a/b": 1}, "Invalid key 'a/b' in '/graph'"),
        ({"n": {"": 1}}, "Invalid key '' in '/graph/n'"),
        ({".": 1}, "Invalid key '.' in '/graph'"),
        ({"a\0b": 1}, "Invalid key 'a\\x00b' in '/graph'"),
        ({1: 1}, "Invalid key 1 in '/graph'"),
    ])
    def test_invalid_keys(self, tmp_path, data, message):
        with pytest.raises(ValueError) as error:
            zor.ir.write(tmp_path / "g.zor", Payload(data))
        assert str(error.value) == message + ": keys must be non-empty text other than '.', without '/' or NUL characters"

    @pytest.mark.parametrize("data, message", [
        ({"\ud800": 1}, "Invalid key '\\ud800' in '/graph': not encodable as UTF-8"),
        ({"n": {"a\udcff": {}}}, "Invalid key 'a\\udcff' in '/graph/n': not encodable as UTF-8"),
    ])
    def test_keys_not_encodable(self, tmp_path, data, message):
        with pytest.raises(ValueError) as error:
            zor.ir.write(tmp_path / "g.zor", Payload(data))
        assert type(error.value) is ValueError and str(error.value) == message

    @pytest.mark.parametrize("value, message", [
        ("a\0b", "Cannot store '/graph/n/v': text contains a NUL character"),
        (["ok", "a\0"], "Cannot store '/graph/n/v': element 1 contains a NUL character"),
        ([("a", "b\0")], "Cannot store '/graph/n/v/dst': element 0 contains a NUL character"),
        (np.array([b"\0"], dtype=object), "Cannot store '/graph/n/v': element 0 contains a NUL character"),
    ])
    def test_nul_in_text(self, tmp_path, value, message):
        path = tmp_path / "g.zor"
        zor.ir.write(path, Payload({"type": "Payload", "kept": 1}))
        with pytest.raises(ValueError) as error:
            zor.ir.write(path, Payload({"n": {"v": value}}))
        assert str(error.value) == message
        assert_same(zor.ir.read(path), {"kept": np.int64(1), "type": "Payload"})


class TestTransposition:
    @pytest.mark.parametrize("pairs, kind, message", [
        ([("a", "b", "c")], ValueError, "too many values to unpack (expected 2)"),
        ([("a", "b"), ("c",)], ValueError, "need more than 1 value to unpack"),
        ([(), ()], ValueError, "need more than 0 values to unpack"),
        ([("a", "b"), 3], TypeError, "'int' object is not iterable"),
    ])
    def test_errors(self, tmp_path, pairs, kind, message):
        with pytest.raises(kind) as error:
            zor.ir.write(tmp_path / "g.zor", Payload({"edges": pairs}))
        assert str(error.value) == message

    def test_longer_members_are_dropped(self, roundtrip):
        assert_same(roundtrip([("a", "b", "x"), ("c", "d")]), [("a", "b"), ("c", "d")])


class TestReplacingFiles:
    # Limits that stop the write early, in its data, and near its end.
    @pytest.mark.parametrize("limit", [1_500, 100_000, 790_000])
    def test_failed_write_leaves_target_and_no_temporary(self, tmp_path, limit):
        path = tmp_path / "g.zor"
        zor.ir.write(path, Payload({"type": "Payload", "old": 1}))
        before = path.read_bytes()
        # A file size limit makes the new file's writes fail part way, in a
        # child: the limit stays with the process, which must then end cleanly.
        code = f"""
import os, resource, sys
import numpy as np
sys.path.insert(0, {str(Path(__file__).parent)!r})
import zor.ir
from helpers import Payload
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
try:
    zor.ir.write({str(path)!r}, Payload({{"new": np.zeros(100_000)}}))
except OSError as error:
    print(type(error).__name__, error, flush=True)
"""
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert (child.returncode, child.stdout) == (0, f"OSError [Errno 27] File too large: '{path}'\n"), child.stderr
        assert path.read_bytes() == before
        assert [p.name for p in tmp_path.iterdir()] == ["g.zor"]

    def test_permissions_and_symlink_survive(self, tmp_path):
        target = tmp_path / "real.zor"
        zor.ir.write(target, Payload({}))
        target.chmod(0o640)
        link = tmp_path / "link.zor"
        link.symlink_to(target)
        zor.ir.write(link, Payload({"type": "Payload", "x": 1}))
        assert link.is_symlink() and stat.S_IMODE(target.stat().st_mode) == 0o640
        assert_same(zor.ir.read(target), {"type": "Payload", "x": np.int64(1)})

    @pytest.mark.skipif(os.geteuid() == 0, reason="root writes anywhere")
    def test_unwritable_directory_and_file(self, tmp_path):
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        with pytest.raises(PermissionError) as error:
            zor.ir.write(locked / "g.zor", Payload({}))
        assert error.value.filename == str(locked / "g.zor")
        assert error.value.__cause__ is None  # the system's own refusal: no HDF5 stack behind it
        protected = tmp_path / "protected.zor"
        zor.ir.write(protected, Payload({}))
        protected.chmod(0o444)
        with pytest.raises(PermissionError) as error:
            zor.ir.write(protected, Payload({"x": 1}))
        assert str(error.value) == f"[Errno 13] Permission denied: '{protected}'"


class TestDeepNesting:
    def test_ten_thousand_levels_both_walks(self, tmp_path):
        import h5py

        data = leaf = {"type": "Payload"}
        for _ in range(10_000):
            leaf["n"] = {}
            leaf = leaf["n"]
        leaf["end"] = "here"
        zor.ir.write(tmp_path / "native.zor", Payload(data))
        with h5py.File(tmp_path / "h5py.zor", "w") as f:
            serialization._write_recursive(f, data)
        native = zor.ir.read(tmp_path / "native.zor")
        with h5py.File(tmp_path / "h5py.zor") as f:
            through_h5py = serialization._read_recursive(f)
        for back in (native, through_h5py):
            depth = 0
            while "n" in back:
                back, depth = back["n"], depth + 1
            assert (depth, back) == (10_000, {"end": "here"})


class TestLosslessResave:
    def test_read_write_read_is_a_fixpoint(self, tmp_path):
        data = {"type": "Payload", **{name: value for name, value, _ in VALUE_KINDS}}
        reads = []
        for cycle in range(3):
            zor.ir.write(tmp_path / f"{cycle}.zor", Payload(reads[-1] if reads else data))
            reads.append(zor.ir.read(tmp_path / f"{cycle}.zor"))
        # Fixed-length byte strings come back as texts once, on purpose.
        assert_same({k: v for k, v in reads[1].items() if k != "fixed-length bytes"},
                    {k: v for k, v in reads[0].items() if k != "fixed-length bytes"})
        assert_same(reads[2], reads[1])

    def test_node_fields_keep_their_types(self, tmp_path):
        node = lif()
        zor.ir.write(tmp_path / "1.zor", node)
        zor.ir.write(tmp_path / "2.zor", zor.ir.read(tmp_path / "1.zor"))
        assert zor.ir.read(tmp_path / "2.zor").equals(node)


class TestCommandLine:
    def test_example_writes_reads_and_shows(self, tmp_path, capsys):
        from zor.ir.__main__ import main

        path = tmp_path / "example.zor"
        assert main(["example", "--output", str(path)]) == 0
        shown, where = capsys.readouterr().out.split("The example network is in ")
        assert shown.startswith(f"{path}: format version 0.0.1, ")
        assert "\n  lif1     LIF            128      128             512  4.0 KiB  float64\n" in shown
        assert where == f"{path}.\n"
        from zor.ir.__main__ import build_example
        assert zor.ir.read(path).equals(build_example())
        assert main(["info", str(path)]) == 0
        assert capsys.readouterr().out == shown
        with pytest.raises(SystemExit) as exit:
            main(["show", str(tmp_path / "none.zor")])
        assert exit.value.code == 1
        assert capsys.readouterr().err == f"zor-ir: error: ZOR-IR file not found: {tmp_path / 'none.zor'}\n"
