"""simulate's stateless rules and the quantised SpikingAffine, each against a
small computation of its own written here."""

import math

import numpy as np
import pytest

from helpers import lif_node, ordered_conv, simulate_alone as one
from zor.ir import (ELU, GELU, Affine, AvgPool2d, BatchNorm1d, BatchNorm2d, Conv1d, Conv2d,
                    Dropout, Flatten, HybridRegion, LayerNorm, MaxPool2d, PReLU, ReLU, Scale,
                    SepConv2d, Sigmoid, Skip, Softmax, SpikingAffine, SumPool2d, Tanh, Threshold,
                    Upsample)

RNG = np.random.default_rng(7)
T, B = 6, 3


# -------------------------------------------------------------- stateless rules

def _pool_reference(x, k, s, p, ceil_mode, how, count_include_pad=True, dilation=(1, 1)):
    n, c, h, w = x.shape

    def size(extent, a):
        span = dilation[a] * (k[a] - 1) + 1
        out = (extent + 2 * p[a] - span + ((s[a] - 1) if ceil_mode else 0)) // s[a] + 1
        return out - 1 if ceil_mode and (out - 1) * s[a] >= extent + p[a] else out

    ho, wo = size(h, 0), size(w, 1)
    out = np.zeros((n, c, ho, wo))
    for i in range(ho):
        for j in range(wo):
            rows = [i * s[0] - p[0] + a * dilation[0] for a in range(k[0])]
            cols = [j * s[1] - p[1] + b * dilation[1] for b in range(k[1])]
            cells = [x[:, :, r, q] for r in rows for q in cols if 0 <= r < h and 0 <= q < w]
            if how == "max":
                out[:, :, i, j] = np.max(cells, axis=0)
            elif how == "sum":
                out[:, :, i, j] = np.sum(cells, axis=0)
            else:
                inside = [(r, q) for r in rows for q in cols
                          if -p[0] <= r < h + p[0] and -p[1] <= q < w + p[1]]
                count = len(inside) if count_include_pad else len(cells)
                out[:, :, i, j] = np.sum(cells, axis=0) / count
    return out


def _flat(x):
    return x.reshape((-1,) + x.shape[2:])


def _erf(x):
    return np.array([math.erf(v) for v in x.ravel()]).reshape(x.shape)


x_vec = RNG.normal(size=(T, B, 5)) * 3
x_img = RNG.normal(size=(T, B, 4, 7, 6))
w_dense = RNG.normal(size=(4, 5))
b_dense = RNG.normal(size=4)
w_prelu = RNG.random(5).astype(np.float32)
# The norm and PReLU nodes hold their parameters as float32.
bn = [(RNG.random(4) + 0.5).astype(np.float32), RNG.normal(size=4).astype(np.float32),
      RNG.normal(size=4).astype(np.float32), (RNG.random(4) + 0.5).astype(np.float32)]
ln = [RNG.normal(size=(7, 6)).astype(np.float32), RNG.normal(size=(7, 6)).astype(np.float32)]
w_conv = RNG.normal(size=(6, 2, 3, 2))
b_conv = RNG.normal(size=6)
w_depth, w_point = RNG.normal(size=(4, 1, 3, 3)), RNG.normal(size=(5, 4, 1, 1))
b_depth, b_point = RNG.normal(size=4), RNG.normal(size=5)

STATELESS = [
    ("relu", lambda: ReLU(5), x_vec, lambda x: np.maximum(x, 0)),
    ("leaky relu", lambda: ReLU(5, 0.1), x_vec, lambda x: np.where(x > 0, x, 0.1 * x)),
    ("sigmoid", lambda: Sigmoid(5), x_vec * 100,
     lambda x: 1 / (1 + np.exp(-np.clip(x, -700, 700)))),
    ("tanh", lambda: Tanh(5), x_vec, np.tanh),
    ("softmax", lambda: Softmax(5), x_vec,
     lambda x: np.exp(x) / np.exp(x).sum(axis=-1, keepdims=True)),
    ("softmax dim 1", lambda: Softmax(4, dim=1), x_img,
     lambda x: np.exp(x) / np.exp(x).sum(axis=2, keepdims=True)),
    ("gelu tanh", lambda: GELU(5), x_vec,
     lambda x: 0.5 * x * (1 + np.tanh(math.sqrt(2 / math.pi) * (x + 0.044715 * x ** 3)))),
    ("gelu erf", lambda: GELU(5, approximate=False), x_vec * 2,
     lambda x: 0.5 * x * (1 + _erf(x / math.sqrt(2)))),
    ("elu", lambda: ELU(5, 0.7), x_vec, lambda x: np.where(x > 0, x, 0.7 * (np.exp(x) - 1))),
    ("prelu", lambda: PReLU(5, w_prelu), x_vec, lambda x: np.where(x >= 0, x, w_prelu * x)),
    ("prelu shared", lambda: PReLU(4, np.array([0.3])), x_img,
     lambda x: np.where(x >= 0, x, 0.3 * x)),
    ("batchnorm1d", lambda: BatchNorm1d(4, *bn, eps=1e-3), RNG.normal(size=(T, B, 4)),
     lambda x: (x - bn[2]) / np.sqrt(bn[3].astype(float) + 1e-3) * bn[0] + bn[1]),
    ("batchnorm2d", lambda: BatchNorm2d(4, *bn), x_img,
     lambda x: ((x - bn[2][:, None, None]) / np.sqrt(bn[3].astype(float)[:, None, None] + 1e-5)
                * bn[0][:, None, None] + bn[1][:, None, None])),
    ("layernorm", lambda: LayerNorm((7, 6), *ln), x_img,
     lambda x: (x - x.mean(axis=(-2, -1), keepdims=True))
     / np.sqrt(x.var(axis=(-2, -1), keepdims=True) + 1e-5) * ln[0] + ln[1]),
    ("dropout", lambda: Dropout(5, 0.9), x_vec, lambda x: x),
    ("hybrid region", lambda: HybridRegion("ann", 5), x_vec, lambda x: x),
    ("affine", lambda: Affine(w_dense, b_dense), x_vec, lambda x: x @ w_dense.T + b_dense),
    ("spiking affine", lambda: SpikingAffine(w_dense, b_dense, "graded"), x_vec,
     lambda x: x @ w_dense.T + b_dense),
    ("flatten", lambda: Flatten(1, 2), x_img, lambda x: x.reshape(T, B, 4, 42)),
    ("skip", lambda: Skip("passthrough"), x_img, lambda x: x),
    ("conv2d", lambda: Conv2d(w_conv, b_conv, (2, 1), (1, 2), (1, 2), 2), x_img,
     lambda x: ordered_conv(_flat(x), w_conv, b_conv, (2, 1), (1, 2), (1, 2), 2)),
    ("conv2d plain", lambda: Conv2d(w_conv[:, :, :2], b_conv, groups=2), x_img,
     lambda x: ordered_conv(_flat(x), w_conv[:, :, :2], b_conv, (1, 1), (0, 0), (1, 1), 2)),
    ("conv2d dilated", lambda: Conv2d(w_conv, b_conv, (1, 1), (2, 1), (2, 1), 2), x_img,
     lambda x: ordered_conv(_flat(x), w_conv, b_conv, (1, 1), (2, 1), (2, 1), 2)),
    ("sepconv2d", lambda: SepConv2d(w_depth, w_point, b_depth, b_point, (1, 2), (1, 1)), x_img,
     lambda x: ordered_conv(
         ordered_conv(_flat(x), w_depth, b_depth, (1, 2), (1, 1), (1, 1), 4),
         w_point, b_point, (1, 1), (0, 0), (1, 1), 1)),
    ("maxpool", lambda: MaxPool2d((3, 2), (2, 2), (1, 1), (1, 2), ceil_mode=True), x_img,
     lambda x: _pool_reference(_flat(x), (3, 2), (2, 2), (1, 1), True, "max", dilation=(1, 2))),
    ("avgpool", lambda: AvgPool2d((3, 3), (2, 2), (1, 1), ceil_mode=True), x_img,
     lambda x: _pool_reference(_flat(x), (3, 3), (2, 2), (1, 1), True, "avg")),
    # ceil mode drops the last window along H (it would start in the padding)
    ("avgpool ceil dropping a window", lambda: AvgPool2d((2, 2), (2, 2), (1, 1), ceil_mode=True),
     x_img, lambda x: _pool_reference(_flat(x), (2, 2), (2, 2), (1, 1), True, "avg")),
    ("avgpool without pad", lambda: AvgPool2d((2, 3), (2, 2), (1, 1), count_include_pad=False),
     x_img, lambda x: _pool_reference(_flat(x), (2, 3), (2, 2), (1, 1), False, "avg", False)),
    ("upsample nearest", lambda: Upsample(2), x_img,
     lambda x: x.repeat(2, axis=-2).repeat(2, axis=-1)),
    ("upsample nearest size", lambda: Upsample(size=(10, 9)), x_img,
     lambda x: x[..., (np.arange(10) * 7) // 10, :][..., (np.arange(9) * 6) // 9]),
]


def _bilinear_reference(x, size, align_corners):
    for axis, target in ((-2, size[0]), (-1, size[1])):
        n = x.shape[axis]
        rows = []
        for o in range(target):
            if align_corners:
                src = o * (n - 1) / (target - 1)
            else:
                src = max((o + 0.5) * n / target - 0.5, 0.0)
            lo = min(int(math.floor(src)), n - 1)
            hi = min(lo + 1, n - 1)
            f = src - lo
            rows.append(np.take(x, lo, axis=axis) * (1 - f) + np.take(x, hi, axis=axis) * f)
        x = np.stack(rows, axis=axis)
    return x


STATELESS += [
    ("upsample bilinear", lambda: Upsample(size=(11, 8), mode="bilinear"), x_img,
     lambda x: _bilinear_reference(x, (11, 8), False)),
    ("upsample bilinear corners", lambda: Upsample(3, mode="bilinear", align_corners=True), x_img,
     lambda x: _bilinear_reference(x, (21, 18), True)),
]


w_conv1d, b_conv1d = RNG.normal(size=(6, 2, 3)), RNG.normal(size=6)
x_seq = RNG.normal(size=(T, B, 4, 9))
scale = RNG.normal(size=(4, 7, 6))
STATELESS += [
    ("threshold", lambda: Threshold(np.full((4, 7, 6), 0.2)), x_img, lambda x: (x > 0.2) * 1.0),
    ("scale", lambda: Scale(scale), x_img, lambda x: x * scale),
    ("conv1d", lambda: Conv1d(w_conv1d, b_conv1d, stride=2, padding=1, dilation=2, groups=2),
     x_seq, lambda x: ordered_conv(_flat(x)[:, :, None, :], w_conv1d[:, :, None, :], b_conv1d,
                                      (1, 2), (0, 1), (1, 2), 2)),
    ("sumpool", lambda: SumPool2d((2, 3), (2, 2), (1, 0)), x_img,
     lambda x: _pool_reference(_flat(x), (2, 3), (2, 2), (1, 0), False, "sum")),
]


class TestStatelessRules:
    @pytest.mark.parametrize("make, x, expected", [row[1:] for row in STATELESS],
                             ids=[row[0] for row in STATELESS])
    def test_rule(self, make, x, expected):
        got = one(make(), x)
        want = expected(x).reshape(got.shape)
        np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-9)

    def test_outputs_are_float64(self):
        assert one(ReLU(5), x_vec.astype(np.float32)).dtype == np.float64

    def test_nan_goes_through_and_never_spikes(self):
        x = np.full((3, 1, 2), np.nan)
        assert np.isnan(one(ReLU(2), x)).all()
        assert not one(lif_node(2, v_threshold=-1.0), x).any()


WINDOWED = [row for row in STATELESS
            if row[0].startswith(("conv2d", "sepconv", "maxpool", "sumpool", "avgpool"))]


class TestReusedArrays:
    """Blocks of two steps, the last shorter: every kernel's arrays, kept from
    one block to the next, hold nothing of the block before."""

    @pytest.fixture(autouse=True)
    def small_blocks(self, monkeypatch):
        monkeypatch.setattr("zor.ir._simulate.BLOCK_BYTES", 2 * B * 8 * 4 * 7 * 6)

    @pytest.mark.parametrize("make, expected", [(row[1], row[3]) for row in WINDOWED],
                             ids=[row[0] for row in WINDOWED])
    def test_rule(self, make, expected):
        x = RNG.normal(size=(7, B, 4, 7, 6))
        got = one(make(), x)
        np.testing.assert_allclose(got, expected(x).reshape(got.shape), rtol=1e-6, atol=1e-9)


class TestQuantized:
    weight = np.array([[0.5, -1.0, 0.26], [2.0, 0.0, -0.01]])
    bias = np.array([0.1, -0.2])

    def reference(self, x, bits, acc_bits):
        s = np.abs(self.weight).max() / (2 ** (bits - 1) - 1)
        q = np.round(self.weight / s).astype(int).astype(object)  # Python's integers
        sums = (x.astype(int).astype(object) @ q.T).astype(float)
        return np.clip(sums, -2 ** (acc_bits - 1), 2 ** (acc_bits - 1) - 1) * s + self.bias

    @pytest.mark.parametrize("bits, acc_bits, mode, x", [
        (4, 8, "binary", RNG.integers(0, 2, size=(T, B, 3))),
        (3, 4, "graded", RNG.integers(-20, 20, size=(T, B, 3))),  # the sum saturates
        (8, 16, "rate", RNG.integers(0, 5, size=(T, B, 3))),
        (32, 64, "graded", np.full((1, 1, 3), 2.0 ** 40)),  # beyond int64: exact all the same
    ])
    def test_matches_integer_arithmetic(self, bits, acc_bits, mode, x):
        node = SpikingAffine(self.weight, self.bias, mode, bits, acc_bits)
        got = one(node, x.astype(float), quantize=True)
        np.testing.assert_allclose(got, self.reference(x, bits, acc_bits), rtol=1e-12)

    def test_unquantized_without_the_flag(self):
        node = SpikingAffine(self.weight, self.bias, "binary", 2, 2)
        x = np.ones((1, 1, 3))
        np.testing.assert_allclose(one(node, x), x @ self.weight.T + self.bias)

    @pytest.mark.parametrize("mode, value, message", [
        ("binary", 0.5, "node 'fc': spike_mode 'binary' takes inputs 0 or 1, got 0.5"),
        ("binary", 2.0, "node 'fc': spike_mode 'binary' takes inputs 0 or 1, got 2.0"),
        ("graded", 1.5, "node 'fc': quantize=True sums in integers: spike_mode 'graded' takes "
                        "integer inputs (below 2**53), got 1.5"),
    ])
    def test_inputs_it_cannot_take(self, mode, value, message):
        x = np.zeros((2, 1, 3))
        x[1, 0, 2] = value
        with pytest.raises(ValueError) as raised:
            one(SpikingAffine(self.weight, self.bias, mode), x, name="fc", quantize=True)
        assert str(raised.value) == message

    def test_one_bit_weights_are_refused(self):
        with pytest.raises(ValueError, match="node 'fc': quantize=True needs weight_bits >= 2"):
            one(SpikingAffine(self.weight, self.bias, "binary", 1, 8), np.zeros((1, 1, 3)),
                name="fc", quantize=True)
