"""Reading a file in isolation: ``check(path)`` reads it completely in a child
process, with a time limit and a memory cap, so that a file that would crash
or hang the reader costs the child, not the caller (``zor-ir check FILE``)."""

from __future__ import annotations

import enum
import json
import os
import pathlib
import selectors
import signal
import subprocess
import sys
import tempfile
import time
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple, Union

GiB = 1 << 30

# The child: imports first, then tells how much address space it holds, caps
# it and reads, telling its progress if asked ("progress DONE TOTAL" lines);
# it prints one JSON object last, {} when the file was read. A
# .zor reader's "missing 'graph'" on a NIR file is told apart here, in the
# child, which may open the file.
_CHILD = r"""
import json, resource, sys
import zor.ir

limit, watched = int(sys.argv[2]), sys.argv[3] == "1"
with open("/proc/self/statm") as statm:
    print(int(statm.read().split()[0]) * resource.getpagesize(), flush=True)
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def progress(done, total):
    print(f"progress {done} {total}", flush=True)


try:
    zor.ir.read(sys.argv[1], **({"progress": progress} if watched else {}))
    report = {}
except Exception as error:
    chain, seen = [], error
    while seen is not None and len(chain) < 16:
        chain.append(seen)
        seen = seen.__cause__ or seen.__context__
    report = {"error": f"{type(error).__name__}: {error}",
              "out_of_memory": any(isinstance(e, MemoryError) for e in chain)}
    if isinstance(error, zor.ir.ZORFormatError) and "missing 'graph'" in str(error):
        from zor.ir._cli import _is_nir_file
        report["nir"] = _is_nir_file(sys.argv[1])
sys.stdout.write(json.dumps(report))
"""

#: A reader that dies with less address space than this beyond what it held
#: before reading is taken to have run out of memory, not to have crashed.
READ_HEADROOM = 256 << 20

_UNITS = (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10),
          ("TB", 10 ** 12), ("GB", 10 ** 9), ("MB", 10 ** 6), ("kB", 10 ** 3))


def memory_text(nbytes: int) -> str:
    """Bytes as a reader counts them: 8 GiB, 512 MiB, 1 MB where a unit holds
    them whole, else in the largest binary unit to a tenth: 83.2 MiB."""
    for unit, size in _UNITS:
        if nbytes % size == 0 and 1 <= nbytes // size < 1024:
            return f"{nbytes // size} {unit}"
    for unit, size in _UNITS[:4]:
        if nbytes >= size:
            return f"{nbytes / size:.1f} {unit}"
    return f"{nbytes} B"


class Verdict(enum.Enum):
    """What ``check`` found; the value is ``zor-ir check``'s exit status."""

    #: Read completely: a ZOR-IR file this package reads.
    SOUND = 0
    #: The reader refused it with an error (the detail).
    MALFORMED = 1
    #: The reader crashed, hung or ran out of memory on it (the detail says which).
    #: Not 2: that is the status of a command line argparse cannot parse.
    REFUSED = 3


class CheckResult(NamedTuple):
    """The outcome of ``check``: its verdict and, unless sound, why."""

    verdict: Verdict
    detail: str = ""
    #: Malformed as a .zor file because it is a NIR file (``zor-ir convert`` reads it).
    nir_file: bool = False

    def __str__(self) -> str:
        return self.verdict.name.lower() + (f": {self.detail}" if self.detail else "")


def check(path: Union[str, os.PathLike[str]], *, timeout: float = 60.0,
          memory: Optional[int] = 8 * GiB,
          progress: Optional[Callable[[int, int], None]] = None) -> CheckResult:
    """Read the file at ``path`` completely, as ``read(path)`` does, in a child process.

    Use it on files from elsewhere before reading them in a process that must
    not die: ``read`` refuses the corruption it knows of with
    ``ZORFormatError``, but HDF5 parses much of a file by itself, and a crafted
    file may still crash or hang it. The child has ``timeout`` seconds and an
    address space of ``memory`` bytes (None: no cap). ``progress(done, total)``,
    if given, is called as the child's ``read`` calls its own.

    Returns:
        ``CheckResult(Verdict.SOUND)``, ``(Verdict.MALFORMED, "<Type>: <message>")`` with the
        error ``read`` raised (``nir_file`` set when it is a NIR file), or
        ``(Verdict.REFUSED, why)`` when the child was killed by a signal, did not finish in
        time or ran out of memory ("the reader ran out of its 1 MB of memory ...", also when
        the cap left it too little to start reading).

    Raises:
        FileNotFoundError: If file does not exist.
        ValueError: If the path is not a file.
    """
    file = pathlib.Path(os.fsdecode(path))
    if not file.exists():
        raise FileNotFoundError(f"ZOR-IR file not found: {file}")
    if not file.is_file():
        raise ValueError(f"Path is not a file: {file}")
    environment = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}  # BLAS threads reserve address space
    arguments = [sys.executable, "-c", _CHILD, str(file), str(memory or 0), "1" if progress else "0"]
    child = _run(arguments, environment, timeout, progress)
    if child is None:
        return CheckResult(Verdict.REFUSED, f"the reader did not finish within {timeout:g} s")
    returncode, lines, stderr = child
    held, said = (lines[0] if lines else ""), (lines[-1] if len(lines) > 1 else "")
    try:
        report = json.loads(said)
    except json.JSONDecodeError:
        if memory and held.isdigit() and memory < int(held) + READ_HEADROOM:
            return CheckResult(Verdict.REFUSED, f"the reader ran out of its {memory_text(memory)} of memory "
                                                f"(it held {memory_text(int(held))} before reading)")
        if returncode < 0:
            return CheckResult(Verdict.REFUSED, f"the reader was killed by {signal.Signals(-returncode).name}")
        last = stderr.strip().splitlines()[-1:] or [""]
        return CheckResult(Verdict.REFUSED, f"the reader exited with status {returncode} {last[0]}".strip())
    if "error" not in report:
        return CheckResult(Verdict.SOUND)
    if report["out_of_memory"]:
        return CheckResult(Verdict.REFUSED, f"the reader ran out of its {memory_text(memory or 0)} of memory "
                                            f"({report['error']})")
    return CheckResult(Verdict.MALFORMED, report["error"], nir_file=report.get("nir", False))


def _run(arguments: List[str], environment: Dict[str, str], timeout: float,
         progress: Optional[Callable[[int, int], None]]) -> Optional[Tuple[int, List[str], str]]:
    """The child's exit status, the lines it printed but its progress (which
    go to ``progress`` as they come) and its stderr; None when it did not
    finish within ``timeout`` seconds, and then it is killed."""
    deadline = time.monotonic() + timeout
    lines: List[str] = []
    pending = b""
    with tempfile.TemporaryFile() as stderr, subprocess.Popen(
            arguments, stdout=subprocess.PIPE, stderr=stderr, env=environment) as child:
        assert child.stdout is not None
        with selectors.DefaultSelector() as selector:
            selector.register(child.stdout, selectors.EVENT_READ)
            while True:
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    child.kill()
                    return None
                chunk = os.read(child.stdout.fileno(), 1 << 16)
                if not chunk:
                    break
                *complete, pending = (pending + chunk).split(b"\n")
                for line in map(bytes.decode, complete):
                    if line.startswith("progress "):
                        if progress is not None:
                            done, total = line.split()[1:]
                            progress(int(done), int(total))
                    else:
                        lines.append(line)
        try:
            returncode = child.wait(max(deadline - time.monotonic(), 0))
        except subprocess.TimeoutExpired:
            child.kill()
            return None
        stderr.seek(0)
        return returncode, lines + ([pending.decode()] if pending else []), stderr.read().decode(errors="replace")
