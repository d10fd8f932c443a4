"""The trips, each run once a session however many tests read it, and their
table at the end of the run: in the terminal summary and in
build/frameworks-table.md."""

import pytest

from trips import run_trip, table
from venvs import ROOT

_trips = {}


@pytest.fixture(scope="session")
def trip_of(tmp_path_factory):
    def trip(framework, model):
        if (framework, model) not in _trips:
            scratch = tmp_path_factory.mktemp(f"{framework}-{model.replace(' ', '-')}")
            _trips[framework, model] = run_trip(framework, model, scratch)
        return _trips[framework, model]

    return trip


def pytest_terminal_summary(terminalreporter):
    if not _trips:
        return
    lines = table(_trips.values())
    terminalreporter.write_sep("=", "trips through the frameworks")
    for line in lines:
        terminalreporter.write_line(line)
    target = ROOT / "build" / "frameworks-table.md"
    target.parent.mkdir(exist_ok=True)
    target.write_text("\n".join(lines) + "\n")
    terminalreporter.write_line(f"(written to {target.relative_to(ROOT)})")
