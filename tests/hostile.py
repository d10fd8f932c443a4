"""Reading hostile files in child processes, so that a read that kills its
process or hangs fails a test instead of the test run."""

import ast
import os
import pathlib
import subprocess
import sys

import pytest

TESTS = str(pathlib.Path(__file__).parent)

# AddressSanitizer (scripts/test.sh --sanitizers) reserves terabytes of
# address space for its shadow memory: a process under it cannot run with an
# address-space limit, so the tests that need one are left to the normal run.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# The child's preamble: the tests' registry entry, which hands back the
# dictionary read, and a memory limit (bytes of address space; 0: none) that
# turns an unbounded allocation into an error instead of a machine out of memory.
PREAMBLE = """
import ast, resource, sys
limit = int(sys.argv[1])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
sys.path.insert(0, sys.argv[2])
import zor.ir
from helpers import Payload
zor.ir._NODE_REGISTRY["Payload"] = Payload
"""

ONE_CALL = PREAMBLE + """
try:
    getattr(zor.ir, sys.argv[3])(sys.argv[4], **ast.literal_eval(sys.argv[5]))
except Exception as error:
    print(f"{type(error).__name__}: {error}", end="")
    if sys.argv[6] == "cause" and error.__cause__:
        print(f" <- {type(error.__cause__).__name__}: {error.__cause__}", end="")
"""


def child_environment():
    # One thread for NumPy's BLAS: its threads reserve address space the limit counts.
    return {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}


def outcome_in_child(call, path, memory_limit=0, timeout=60, with_cause=False, **options):
    if memory_limit and UNDER_ASAN:
        pytest.skip("ASan cannot run under an address-space limit")
    """`zor.ir.<call>(path, **options)` in a child process: the error it raised as "Type: message"
    (with its cause: "Type: message <- Type: message"), or "" when it returned."""
    child = subprocess.run([sys.executable, "-c", ONE_CALL, str(memory_limit), TESTS, call, str(path), repr(options),
                            "cause" if with_cause else "-"],
                           capture_output=True, text=True, timeout=timeout, env=child_environment())
    assert child.returncode == 0, f"the reader died ({child.returncode}): {child.stderr}"
    return child.stdout
