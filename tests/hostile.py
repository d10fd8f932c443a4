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


# Reads each file named on standard input (one a line) with every call, and
# prints one line per file: the outcome class of each call, by the table below.
MANY_CALLS = PREAMBLE + """
zor.ir._NODE_REGISTRY["Graph"] = Payload  # the reader is under test, not the checks of Graph.from_dict
calls = [(getattr(zor.ir, name), options) for name, options in ast.literal_eval(sys.argv[3])]
for line in sys.stdin:
    path = line.rstrip("\\n")
    outcomes = []
    for call, options in calls:
        try:
            call(path, **options)
            outcomes.append("data")
        except zor.ir.serialization.ZORFormatError:
            outcomes.append("ZORFormatError")
        except UnicodeDecodeError as error:  # only text stored in the file, decoded as the format asks
            stored = error.object in open(path, "rb").read()
            outcomes.append("UnicodeDecodeError" if stored else f"UnicodeDecodeError of text not in the file: {error}")
        except OSError:
            outcomes.append("OSError")
        except ValueError:
            outcomes.append("ValueError")
        except Exception as error:
            outcomes.append(f"{type(error).__name__}: {error}")
    print(repr(outcomes), flush=True)
"""

# What the outcome classes of a read mean: a class not listed is a failure.
CLEAN = {"data", "ZORFormatError", "OSError", "ValueError", "UnicodeDecodeError"}


def _read_in_child(paths, calls, memory_limit, timeout_per_file):
    """(outcome classes of the files read in order, how the child failed or None)."""
    try:
        child = subprocess.run([sys.executable, "-c", MANY_CALLS, str(memory_limit), TESTS, repr(calls)],
                               input="".join(f"{path}\n" for path in paths), capture_output=True, text=True,
                               timeout=10 + timeout_per_file * len(paths), env=child_environment())
        lines = child.stdout.splitlines()
        failure = f"signal {-child.returncode}" if child.returncode < 0 else "exited early"
    except subprocess.TimeoutExpired as expired:
        lines, failure = (expired.stdout or b"").decode().splitlines(), "hang"
    done = [ast.literal_eval(line) for line in lines]
    return done, None if len(done) == len(paths) else failure


def outcomes_in_children(paths, calls, memory_limit, timeout_per_file, batch=50):
    """The outcome classes of each call on each file ([file][call]), read in one child per
    `batch` files. When a child dies or hangs, the file it was reading is read again alone (a
    file that kills or hangs its reader gets "signal N" or "hang" for every call) and the rest
    in a new child."""
    results, pending = [], list(paths)
    while pending:
        done, failure = _read_in_child(pending[:batch], calls, memory_limit, timeout_per_file)
        results += done
        pending = pending[len(done):]
        if failure:
            alone, failure = _read_in_child(pending[:1], calls, memory_limit, timeout_per_file)
            results.append(alone[0] if alone else [failure] * len(calls))
            pending = pending[1:]
    return results


# Tables the run prints in its terminal summary (conftest.py): {title: (header, [rows])}.
SUMMARIES = {}


def record_row(title, header, row):
    SUMMARIES.setdefault(title, (header, []))[1].append(row)
