import dataclasses

import numpy as np
import pytest


def same_kinds(a, b) -> bool:
    """True when two values have the same Python kinds all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_kinds(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_kinds(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype
    return True


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
