import numpy as np
import pytest

from zor.ir.values import values_equal


class TestValuesEqual:
    @pytest.mark.parametrize("a, b, equal", [
        (np.array([1, 2]), np.array([1, 2]), True),
        (np.array([1, 2]), np.array([1, 2], dtype=np.int32), False),
        (np.array([np.nan]), np.array([np.nan]), True),
        ({"a": np.ones(2)}, {"a": np.ones(2)}, True),
        ((1, 2), [1, 2], False),
        (np.ones(2), [1.0, 1.0], False),
        (float("nan"), float("nan"), True),
        (3, np.int64(3), True),
        (np.array([np.arange(2), np.arange(3)], dtype=object), np.array([np.arange(2), np.arange(3)], dtype=object),
         True),
        (np.array([np.arange(2), np.arange(3)], dtype=object), np.array([np.arange(2), np.arange(2)], dtype=object),
         False),
        (np.array([np.arange(2), np.arange(3)], dtype=object), np.array([np.arange(2.0), np.arange(3)], dtype=object),
         False),
        (np.ones(2, [("a", "i1", (2, 2))]), np.ones(2, [("a", "i1", (2, 2))]), True),
        (np.ones(2, [("a", "i1", (2, 2))]), np.zeros(2, [("a", "i1", (2, 2))]), False),
        (np.array([b"ab"], "V2"), np.array([b"ac"], "V2"), False),
    ])
    def test_table(self, a, b, equal):
        assert values_equal(a, b) is equal
