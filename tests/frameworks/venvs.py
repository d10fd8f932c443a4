"""The framework venvs that scripts/frameworks.sh sets up, and a way to run a
function in one of them from this interpreter.

The frameworks need their own Python (3.11, PyTorch, their own nir), so each
runs in a child process. Arrays cross in .npz files, other arguments as JSON;
what the child raises comes back as `FrameworkError` with its exact text."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import tempfile
from typing import Any, Dict, Mapping, Optional, Sequence

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]
RUNNER = pathlib.Path(__file__).with_name("_runner.py")

# Which venv each framework runs in: Sinabs pins an older nir than the rest.
VENV_OF = {"snntorch": "snntorch-norse-rockpool", "norse": "snntorch-norse-rockpool",
           "rockpool": "snntorch-norse-rockpool", "sinabs": "sinabs"}


def cache_dir() -> pathlib.Path:
    """Where the venvs live: outside the work tree, shared by every clone."""
    base = os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache"
    return pathlib.Path(base) / "zor-ir" / "frameworks"


def python_for(framework: str) -> pathlib.Path:
    """The interpreter of `framework`'s venv."""
    try:
        venv = VENV_OF[framework]
    except KeyError:
        raise ValueError(f"unknown framework {framework!r}; known: {', '.join(VENV_OF)}") from None
    return cache_dir() / venv / "bin" / "python"


class FrameworkError(Exception):
    """The function run in a framework's venv raised; the text is
    "ExceptionType: message" as the child saw it."""

    def __init__(self, text: str, traceback: str = ""):
        super().__init__(text)
        self.traceback = traceback


def call(framework: str, script: os.PathLike | str, function: str,
         arrays: Optional[Mapping[str, np.ndarray]] = None, *,
         params: Optional[Mapping[str, Any]] = None, pythonpath: Sequence[os.PathLike | str] = (),
         timeout: float = 600) -> Dict[str, np.ndarray]:
    """Run `function` of the file `script` in `framework`'s venv as
    `function(**arrays, **params)` and hand back the dictionary of arrays it
    returns. `pythonpath` goes first on the child's sys.path."""
    with tempfile.TemporaryDirectory(prefix="zor-fw-") as scratch:
        exchange = pathlib.Path(scratch)
        np.savez(exchange / "in.npz", **dict(arrays or {}))
        (exchange / "params.json").write_text(json.dumps(dict(params or {})))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(map(str, pythonpath))
        env.pop("PYTHONHOME", None)
        child = subprocess.run(
            [str(python_for(framework)), str(RUNNER), str(script), function, str(exchange)],
            capture_output=True, text=True, timeout=timeout, env=env)
        failure = exchange / "error.json"
        if failure.exists():
            error = json.loads(failure.read_text())
            raise FrameworkError(error["text"], error["traceback"])
        if child.returncode != 0:
            raise RuntimeError(f"{framework} child exited with {child.returncode}:\n{child.stderr}")
        with np.load(exchange / "out.npz", allow_pickle=False) as out:
            return {key: out[key] for key in out.files}
