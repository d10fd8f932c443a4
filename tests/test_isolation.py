"""zor.ir.check and zor-ir check: a file read completely in a child process,
reported as sound, malformed (with the error) or refused (the child was
killed, ran out of time or of memory)."""

import re
import stat

import numpy as np
import pytest

import zor.ir
from helpers import Payload, h5py_file
from hostile import UNDER_ASAN
from zor.ir import CheckResult, Verdict, check
from zor.ir.__main__ import main
from zor.ir._cli import memory_size
from zor.ir.isolation import memory_text


def graph_file(path):
    graph = zor.ir.Graph()
    graph.add_node("relu", zor.ir.ReLU(3))
    graph.add_node("fc", zor.ir.Affine(np.ones((2, 3), np.float32), np.zeros(2, np.float32)))
    graph.add_edge("relu", "fc")
    zor.ir.write(path, graph)
    return path


def not_hdf5(path):
    path.write_text("not HDF5")
    return path


def unknown_type(path):
    zor.ir.write(path, Payload({"type": "Payload"}))
    return path


def three_gib_never_written(path):
    """A 3 GiB array read as its fill value: within read's limit, beyond a 2 GiB address space."""
    return h5py_file(path, lambda f, graph: graph.create_dataset("w", shape=(3 << 27,), dtype="<f8"))


def nir_file(path):
    from zor.ir.nir import write_nir

    write_nir(path, zor.ir.Graph.sequential([zor.ir.LIF(np.ones(2), np.ones(2), np.zeros(2), np.ones(2))]))
    return path


def same(result, expected):
    """Equal, or for a detail that ends in "(it held " equal up to what the child held."""
    if expected.detail.endswith("(it held "):
        return (result.verdict, result.detail[:len(expected.detail)]) == expected[:2] and re.fullmatch(
            r"[\d.]+ [KMG]iB before reading\)", result.detail[len(expected.detail):])
    return result == expected


def killing_interpreter(tmp_path, monkeypatch):
    """An interpreter that kills itself with SIGSEGV, as a reader crashing on a file would."""
    script = tmp_path / "crashing-python"
    script.write_text("#!/bin/sh\nkill -SEGV $$\n")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setattr("sys.executable", str(script))


# (id, make the file, check's options, prepare(tmp_path, monkeypatch) or None, the result)
CASES = [
    ("sound", graph_file, {}, None, lambda path: CheckResult(Verdict.SOUND)),
    ("not HDF5", not_hdf5, {}, None,
     lambda path: CheckResult(Verdict.MALFORMED, f"ZORFormatError: Cannot read file as HDF5: {path}")),
    ("unknown node type", unknown_type, {}, None, lambda path: CheckResult(
        Verdict.MALFORMED, "ValueError: Unknown node type 'Payload'; known types: " + ", ".join(sorted(
            name for name in zor.ir._NODE_REGISTRY if name != "Payload")))),
    ("no time to finish", graph_file, {"timeout": 0.01}, None,
     lambda path: CheckResult(Verdict.REFUSED, "the reader did not finish within 0.01 s")),
    ("no memory to read", three_gib_never_written, {"memory": 2 << 30}, None,
     lambda path: CheckResult(Verdict.REFUSED, "the reader ran out of its 2 GiB of memory (MemoryError: "
                                               "Unable to allocate 3.00 GiB for an array with shape (402653184,) "
                                               "and data type float64)")),
    ("the reader killed", graph_file, {}, killing_interpreter,
     lambda path: CheckResult(Verdict.REFUSED, "the reader was killed by SIGSEGV")),
    ("a cap below what the reader holds", graph_file, {"memory": 10 ** 6}, None,
     lambda path: CheckResult(Verdict.REFUSED, "the reader ran out of its 1 MB of memory (it held ")),
    ("a NIR file", nir_file, {}, None, lambda path: CheckResult(
        Verdict.MALFORMED, f"ZORFormatError: Invalid ZOR-IR file: missing 'graph' group in {path}",
        nir_file=True)),
]


@pytest.mark.parametrize("make, options, prepare, expected", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
@pytest.mark.skipif(UNDER_ASAN, reason="ASan cannot run under the address-space limit check() sets")
class TestCheck:
    def test_result(self, tmp_path, monkeypatch, make, options, prepare, expected):
        path = make(tmp_path / "file.zor")
        if prepare:
            prepare(tmp_path, monkeypatch)
        assert same(check(path, **options), expected(path))

    def test_command_line(self, tmp_path, monkeypatch, capsys, make, options, prepare, expected):
        path = make(tmp_path / "file.zor")
        if prepare:
            prepare(tmp_path, monkeypatch)
        arguments = [f"--{name}={value}" for name, value in options.items()]
        result = expected(path)
        if result.nir_file:
            with pytest.raises(SystemExit) as exit_:
                main(["check", str(path), *arguments])
            assert (exit_.value.code, capsys.readouterr().err) == (1, (
                f"zor-ir: error: {path} is a NIR file; convert it first: "
                f"zor-ir convert {path} {tmp_path}/file-converted.zor\n"))
            return
        status = main(["check", str(path), *arguments])
        out, err = capsys.readouterr()
        assert status == result.verdict.value
        if result.verdict is Verdict.SOUND:
            assert (out, err) == (f"{path}: sound\n", "")
        else:
            assert out == "" and err.startswith(f"zor-ir: error: {path}: {result}") and err.count("\n") == 1


class TestProgress:
    def test_the_childs_progress_reaches_the_callback(self, tmp_path, monkeypatch):
        # An interpreter that reports as the child does, one line at a time.
        script = tmp_path / "reporting-python"
        script.write_text("#!/bin/sh\necho 1000\necho progress 0 8; echo progress 8 8\nprintf '{}'\n")
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
        monkeypatch.setattr("sys.executable", str(script))
        calls = []
        assert check(graph_file(tmp_path / "file.zor"), progress=lambda *call: calls.append(call)) == (
            CheckResult(Verdict.SOUND))
        assert calls == [(0, 8), (8, 8)]

    def test_asked_of_the_child_only_with_a_callback(self, tmp_path, monkeypatch):
        script = tmp_path / "echoing-python"
        script.write_text('#!/bin/sh\necho 1000\nprintf \'{"error": "%s", "out_of_memory": false}\' "$5"\n')
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
        monkeypatch.setattr("sys.executable", str(script))
        path = graph_file(tmp_path / "file.zor")
        assert [check(path, progress=progress).detail for progress in (None, print)] == ["0", "1"]


class TestMemorySizes:
    @pytest.mark.parametrize("text, size", [
        ("8GiB", 8 << 30), ("512MiB", 512 << 20), ("512 MiB", 512 << 20), ("1MB", 10 ** 6),
        ("1.5GB", 1_500_000_000), ("4096", 4096), ("64kib", 64 << 10), ("0", 0)])
    def test_units(self, text, size):
        assert memory_size(text) == size

    @pytest.mark.parametrize("text", ["8 GiBs", "lots", "-1GiB", "1e9", ""])
    def test_refused_as_a_usage_error(self, text, tmp_path, capsys):
        with pytest.raises(SystemExit) as exit_:
            main(["check", str(graph_file(tmp_path / "file.zor")), f"--memory={text}"])
        assert exit_.value.code == 2
        assert capsys.readouterr().err.splitlines()[-1] == (
            f"zor-ir check: error: argument --memory: {text!r} is no size; give bytes or a number "
            "with a unit: 512MiB, 8GiB, 1GB")

    @pytest.mark.parametrize("size, text", [
        (8 << 30, "8 GiB"), (512 << 20, "512 MiB"), (10 ** 6, "1 MB"), (1000, "1 kB"), (5, "5 B"),
        (87224320, "83.2 MiB"), (1536 << 20, "1.5 GiB")])
    def test_told_in_units(self, size, text):
        assert memory_text(size) == text


class TestPaths:
    def test_missing_and_directory(self, tmp_path, fails_with):
        fails_with(f"ZOR-IR file not found: {tmp_path / 'none.zor'}", lambda: check(tmp_path / "none.zor"),
                   FileNotFoundError)
        fails_with(f"Path is not a file: {tmp_path}", lambda: check(tmp_path), ValueError)

    def test_command_line_reports_a_missing_file(self, tmp_path, capsys):
        with pytest.raises(SystemExit) as exit_:
            main(["check", str(tmp_path / "none.zor")])
        assert exit_.value.code == 1
        assert capsys.readouterr().err == f"zor-ir: error: ZOR-IR file not found: {tmp_path / 'none.zor'}\n"

    def test_exit_statuses(self):
        # Not 2 for refused: argparse exits with 2 on a command line it cannot parse.
        assert [(v.name, v.value) for v in Verdict] == [("SOUND", 0), ("MALFORMED", 1), ("REFUSED", 3)]
