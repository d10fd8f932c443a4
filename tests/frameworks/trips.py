"""A trip of one framework's model: the framework's export -> `zor-ir convert`
-> `zor-ir validate --strict` -> `zor-ir convert` back to NIR -> the
framework's import, and the same seeded input through the original, the
framework's import of its own file (the control) and the import of ours.

Each stage ends "ok" or with the exact text of what failed; a stage after a
failed one is not run and reads "-"."""

from __future__ import annotations

import dataclasses
import os
import pathlib
import subprocess
import sys
from typing import Dict, List, Optional, Tuple

import numpy as np

from venvs import FrameworkError, call, nir_for_zor

HERE = pathlib.Path(__file__).resolve().parent
TRIP = HERE / "_trip.py"
ZOR_IR = pathlib.Path(sys.executable).with_name("zor-ir")
SEED = 7

STAGES = ("exports", "converts", "validates", "back to NIR", "re-imports", "outputs equal")
OK = "ok"
NOT_RUN = "-"
ABSENT = "Absent: "  # what _trip raises for a model the framework cannot build


@dataclasses.dataclass
class Trip:
    framework: str
    model: str
    stages: Dict[str, str] = dataclasses.field(
        default_factory=lambda: {stage: NOT_RUN for stage in STAGES})
    # The framework importing its own file (and, when that fails, the graph
    # it exported, in memory): "ok" when its outputs equal the original's,
    # else what went wrong; the trip is then held to the control.
    control: str = NOT_RUN
    original: Optional[np.ndarray] = None
    # What `zor-ir convert` said it repaired in the framework's file, a line each.
    repairs: List[str] = dataclasses.field(default_factory=list)

    @property
    def absent(self) -> bool:
        return self.stages["exports"].startswith(ABSENT)

    @property
    def whole(self) -> bool:
        return all(outcome == OK for outcome in self.stages.values())


def _framework_call(trip: Trip, function: str, nir_path: pathlib.Path) -> Dict[str, np.ndarray]:
    params = dict(framework=trip.framework, model=trip.model, nir_path=str(nir_path), seed=SEED)
    return call(trip.framework, TRIP, function, params=params, pythonpath=[HERE])


def _zor_ir(*args: str, framework: str, cwd: pathlib.Path) -> Tuple[str, str]:
    """OK or the command's error output, and what it printed on stderr. It
    runs with the nir of the framework's venv, so that the file written back
    is one that nir reads."""
    env = {**os.environ, "PYTHONPATH": str(nir_for_zor(framework))}
    done = subprocess.run([str(ZOR_IR), *args], capture_output=True, text=True,
                          timeout=300, env=env, cwd=cwd)
    if done.returncode == 0:
        return OK, done.stderr
    return (done.stderr.strip() or done.stdout.strip() or f"exit status {done.returncode}",
            done.stderr)


def compare(expected: np.ndarray, actual: np.ndarray) -> str:
    """OK when equal; else how they differ."""
    if expected.size != actual.size:
        return f"shape {actual.shape}, expected {expected.shape}"
    shape = "" if expected.shape == actual.shape else (
        f"shape {actual.shape}, expected {expected.shape}; ")
    expected, actual = expected.ravel(), actual.ravel()
    if np.array_equal(expected, actual):
        return f"{shape}the values equal" if shape else OK
    return (f"{shape}{np.count_nonzero(expected != actual)} of {expected.size} values differ, "
            f"max |difference| {np.max(np.abs(expected - actual)):.3g}")


def run_trip(framework: str, model: str, scratch: pathlib.Path) -> Trip:
    trip = Trip(framework, model)
    exported, ours = scratch / "exported.nir", scratch / "ours.nir"
    stored = scratch / "converted.zor"
    try:
        exports = _framework_call(trip, "export", exported)
    except FrameworkError as error:
        trip.stages["exports"] = str(error)
        return trip
    trip.stages["exports"] = OK
    trip.original = exports["output"]
    control = exports.get("control")
    outcomes = [str(exports["control_error"])] if "control_error" in exports else []
    if control is not None:
        kept = compare(trip.original, control)
        outcomes.append(f"in memory: {kept}" if outcomes else kept)
        if kept == OK:
            control = None  # the framework keeps its model: held to the original
    trip.control = "; ".join(outcomes)
    # By name in the scratch folder, so that messages name the files alone.
    commands = (("converts", ("convert", exported.name, stored.name)),
                ("validates", ("validate", "--strict", stored.name)),
                ("back to NIR", ("convert", stored.name, ours.name)))
    for stage, args in commands:
        trip.stages[stage], said = _zor_ir(*args, framework=trip.framework, cwd=scratch)
        if stage == "converts" and trip.stages[stage] == OK:
            trip.repairs = said.splitlines()
        if trip.stages[stage] != OK:
            return trip
    try:
        reimported = _framework_call(trip, "reimport", ours)["output"]
    except FrameworkError as error:
        trip.stages["re-imports"] = str(error)
        return trip
    trip.stages["re-imports"] = OK
    # Held to the original when the framework's own trip keeps it (or fails
    # whole), else to what the framework makes of its own export.
    reference = trip.original if control is None else control
    trip.stages["outputs equal"] = compare(reference, reimported)
    return trip


def table(trips) -> list:
    """The table of stages, a line a trip, then each failure's text once."""
    trips = list(trips)
    columns = ("framework", "model", *STAGES, "control")
    marks: Dict[str, str] = {}

    def mark(outcome: str) -> str:
        if outcome in (OK, NOT_RUN):
            return "yes" if outcome == OK else "-"
        if outcome.startswith(ABSENT):
            return marks.setdefault(outcome, "n/a")
        numbered = sum(label != "n/a" for label in marks.values())
        return marks.setdefault(outcome, f"no [{numbered + 1}]")

    rows = [[t.framework, t.model, *(mark(t.stages[s]) for s in STAGES), mark(t.control)]
            for t in trips]
    widths = [max(len(str(cell)) for cell in column) for column in zip(columns, *rows)]
    lines = ["| " + " | ".join(cell.ljust(w) for cell, w in zip(line, widths)) + " |"
             for line in (columns, *rows)]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    def count(stage: str) -> int:
        return sum(t.stages[stage] == OK for t in trips)

    tried = sum(not t.absent for t in trips)
    lines += ["", f"{tried} models tried: {count('exports')} exported, {count('converts')} "
              f"converted, {sum(t.whole for t in trips)} whole trips", ""]
    lines += [f"{label}: {text.removeprefix(ABSENT)}" for text, label in marks.items()]
    lines += ["", "What zor-ir convert repaired in the frameworks' files:"]
    lines += [f"- {t.framework}, {t.model}: {repair}" for t in trips for repair in t.repairs]
    return lines
