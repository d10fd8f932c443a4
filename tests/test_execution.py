"""The simulator's C++ kernels: every sum in its stated order, to the bit,
against NumPy doing the same operations one at a time; non-finite weights;
arguments that do not fit."""

import subprocess
import sys

import numpy as np
import pytest

from helpers import lif_node, ordered_conv, simulate_alone as one
from zor.ir import (Affine, AvgPool2d, Conv1d, Conv2d, Flatten, Graph, MaxPool2d, SepConv2d,
                    SpikingAffine, SumPool2d, _execution, simulate)

RNG = np.random.default_rng(11)


def spiking(shape, rate=0.3):
    """Mostly zeros, as spikes are, with some values of every sign."""
    return np.where(RNG.random(shape) < rate, RNG.normal(size=shape), 0.0)


def steps(x):
    return x[:, None]  # (N, ...) as N steps of one sample


class TestConvolutionOrder:
    @pytest.mark.parametrize("outputs, channels, kernel, stride, padding, dilation, groups", [
        (8, 2, (3, 3), (1, 1), (1, 1), (1, 1), 1),   # four lanes twice
        (16, 8, (3, 3), (1, 1), (1, 1), (1, 1), 1),
        (32, 3, (2, 3), (2, 1), (0, 2), (1, 2), 1),
        (6, 4, (3, 2), (2, 2), (1, 1), (2, 1), 2),   # three outputs a group: no lanes
        (4, 4, (3, 3), (1, 2), (2, 0), (1, 1), 4),   # one output a group
    ])
    def test_bits_of_the_ordered_sum(self, outputs, channels, kernel, stride, padding, dilation,
                                     groups):
        w = RNG.normal(size=(outputs, channels // groups) + kernel)
        b = RNG.normal(size=outputs)
        x = spiking((5, channels, 9, 8))
        node = Conv2d(w, b, stride, padding, dilation, groups)
        got = one(node, steps(x))[:, 0]
        np.testing.assert_array_equal(got, ordered_conv(x, w, b, stride, padding, dilation,
                                                        groups))

    def test_dense_input_and_the_other_layers(self):
        x = RNG.normal(size=(3, 4, 7, 6))
        w_depth, w_point = RNG.normal(size=(4, 1, 3, 3)), RNG.normal(size=(5, 4, 1, 1))
        b_depth, b_point = RNG.normal(size=4), RNG.normal(size=5)
        got = one(SepConv2d(w_depth, w_point, b_depth, b_point, (1, 2), (1, 1)), steps(x))[:, 0]
        depth = ordered_conv(x, w_depth, b_depth, (1, 2), (1, 1), groups=4)
        np.testing.assert_array_equal(got, ordered_conv(depth, w_point, b_point))
        w1, b1 = RNG.normal(size=(6, 2, 3)), RNG.normal(size=6)
        seq = spiking((3, 4, 10))
        got = one(Conv1d(w1, b1, stride=2, padding=1, dilation=2, groups=2), steps(seq))[:, 0]
        want = ordered_conv(seq[:, :, None], w1[:, :, None], b1, (1, 2), (0, 1), (1, 2), 2)
        np.testing.assert_array_equal(got, want[:, :, 0])

    def test_infinite_weights_meet_the_zeros_and_the_padding(self):
        w = np.ones((2, 1, 3, 3))
        w[0, 0, 0, 0] = np.inf
        x = np.zeros((1, 1, 4, 4))
        x[0, 0, 2, 2] = 1.0
        got = one(Conv2d(w, np.zeros(2), padding=(1, 1)), steps(x))[:, 0]
        with np.errstate(invalid="ignore"):
            want = ordered_conv(x, w, np.zeros(2), padding=(1, 1))
        assert np.isnan(got[0, 0, 0, 0])  # the infinite tap on the padding: 0 * inf
        assert got[0, 0, 3, 3] == np.inf  # and on the one cell that is not 0
        np.testing.assert_array_equal(got, want)

    def test_nan_input_reaches_every_output_it_feeds(self):
        x = np.zeros((1, 1, 5, 5))
        x[0, 0, 2, 2] = np.nan
        got = one(Conv2d(np.ones((1, 1, 3, 3)), np.zeros(1)), steps(x))[0, 0, 0]
        assert np.isnan(got).all()


class TestDenseOrder:
    @staticmethod
    def ordered_dense(x, w, b):
        out = np.zeros((x.shape[0], w.shape[0]))
        for c in range(w.shape[1]):
            out += w[:, c] * x[:, c, None]
        return out + b

    @pytest.mark.parametrize("node_class", [Affine, SpikingAffine])
    def test_bits_of_the_ordered_sum(self, node_class):
        w, b = RNG.normal(size=(37, 20)), RNG.normal(size=37)  # a chunk of 32 and 5 more
        x = spiking((6, 20))
        got = one(node_class(w, b), steps(x))[:, 0]
        np.testing.assert_array_equal(got, self.ordered_dense(x, w, b))

    def test_an_infinite_weight_meets_a_zero(self):
        w = np.ones((3, 2))
        w[1, 0] = np.inf
        got = one(Affine(w, np.zeros(3)), steps(np.array([[0.0, 1.0]])))[0, 0]
        np.testing.assert_array_equal(got, [1.0, np.nan, 1.0])


class TestPoolingOrder:
    @pytest.mark.parametrize("node, pad, how", [
        (SumPool2d((2, 3), (2, 2), (1, 0)), 0.0, np.add),
        (MaxPool2d((3, 2), (1, 2), (1, 1), ceil_mode=True), -np.inf, np.maximum),
        (MaxPool2d((2, 2), dilation=(2, 1)), -np.inf, np.maximum),
    ])
    def test_bits_of_the_window_in_order(self, node, pad, how):
        x = RNG.normal(size=(3, 2, 7, 6))
        x[0, 1, 2, 2] = np.nan
        got = one(node, steps(x))[:, 0]
        k, s = node.kernel_size, node.stride or node.kernel_size
        p, d = node.padding, getattr(node, "dilation", (1, 1))
        ho, wo = got.shape[2:]
        xp = np.full((3, 2, 7 + 2 * p[0] + 2 * k[0], 6 + 2 * p[1] + 2 * k[1]), pad)
        xp[:, :, p[0]:p[0] + 7, p[1]:p[1] + 6] = x
        want = None
        for i in range(k[0]):
            for j in range(k[1]):
                cells = xp[:, :, i * d[0]:i * d[0] + s[0] * (ho - 1) + 1:s[0],
                           j * d[1]:j * d[1] + s[1] * (wo - 1) + 1:s[1]]
                want = cells.copy() if want is None else how(want, cells)
        np.testing.assert_array_equal(got, want)
        if how is np.maximum:
            assert np.isnan(got[0, 1]).any()

    def test_a_huge_window_costs_the_cells_inside(self):
        # 200001 x 200001 taps, all but one on the padding: only the cell is read.
        code = ("import numpy as np; from zor.ir import MaxPool2d, SumPool2d, Graph, simulate\n"
                "for cls in (MaxPool2d, SumPool2d):\n"
                "    g = Graph(); g.add_node('p', cls((200001, 200001), (1, 1), (100000, 100000)))\n"
                "    out = simulate(g, np.full((1, 1, 1, 1, 1), -0.0), dt=1.0)['p']\n"
                "    print(out.shape, np.signbit(out).item())")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
        # the maximum is the cell; the sum of -0.0 and the padding's zeros is +0.0
        assert done.stdout.split("\n")[:2] == ["(1, 1, 1, 1, 1) True", "(1, 1, 1, 1, 1) False"], \
            done.stderr

    def test_average_divides_the_ordered_sum(self):
        x = RNG.normal(size=(2, 1, 4, 4))
        got = one(AvgPool2d((2, 2)), steps(x))[:, 0]
        total = x[:, :, ::2, ::2] + x[:, :, ::2, 1::2] + x[:, :, 1::2, ::2] + x[:, :, 1::2, 1::2]
        np.testing.assert_array_equal(got, total / 4.0)


class TestNeuronStep:
    def test_lif_to_the_bit(self):
        x = RNG.normal(1.0, 2.0, size=(40, 3, 5))
        tau, r, v_leak, v_threshold = 2e-3, 1.5, 0.25, 1.0
        got = one(lif_node(5, tau=tau, r=r, v_leak=v_leak, v_threshold=v_threshold), x,
                  record=("node.v",), dt=1e-3)
        a = 1e-3 / tau
        v = np.zeros((3, 5))
        for t in range(len(x)):  # the step's operations as the rule orders them
            v = v * (1 - a) + x[t] * (a * r) + a * v_leak
            spikes = v >= v_threshold
            v = np.where(spikes, 0.0, v)
            np.testing.assert_array_equal(got["node"][t], spikes)
            np.testing.assert_array_equal(got["node.v"][t], v)


class TestThreads:
    def test_the_thread_count_changes_no_bit(self, monkeypatch):
        graph = Graph.sequential([Conv2d(RNG.normal(size=(8, 2, 3, 3)), RNG.normal(size=8),
                                         padding=(1, 1)),
                                  lif_node((8, 32, 32), tau=2.0, v_threshold=0.5),
                                  MaxPool2d((2, 2)), SumPool2d((3, 3), (1, 1), (1, 1)),
                                  Flatten(), Affine(RNG.normal(size=(40, 2048)), np.zeros(40))],
                                 names=["conv", "lif", "max", "sum", "flat", "fc"])
        x = spiking((5, 9, 2, 32, 32), rate=0.5)  # enough work for three threads
        results = []
        for threads in ("1", "3"):
            monkeypatch.setenv("OMP_NUM_THREADS", threads)
            results.append(simulate(graph, x, dt=1.0, record=["lif.v"]))
        for key in results[0]:
            np.testing.assert_array_equal(results[0][key], results[1][key])
        assert results[0]["fc"].any()


class TestArguments:
    """The kernels check every array they are given: what does not fit is an
    exception, never a read or write outside an array."""

    x = np.zeros((2, 3, 5, 5))
    w = np.zeros((4, 3, 3, 3))
    b = np.zeros(4)

    def convolve(self, x=None, w=None, b=None, out=None, groups=1, padding=(0, 0)):
        out = np.zeros((2, 4, 3, 3)) if out is None else out
        _execution.convolve(self.x if x is None else x, self.w if w is None else w,
                            self.b if b is None else b, out, (1, 1), padding, (1, 1), groups,
                            True, 1)

    @pytest.mark.parametrize("change, message", [
        (dict(out=np.zeros((2, 4, 3, 4))), "the output array does not have the shape"),
        (dict(b=np.zeros(3)), "the weight, the bias and the groups do not fit"),
        (dict(groups=2), "the weight, the bias and the groups do not fit"),
        (dict(w=np.zeros((4, 3, 7, 3))), "the kernel is larger than the padded input"),
        (dict(x=np.zeros((2, 3, 5))), "x must be"),
        (dict(padding=(-1, 0)), "padding must not be negative"),
    ])
    def test_convolve(self, change, message):
        with pytest.raises(ValueError, match=message):
            self.convolve(**change)

    def test_output_must_be_a_contiguous_float64_array_apart_from_the_input(self):
        with pytest.raises(TypeError):
            self.convolve(out=np.zeros((2, 4, 3, 6))[..., ::2])
        with pytest.raises(TypeError):
            self.convolve(out=np.zeros((2, 4, 3, 3), dtype=np.float32))
        shared = np.zeros(2 * 3 * 5 * 5)
        with pytest.raises(ValueError, match="overlaps the input"):
            _execution.convolve(shared.reshape(2, 3, 5, 5), np.zeros((3, 3, 3, 3)), np.zeros(3),
                                shared[:2 * 3 * 3 * 3].reshape(2, 3, 3, 3), (1, 1), (0, 0),
                                (1, 1), 1, True, 1)

    def test_dense(self):
        with pytest.raises(ValueError, match="the weight and the bias do not fit the input"):
            _execution.dense(np.zeros((2, 3)), np.zeros((4, 5)), np.zeros(5), np.zeros((2, 5)),
                             True, 1)
        with pytest.raises(ValueError, match="the output array does not have the shape"):
            _execution.dense(np.zeros((2, 3)), np.zeros((3, 5)), np.zeros(5), np.zeros((2, 4)),
                             True, 1)

    def test_pool(self):
        with pytest.raises(ValueError, match="kernel, stride and dilation must be positive"):
            _execution.pool(self.x, np.zeros((2, 3, 2, 2)), (0, 2), (2, 2), (0, 0), (1, 1),
                            True, 1)
        with pytest.raises(ValueError, match="the output array does not have the shape"):
            _execution.pool(self.x, np.zeros((2, 4, 2, 2)), (2, 2), (2, 2), (0, 0), (1, 1),
                            True, 1)

    @pytest.mark.parametrize("target, keep, source, spikes, message", [
        (np.zeros((2, 5)), np.ones(4), np.ones((2, 5)), None, "whole rows"),
        (np.zeros((2, 5)), np.ones(5), np.ones((3, 5)), None, "a source does not have"),
        (np.zeros((2, 5)), np.ones(5), np.ones((2, 5)), np.zeros(9), "the spikes do not have"),
    ])
    def test_advance(self, target, keep, source, spikes, message):
        firing = None if spikes is None else (np.ones(5), np.zeros(5), True, spikes)
        with pytest.raises(ValueError, match=message):
            _execution.advance(target, keep, [(np.ones(5), source)], None, firing, 1)

    def test_advance_refuses_arrays_that_share_the_state(self):
        state = np.zeros((2, 5))
        with pytest.raises(ValueError, match="a source overlaps the state"):
            _execution.advance(state, np.ones(5), [(np.ones(5), state)], None, None, 1)
        with pytest.raises(ValueError, match="the spikes overlap the state"):
            _execution.advance(state, np.ones(5), [], None,
                               (np.ones(5), np.zeros(5), True, state), 1)
