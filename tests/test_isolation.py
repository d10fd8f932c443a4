"""zor.ir.check and zor-ir check: a file read completely in a child process,
reported as sound, malformed (with the error) or refused (the child was
killed, ran out of time or of memory)."""

import io
import stat

import numpy as np
import pytest

import zor.ir
from helpers import Payload, h5py_file
from hostile import UNDER_ASAN
from zor.ir import CheckResult, Verdict, check
from zor.ir.__main__ import main


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
     lambda path: CheckResult(Verdict.REFUSED, "the reader ran out of its 2147483648 bytes of memory (MemoryError: "
                                               "Unable to allocate 3.00 GiB for an array with shape (402653184,) "
                                               "and data type float64)")),
    ("the reader killed", graph_file, {}, killing_interpreter,
     lambda path: CheckResult(Verdict.REFUSED, "the reader was killed by SIGSEGV")),
]


@pytest.mark.parametrize("make, options, prepare, expected", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
@pytest.mark.skipif(UNDER_ASAN, reason="ASan cannot run under the address-space limit check() sets")
class TestCheck:
    def test_result(self, tmp_path, monkeypatch, make, options, prepare, expected):
        path = make(tmp_path / "file.zor")
        if prepare:
            prepare(tmp_path, monkeypatch)
        assert check(path, **options) == expected(path)

    def test_command_line(self, tmp_path, monkeypatch, make, options, prepare, expected):
        path = make(tmp_path / "file.zor")
        if prepare:
            prepare(tmp_path, monkeypatch)
        arguments = [f"--{name}={value}" for name, value in options.items()]
        out = io.StringIO()
        monkeypatch.setattr("sys.stdout", out)
        result = expected(path)
        assert main(["check", str(path), *arguments]) == result.verdict.value
        assert out.getvalue() == f"{path}: {result}\n"


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
        assert [(v.name, v.value) for v in Verdict] == [("SOUND", 0), ("MALFORMED", 1), ("REFUSED", 2)]
