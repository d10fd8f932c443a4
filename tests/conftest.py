"""Shared fixtures: node parameters, error and field checks, a registry entry
that hands back the dictionary read, and a round trip of one value through a
real file."""

import dataclasses
import os

import numpy as np
import pytest

import zor.ir
from helpers import Payload


@pytest.fixture
def lif_params():
    return dict(tau=np.full(128, 20.0), r=np.full(128, 20.0), v_leak=np.zeros(128),
                v_threshold=np.ones(128))


@pytest.fixture
def fails_with():
    """Check that `build()` raises `error` with exactly `message`."""

    def check(message, build, error=ValueError):
        with pytest.raises(error) as info:
            build()
        assert str(info.value) == message

    return check


@pytest.fixture
def field_table():
    """(name, annotation text, default) of each field of a node class, in
    order; a required field shows MISSING, a default factory the factory."""

    def table(cls):
        return [
            (f.name, f.type, f.default_factory if f.default is dataclasses.MISSING else f.default)
            for f in dataclasses.fields(cls)
        ]

    return table


@pytest.fixture(autouse=True, scope="session")
def payload_registered():
    zor.ir._NODE_REGISTRY["Payload"] = Payload
    yield
    del zor.ir._NODE_REGISTRY["Payload"]


@pytest.fixture
def roundtrip(tmp_path):
    """Writes {"type": "Payload", "v": value} and returns the entry read back
    (a missing entry as the string "<absent>")."""

    def run(value):
        path = tmp_path / "value.zor"
        zor.ir.write(path, Payload({"type": "Payload", "v": value}))
        return zor.ir.read(path).get("v", "<absent>")

    return run


def pytest_terminal_summary(terminalreporter):
    """The tables that tests record in hostile.SUMMARIES (the mutation run's counts)."""
    from hostile import SUMMARIES

    for title, (header, rows) in SUMMARIES.items():
        terminalreporter.write_sep("-", title)
        for line in [header, *rows]:
            terminalreporter.write_line(line)


# The trips through the real frameworks need their venvs: scripts/test.sh
# --frameworks sets those up and runs them alone.
collect_ignore = [] if os.environ.get("ZOR_FRAMEWORKS") else ["frameworks"]
