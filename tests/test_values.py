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
    ])
    def test_table(self, a, b, equal):
        assert values_equal(a, b) is equal
