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

# The child: imports first, then tells how much address space it holds, caps
# it and reads; it prints one JSON object last, {} when the file was read. A
# .zor reader's "missing 'graph'" on a NIR file is told apart here, in the
# child, which may open the file.
_CHILD = r"""
import json, resource, sys
import zor.ir

limit = int(sys.argv[2])
with open("/proc/self/statm") as statm:
    print(int(statm.read().split()[0]) * resource.getpagesize(), flush=True)
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
          memory: Optional[int] = 8 * GiB) -> CheckResult:
    """Read the file at ``path`` completely, as ``read(path)`` does, in a child process.

    Use it on files from elsewhere before reading them in a process that must
    not die: ``read`` refuses the corruption it knows of with
    ``ZORFormatError``, but HDF5 parses much of a file by itself, and a crafted
    file may still crash or hang it. The child has ``timeout`` seconds and an
    address space of ``memory`` bytes (None: no cap).

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
    try:
        child = subprocess.run([sys.executable, "-c", _CHILD, str(file), str(memory or 0)], capture_output=True,
                               text=True, timeout=timeout, env=environment)
    except subprocess.TimeoutExpired:
        return CheckResult(Verdict.REFUSED, f"the reader did not finish within {timeout:g} s")
    held, _, said = child.stdout.partition("\n")
    try:
        report = json.loads(said)
    except json.JSONDecodeError:
        if memory and held.isdigit() and memory < int(held) + READ_HEADROOM:
            return CheckResult(Verdict.REFUSED, f"the reader ran out of its {memory_text(memory)} of memory "
                                                f"(it held {memory_text(int(held))} before reading)")
        if child.returncode < 0:
            return CheckResult(Verdict.REFUSED, f"the reader was killed by {signal.Signals(-child.returncode).name}")
        last = child.stderr.strip().splitlines()[-1:] or [""]
        return CheckResult(Verdict.REFUSED, f"the reader exited with status {child.returncode} {last[0]}".strip())
    if "error" not in report:
        return CheckResult(Verdict.SOUND)
    if report["out_of_memory"]:
        return CheckResult(Verdict.REFUSED, f"the reader ran out of its {memory_text(memory or 0)} of memory "
                                            f"({report['error']})")
    return CheckResult(Verdict.MALFORMED, report["error"], nir_file=report.get("nir", False))
