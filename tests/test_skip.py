import typing

import numpy as np
import pytest

from helpers import assert_user_imports
from zor.ir import Skip, SkipType, skip

VALID = ("residual", "concatenate", "passthrough", "add", "concat", "identity")
INVALID = "skip_type must be one of ('residual', 'concatenate', 'passthrough', 'add', 'concat', 'identity'), got "


class TestModule:
    def test_contents(self, field_table):
        assert_user_imports(skip, ["SkipType", "Skip"])
        assert typing.get_args(SkipType) == VALID
        assert field_table(Skip) == [("skip_type", "SkipType", "residual"),
                                     ("input_type", "Optional[Shape]", None),
                                     ("output_type", "Optional[Shape]", None),
                                     ("metadata", "Dict[str, Any]", dict)]

    def test_metadata_is_fresh_per_instance(self):
        first, second = Skip(), Skip()
        first.metadata["joins"] = "stage2"
        assert second.metadata == {}


class TestOutput:
    @pytest.mark.parametrize("skip_type", VALID)
    def test_output_is_a_copy_of_the_input(self, skip_type):
        extents = np.array([16, 8, 8])
        node = Skip(skip_type, input_type={"input": extents})
        assert node.skip_type == skip_type and node.output_type["output"] is not extents
        extents[0] = 32
        assert node.output_type["output"].tolist() == [16, 8, 8]

    def test_given_output_is_kept(self):
        given = {"output": np.array([3])}
        assert Skip(input_type={"input": np.array([128])}, output_type=given).output_type is given


class TestChecks:
    @pytest.mark.parametrize("skip_type, input_type, message, error", [
        ("sum", None, INVALID + "'sum'", ValueError),
        ("Residual", {"input": np.array([4])}, INVALID + "'Residual'", ValueError),
        (1, None, INVALID + "'1'", ValueError),
        ("add", {"x": np.array([4])}, "Skip node input_type dict must contain 'input' key, got keys: ['x']",
         ValueError),
        ("add", {"input": None}, "'NoneType' object has no attribute 'copy'", AttributeError),
        ("add", {"input": (4,)}, "'tuple' object has no attribute 'copy'", AttributeError),
    ])
    def test_messages(self, fails_with, skip_type, input_type, message, error):
        fails_with(message, lambda: Skip(skip_type, input_type=input_type), error)
