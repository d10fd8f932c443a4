import numpy as np
import pytest

from zor.ir.utils import (conv1d_output_shape, conv2d_output_shape, flatten_output_size,
                          pool2d_output_shape)


class TestConvOutputShape:
    @pytest.mark.parametrize("args, expected", [
        (((2, 35, 35), 8, (3, 3), (1, 1), (1, 1), (1, 1)), (8, 35, 35)),
        (((3, 32, 32), 16, (3, 3), (2, 2), (0, 0), (1, 1)), (16, 15, 15)),
        (((3, 32, 32), 16, (3, 3), (1, 1), (0, 0), (2, 2)), (16, 28, 28)),
        (((1, 7, 9), 4, 3, 1, 1, 1), (4, 7, 9)),
        (((5, 1, 3, 32, 32), 16, (5, 5), (1, 1), (2, 2), (1, 1)), (5, 1, 16, 32, 32)),
    ])
    def test_shapes(self, args, expected):
        assert conv2d_output_shape(*args) == expected

    @pytest.mark.parametrize("args, message", [
        (((2, 4, 4), 8, (7, 7), (1, 1), (1, 1), (1, 1)), "window of 7 along height is larger"),
        (((2, 8, 8), 8, (3, 3), (0, 1), (0, 0), (1, 1)), "must be positive"),
        (((2, 0, 8), 8, (1, 1), (1, 1), (0, 0), (1, 1)), "positive input sizes"),
        (((8, 8), 8, (1, 1), (1, 1), (0, 0), (1, 1)), "needs an input shape (C, H, W)"),
        (((2, 8, 8), 0, (1, 1), (1, 1), (0, 0), (1, 1)), "out_channels must be positive"),
    ])
    def test_errors(self, args, message):
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            conv2d_output_shape(*args)


class TestConv1dOutputShape:
    @pytest.mark.parametrize("args, expected", [
        (((2, 100), 8, 5, 2, 2, 1), (8, 50)),
        (((2, 100), 8, 3, 1, 0, 2), (8, 96)),
        (((2, 7), 4, (3,), (1,), (1,), (1,)), (4, 7)),
        (((2, 7), 4, np.array([3]), np.array([2]), np.array([0]), np.array([1])), (4, 3)),
        (((5, 2, 9), 3, 3), (5, 3, 7)),
    ])
    def test_shapes(self, args, expected):
        assert conv1d_output_shape(*args) == expected

    def test_same_arithmetic_as_conv2d_along_each_axis(self):
        for size, kernel, stride, padding, dilation in [(35, 3, 1, 1, 1), (32, 5, 3, 0, 2), (9, 9, 1, 0, 1)]:
            two = conv2d_output_shape((1, size, size), 2, kernel, stride, padding, dilation)
            assert conv1d_output_shape((1, size), 2, kernel, stride, padding, dilation) == two[:2]

    @pytest.mark.parametrize("args, message", [
        (((2, 4), 8, 7), "conv1d_output_shape: window of 7 along length is larger"),
        (((2, 8), 8, 3, 0), "must be positive"),
        (((8,), 8, 1), "needs an input shape (C, L), got (8,)"),
        (((2, 8), 0, 1), "out_channels must be positive"),
    ])
    def test_errors(self, args, message):
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            conv1d_output_shape(*args)


class TestPoolOutputShape:
    @pytest.mark.parametrize("args, expected", [
        (((8, 34, 34), (2, 2), (2, 2), (0, 0), (1, 1), False), (8, 17, 17)),
        (((8, 5, 5), (2, 2), (2, 2), (0, 0), (1, 1), False), (8, 2, 2)),
        (((8, 5, 5), (2, 2), (2, 2), (0, 0), (1, 1), True), (8, 3, 3)),
        # Rounding up would start a third window in the right padding alone.
        (((1, 3, 3), (2, 2), (2, 2), (1, 1), (1, 1), True), (1, 2, 2)),
        (((1, 3, 5), (2, 2), (2, 1), (1, 0), (1, 1), True), (1, 2, 4)),
    ])
    def test_shapes(self, args, expected):
        assert pool2d_output_shape(*args) == expected

    def test_window_larger_than_input(self):
        with pytest.raises(ValueError, match="larger than the padded input"):
            pool2d_output_shape((1, 2, 2), (3, 3), (1, 1), (0, 0), (1, 1), False)


class TestFlattenSize:
    @pytest.mark.parametrize("args, expected", [
        (((2, 35, 35), 0, -1), 2450), (((1, 28, 28), 1, -1), 784),
        (((4, 5, 6, 7), 1, 2), 30), (((7,), 0, -1), 7), ((np.array([3, 4]), -1, -1), 4),
    ])
    def test_sizes(self, args, expected):
        result = flatten_output_size(*args)
        assert result == expected and type(result) is int

    def test_bad_range(self):
        with pytest.raises(ValueError, match="not a range"):
            flatten_output_size((2, 3), 1, 0)

