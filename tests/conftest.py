"""Fixtures: a registry entry that hands back the dictionary read, and a round
trip of one value through a real file."""

import pytest

import zor.ir
from helpers import Payload


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
