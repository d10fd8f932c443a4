"""Structural comparison of node values."""

from __future__ import annotations

import math
from typing import Any

import numpy as np


def values_equal(a: Any, b: Any) -> bool:
    """Structural equality of node field values: arrays by element type and
    value (NaN equal to NaN), containers element by element with the same
    container type, nodes and graphs by their own ``equals``."""
    if a is b:
        return True
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        if not (isinstance(a, np.ndarray) and isinstance(b, np.ndarray)):
            return False
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.kind in "fc":
            return bool(np.array_equal(a, b, equal_nan=True))
        if a.dtype.kind == "O":  # its items may be arrays (variable-length sequences read from a file)
            return all(values_equal(x, y) for x, y in zip(a.ravel().tolist(), b.ravel().tolist()))
        if a.dtype.kind == "V":  # structured or opaque: its items may hold subarrays
            return bool(np.array_equal(a, b))
        if a.size <= 64:
            return a.tolist() == b.tolist()  # much cheaper than a ufunc for port shapes
        return bool(np.array_equal(a, b))
    if hasattr(a, "equals") and callable(a.equals):
        return bool(a.equals(b))
    if isinstance(a, dict):
        return (isinstance(b, dict) and a.keys() == b.keys()
                and all(values_equal(a[k], b[k]) for k in a))
    if isinstance(a, (list, tuple)):
        return (type(a) is type(b) and len(a) == len(b)
                and all(values_equal(x, y) for x, y in zip(a, b)))
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return False
