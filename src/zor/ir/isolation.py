"""Reading a file in isolation: ``check(path)`` reads it completely in a child
process, with a time limit and a memory cap, so that a file that would crash
or hang the reader costs the child, not the caller (``zor-ir check FILE``)."""

from __future__ import annotations

import enum
import json
import os
import pathlib
import signal
import subprocess
import sys
from typing import NamedTuple, Optional, Union

GiB = 1 << 30

# The child: imports first, then caps its address space and reads; it prints
# one JSON object, {} when the file was read.
_CHILD = r"""
import json, resource, sys
import zor.ir

limit = int(sys.argv[2])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    zor.ir.read(sys.argv[1])
    report = {}
except Exception as error:
    chain, seen = [], error
    while seen is not None and len(chain) < 16:
        chain.append(seen)
        seen = seen.__cause__ or seen.__context__
    report = {"error": f"{type(error).__name__}: {error}",
              "out_of_memory": any(isinstance(e, MemoryError) for e in chain)}
sys.stdout.write(json.dumps(report))
"""


class Verdict(enum.Enum):
    """What ``check`` found; the value is ``zor-ir check``'s exit status."""

    #: Read completely: a ZOR-IR file this package reads.
    SOUND = 0
    #: The reader refused it with an error (the detail).
    MALFORMED = 1
    #: The reader crashed, hung or ran out of memory on it (the detail says which).
    REFUSED = 2


class CheckResult(NamedTuple):
    """The outcome of ``check``: its verdict and, unless sound, why."""

    verdict: Verdict
    detail: str = ""

    def __str__(self) -> str:
        return self.verdict.name.lower() + (f": {self.detail}" if self.detail else "")


def check(path: Union[str, os.PathLike[str]], *, timeout: float = 60.0,
          memory: Optional[int] = 8 * GiB) -> CheckResult:
    """Read the file at ``path`` completely, as ``read(path)`` does, in a child process.

    Use it on files from elsewhere before reading them in a process that must
    not die: ``read`` refuses the corruption it knows of with
    ``ZORFormatError``, but HDF5 parses much of a file by itself, and a crafted
    file may still crash or hang it. The child has ``timeout`` seconds and an
    address space of ``memory`` bytes (None: no cap).

    Returns:
        ``CheckResult(Verdict.SOUND)``, ``(Verdict.MALFORMED, "<Type>: <message>")`` with the
        error ``read`` raised, or ``(Verdict.REFUSED, why)`` when the child was killed by a
        signal, did not finish in time or ran out of memory.

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
    try:
        child = subprocess.run([sys.executable, "-c", _CHILD, str(file), str(memory or 0)], capture_output=True,
                               text=True, timeout=timeout, env=environment)
    except subprocess.TimeoutExpired:
        return CheckResult(Verdict.REFUSED, f"the reader did not finish within {timeout:g} s")
    if child.returncode < 0:
        return CheckResult(Verdict.REFUSED, f"the reader was killed by {signal.Signals(-child.returncode).name}")
    try:
        report = json.loads(child.stdout)
    except json.JSONDecodeError:
        last = child.stderr.strip().splitlines()[-1:] or [""]
        return CheckResult(Verdict.REFUSED, f"the reader exited with status {child.returncode} {last[0]}".strip())
    if "error" not in report:
        return CheckResult(Verdict.SOUND)
    if report["out_of_memory"]:
        return CheckResult(Verdict.REFUSED, f"the reader ran out of its {memory} bytes of memory ({report['error']})")
    return CheckResult(Verdict.MALFORMED, report["error"])
