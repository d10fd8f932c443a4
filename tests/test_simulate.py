"""simulate: each rule against a small computation of its own written here,
the order of a recurrent graph, the file trip, and the errors."""

import math

import numpy as np
import pytest

from zor.ir import (ELU, GELU, IF, LI, LIF, Affine, AvgPool2d, BatchNorm1d, BatchNorm2d, Conv1d,
                    Conv2d, CubaLI, CubaLIF, Delay, Dropout, Flatten, Graph, HybridRegion,
                    Integrator, LayerNorm, MaxPool2d, Node, PReLU, ReLU, Scale, SepConv2d, Sigmoid,
                    Skip, Softmax, SpikingAffine, SumPool2d, Tanh, Threshold, Upsample, read,
                    simulate, write)

RNG = np.random.default_rng(7)
T, B = 6, 3


def one(node, x, name="node", **options):
    """The output of ``node`` alone in a graph, for input x (T, B, *shape);
    with ``record``, every array simulate returns."""
    node.input_type = {"input": np.array(x.shape[2:])}
    node.output_type = None
    graph = Graph()
    graph.add_node(name, node)
    out = simulate(graph, x, dt=options.pop("dt", 1.0), **options)
    return out if "record" in options else out[name]


def lif_node(n, tau=4.0, r=2.0, v_leak=0.1, v_threshold=1.0):
    return LIF(np.full(n, tau), np.full(n, r), np.full(n, v_leak), np.full(n, v_threshold))


def lif_reference(x, tau, r, v_leak, v_threshold, dt, exact=False):
    """v[t] = v[t-1] + dt/tau (v_leak - v[t-1] + r x[t]) (or its exact step),
    spike at v >= v_threshold, then 0; x (T, ...)."""
    v = np.zeros(x.shape[1:])
    spikes, potentials = [], []
    for x_t in x:
        if exact:
            e = math.exp(-dt / tau)
            v = v_leak + (v - v_leak) * e + r * x_t * (1 - e)
        else:
            v = v + dt / tau * (v_leak - v + r * x_t)
        s = v >= v_threshold
        v = np.where(s, 0.0, v)
        spikes.append(s.astype(float))
        potentials.append(v)
    return np.array(spikes), np.array(potentials)


# -------------------------------------------------------------- stateless rules

def _conv_reference(x, w, b, stride, padding, dilation, groups):
    """Cross-correlation by its definition, one output cell at a time."""
    n, c, h, wd = x.shape
    o, cg, kh, kw = w.shape
    xp = np.pad(x, ((0, 0), (0, 0), (padding[0],) * 2, (padding[1],) * 2))
    ho = (h + 2 * padding[0] - dilation[0] * (kh - 1) - 1) // stride[0] + 1
    wo = (wd + 2 * padding[1] - dilation[1] * (kw - 1) - 1) // stride[1] + 1
    out = np.zeros((n, o, ho, wo))
    per = o // groups
    for oc in range(o):
        g = oc // per
        for i in range(ho):
            for j in range(wo):
                patch = xp[:, g * cg:(g + 1) * cg,
                           i * stride[0]:i * stride[0] + dilation[0] * (kh - 1) + 1:dilation[0],
                           j * stride[1]:j * stride[1] + dilation[1] * (kw - 1) + 1:dilation[1]]
                out[:, oc, i, j] = (patch * w[oc]).sum(axis=(1, 2, 3)) + b[oc]
    return out


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
    ("sigmoid", lambda: Sigmoid(5), x_vec * 100, lambda x: 1 / (1 + np.exp(-np.clip(x, -700, 700)))),
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
    ("prelu shared", lambda: PReLU(4, np.array([0.3])), x_img, lambda x: np.where(x >= 0, x, 0.3 * x)),
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
     lambda x: _conv_reference(_flat(x), w_conv, b_conv, (2, 1), (1, 2), (1, 2), 2)),
    ("conv2d plain", lambda: Conv2d(w_conv[:, :, :2], b_conv, groups=2), x_img,
     lambda x: _conv_reference(_flat(x), w_conv[:, :, :2], b_conv, (1, 1), (0, 0), (1, 1), 2)),
    ("conv2d dilated", lambda: Conv2d(w_conv, b_conv, (1, 1), (2, 1), (2, 1), 2), x_img,
     lambda x: _conv_reference(_flat(x), w_conv, b_conv, (1, 1), (2, 1), (2, 1), 2)),
    ("sepconv2d", lambda: SepConv2d(w_depth, w_point, b_depth, b_point, (1, 2), (1, 1)), x_img,
     lambda x: _conv_reference(_conv_reference(_flat(x), w_depth, b_depth, (1, 2), (1, 1), (1, 1), 4),
                               w_point, b_point, (1, 1), (0, 0), (1, 1), 1)),
    ("maxpool", lambda: MaxPool2d((3, 2), (2, 2), (1, 1), (1, 2), ceil_mode=True), x_img,
     lambda x: _pool_reference(_flat(x), (3, 2), (2, 2), (1, 1), True, "max", dilation=(1, 2))),
    ("avgpool", lambda: AvgPool2d((3, 3), (2, 2), (1, 1), ceil_mode=True), x_img,
     lambda x: _pool_reference(_flat(x), (3, 3), (2, 2), (1, 1), True, "avg")),
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
     x_seq, lambda x: _conv_reference(_flat(x)[:, :, None, :], w_conv1d[:, :, None, :], b_conv1d,
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


# ------------------------------------------------------------------ states and graphs

class TestLIF:
    @pytest.mark.parametrize("method, dt", [("euler", 1.0), ("euler", 0.25), ("exact", 1.0),
                                            ("exact", 0.5)])
    def test_spikes_and_potential(self, method, dt):
        x = RNG.random((40, B, 5)) * 1.5
        graph = Graph()
        graph.add_node("lif", lif_node(5))
        out = simulate(graph, x, dt=dt, method=method, record=["lif.v"])
        spikes, v = lif_reference(x, 4.0, 2.0, 0.1, 1.0, dt, exact=method == "exact")
        assert spikes.any() and not spikes.all()
        np.testing.assert_array_equal(out["lif"], spikes)
        np.testing.assert_allclose(out["lif.v"], v, rtol=1e-12, atol=1e-12)

    def test_threshold_reached_exactly_spikes(self):
        # v = 0 + 1/2 * (0 - 0 + 2 * 1) = 1.0 >= 1.0
        out = one(lif_node(1, tau=2.0, v_leak=0.0), np.ones((1, 1, 1)))
        assert out[0, 0, 0] == 1.0

    def test_per_channel_parameters_over_a_feature_map(self):
        tau = np.array([2.0, 8.0])
        node = LIF(tau, np.ones(2), np.zeros(2), np.full(2, 0.5))
        x = RNG.random((5, B, 2, 3, 4))
        got = one(node, x)
        for c in range(2):
            want, _ = lif_reference(x[:, :, c], tau[c], 1.0, 0.0, 0.5, 1.0)
            np.testing.assert_array_equal(got[:, :, c], want)


def _fine(x, dt, derivatives, state, substeps=4000):
    """The equations integrated with many small Euler steps, x held over
    each step: an independent stand-in for their exact solution."""
    h = dt / substeps
    out = []
    for x_t in x:
        for _ in range(substeps):
            state = [s + h * d for s, d in zip(state, derivatives(state, x_t))]
        out.append(state)
    return out


class TestNIRNeurons:
    n = 4
    tau_syn, tau_mem = np.array([2.0, 5.0, 3.0, 4.0]), np.array([4.0, 5.0, 6.0, 2.5])
    r, v_leak, w_in = np.array([1.0, 2.0, 1.5, 3.0]), np.array([0.0, 0.1, -0.1, 0.2]), np.array([1.0, 0.5, 2.0, 1.0])

    def cuba(self, cls, **extra):
        return cls(tau_syn=self.tau_syn, tau_mem=self.tau_mem, r=self.r, v_leak=self.v_leak,
                   w_in=self.w_in, **extra)

    @pytest.mark.parametrize("dt", [1.0, 0.3])
    def test_cuba_lif_euler(self, dt):
        threshold, reset = np.full(self.n, 0.4), np.array([0.0, -0.1, 0.1, 0.0])
        node = self.cuba(CubaLIF, v_threshold=threshold, v_reset=reset)
        x = RNG.random((60, B, self.n)) * 2
        got = one(node, x, name="cuba", dt=dt, record=["cuba.v", "cuba.i"])
        i, v = np.zeros((B, self.n)), np.zeros((B, self.n))
        spikes = []
        for x_t in x:
            i, v = (i + dt / self.tau_syn * (-i + self.w_in * x_t),
                    v + dt / self.tau_mem * (self.v_leak - v + self.r * i))  # the old i
            s = v > threshold
            v = np.where(s, reset, v)
            spikes.append(s)
        assert np.any(spikes) and not np.all(spikes)
        np.testing.assert_array_equal(got["cuba"], np.array(spikes, dtype=float))
        np.testing.assert_allclose(got["cuba.v"][-1], v, rtol=1e-12)
        np.testing.assert_allclose(got["cuba.i"][-1], i, rtol=1e-12)

    def test_cuba_li_exact(self):
        x = RNG.random((8, 2, self.n)) * 2
        got = one(self.cuba(CubaLI), x, name="cuba", dt=0.7, method="exact", record=["cuba.i"])

        def derivatives(state, x_t):
            i, v = state
            return [(-i + self.w_in * x_t) / self.tau_syn,
                    (self.v_leak - v + self.r * i) / self.tau_mem]

        fine = _fine(x, 0.7, derivatives, [np.zeros((2, self.n))] * 2)
        np.testing.assert_allclose(got["cuba"], [v for _, v in fine], atol=2e-4)
        np.testing.assert_allclose(got["cuba.i"], [i for i, _ in fine], atol=2e-4)

    @pytest.mark.parametrize("method", ["euler", "exact"])
    def test_li(self, method):
        x = RNG.random((8, 2, self.n))
        got = one(LI(self.tau_mem, self.r, self.v_leak), x, dt=0.5, method=method)
        fine = _fine(x, 0.5, lambda state, x_t: [(self.v_leak - state[0] + self.r * x_t)
                                                 / self.tau_mem], [np.zeros((2, self.n))])
        if method == "exact":
            np.testing.assert_allclose(got, [v for v, in fine], atol=2e-4)
        else:
            v, want = np.zeros((2, self.n)), []
            for x_t in x:
                v = v + 0.5 / self.tau_mem * (self.v_leak - v + self.r * x_t)
                want.append(v)
            np.testing.assert_allclose(got, want, rtol=1e-12)

    @pytest.mark.parametrize("method", ["euler", "exact"])
    def test_integrate_and_fire_and_integrator(self, method):
        x = RNG.random((30, B, self.n))
        threshold, reset = np.full(self.n, 1.0), np.full(self.n, 0.2)
        fired = one(IF(self.r, threshold, reset), x, dt=0.25, method=method)
        summed = one(Integrator(self.r), x, dt=0.25, method=method)
        v, spikes = np.zeros((B, self.n)), []
        for x_t in x:
            v = v + 0.25 * self.r * x_t
            s = v > threshold
            v = np.where(s, reset, v)
            spikes.append(s)
        np.testing.assert_array_equal(fired, np.array(spikes, dtype=float))
        np.testing.assert_allclose(summed, np.cumsum(0.25 * self.r * x, axis=0), rtol=1e-12)

    @pytest.mark.parametrize("dt", [1.0, 0.5])
    def test_delay(self, dt):
        delay = np.array([[0.0, 1.0, 2.6], [0.25, 3.0, 1.2]])  # half a step rounds to even
        x = RNG.normal(size=(9, B, 2, 3))
        got = one(Delay(delay), x, dt=dt)
        steps = np.rint(delay / dt).astype(int)
        want = np.zeros_like(x)
        for t in range(9):
            for index in np.ndindex(2, 3):
                if t >= steps[index]:
                    want[(t, slice(None)) + index] = x[(t - steps[index], slice(None)) + index]
        np.testing.assert_array_equal(got, want)


def recurrent_graph():
    w_in, w_rec, w_out = RNG.normal(size=(6, 3)), RNG.normal(size=(6, 6)) * 0.5, RNG.normal(size=(2, 6))
    graph = Graph()
    graph.add_node("fc_in", Affine(w_in, np.zeros(6)))
    graph.add_node("lif", lif_node(6, v_leak=0.0))
    graph.add_node("fc_rec", Affine(w_rec, np.zeros(6)))
    graph.add_node("fc_out", Affine(w_out, np.zeros(2)))
    for edge in [("fc_in", "lif"), ("lif", "fc_rec"), ("fc_rec", "lif"), ("lif", "fc_out")]:
        graph.add_edge(*edge)
    return graph, (w_in, w_rec, w_out)


class TestGraphs:
    def test_recurrent_edge_carries_the_step_before(self):
        graph, (w_in, w_rec, w_out) = recurrent_graph()
        assert graph.topological_order() == ["fc_in", "lif", "fc_rec", "fc_out"]
        x = RNG.random((30, B, 3)) * 2
        out = simulate(graph, x, dt=1.0, record=["lif.v"])
        v, s = np.zeros((B, 6)), np.zeros((B, 6))
        spikes = []
        for x_t in x:
            drive = x_t @ w_in.T + s @ w_rec.T  # the recurrent part: spikes of step t-1
            v = v + 1 / 4 * (0 - v + 2 * drive)
            s = (v >= 1.0).astype(float)
            v = np.where(s > 0, 0.0, v)
            spikes.append(s)
        spikes = np.array(spikes)
        assert spikes.any()
        np.testing.assert_array_equal(out["fc_out"], spikes @ w_out.T)
        np.testing.assert_allclose(out["lif.v"][-1], v, rtol=1e-12)
        assert set(out) == {"fc_out", "lif.v"}

    def test_blocks_of_steps_give_the_same_result(self, monkeypatch):
        from zor.ir import _simulate

        graph, _ = recurrent_graph()
        x = RNG.random((25, B, 3)) * 2
        whole = simulate(graph, x, dt=1.0)
        monkeypatch.setattr(_simulate, "BLOCK_BYTES", 1)  # one step a block
        np.testing.assert_array_equal(simulate(graph, x, dt=1.0)["fc_out"], whole["fc_out"])

    @pytest.mark.parametrize("skip_type", ["residual", "add", "concatenate", "concat"])
    def test_skip_join(self, skip_type):
        w = RNG.normal(size=(3, 2, 1, 1))
        graph = Graph()
        graph.add_node("a", Conv2d(w, np.zeros(3), input_type={"input": np.array([2, 4, 4])}))
        graph.add_node("relu", ReLU(3))
        graph.add_node("join", Skip(skip_type))
        for edge in [("a", "relu"), ("a", "join"), ("relu", "join")]:
            graph.add_edge(*edge)
        x = RNG.normal(size=(T, B, 2, 4, 4))
        conv = np.einsum("oc,tbchw->tbohw", w[:, :, 0, 0], x)
        paths = [conv, np.maximum(conv, 0)]  # in the order of the edges into the join
        want = np.concatenate(paths, axis=2) if "concat" in skip_type else paths[0] + paths[1]
        np.testing.assert_allclose(simulate(graph, x, dt=1.0)["join"], want, rtol=1e-12)

    def test_two_inputs_by_name(self):
        graph = Graph()
        graph.add_node("left", ReLU(2))
        graph.add_node("right", Tanh(2))
        graph.add_node("sum", Dropout(2))
        graph.add_edge("left", "sum")
        graph.add_edge("right", "sum")
        a, b = RNG.normal(size=(T, B, 2)), RNG.normal(size=(T, B, 2))
        out = simulate(graph, {"right": b, "left": a}, dt=1.0)
        np.testing.assert_allclose(out["sum"], np.maximum(a, 0) + np.tanh(b))

    def test_same_results_after_a_file_trip(self, tmp_path):
        graph, _ = recurrent_graph()
        graph.add_node("relu", ReLU(6))
        graph.add_edge("lif", "relu")
        path = tmp_path / "net.zor"
        write(str(path), graph)
        loaded = read(str(path))
        assert loaded.topological_order() == graph.topological_order()
        x = RNG.random((20, B, 3)) * 2
        before = simulate(graph, x, dt=0.5, record=["lif.v"])
        after = simulate(loaded, x, dt=0.5, record=["lif.v"])
        assert before.keys() == after.keys()
        for key in before:
            np.testing.assert_array_equal(after[key], before[key])

    def test_graph_is_not_changed(self):
        graph, _ = recurrent_graph()
        ports = {name: node.input_type["input"].copy() for name, node in graph.nodes.items()}
        edges = list(graph.edges)
        simulate(graph, RNG.random((3, B, 3)), dt=1.0)
        assert graph.edges == edges
        for name, node in graph.nodes.items():
            np.testing.assert_array_equal(node.input_type["input"], ports[name])


def chain():
    graph = Graph()
    graph.add_node("fc", Affine(RNG.normal(size=(4, 3)), np.zeros(4)))
    graph.add_node("lif", lif_node(4))
    graph.add_edge("fc", "lif")
    return graph


class Foreign(ReLU):
    pass


class TestErrors:
    @pytest.mark.parametrize("call, message", [
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=0), "dt must be a positive finite number, got 0"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=-1.0), "dt must be a positive finite number, got -1.0"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=float("nan")), "dt must be a positive finite number, got nan"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt="1ms"), "dt must be a positive finite number, got '1ms'"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=1.0, method="rk4"),
         "method must be 'euler' or 'exact', got 'rk4'"),
        (lambda g: simulate(g, np.zeros((2, 1, 4)), dt=1.0),
         "input 'fc': expected an array (T, B, 3), got shape (2, 1, 4)"),
        (lambda g: simulate(g, np.zeros((2, 3)), dt=1.0),
         "input 'fc': expected an array (T, B, 3), got shape (2, 3)"),
        (lambda g: simulate(g, np.zeros((2, 1, 1, 3)), dt=1.0),
         "input 'fc': expected an array (T, B, 3), got shape (2, 1, 1, 3)"),
        (lambda g: simulate(g, np.array([["a"]]), dt=1.0),
         "input 'fc': expected an array of numbers, got an array of <U1"),
        (lambda g: simulate(g, {}, dt=1.0), "no input for input node 'fc'"),
        (lambda g: simulate(g, {"fc": np.zeros((2, 1, 3)), "lif": np.zeros((2, 1, 4))}, dt=1.0),
         "input 'lif' is no input node of the graph (fed by another node; its input nodes: fc)"),
        (lambda g: simulate(g, {"fc": np.zeros((2, 1, 3)), "x": 0}, dt=1.0),
         "input 'x' is no input node of the graph (no node by that name; its input nodes: fc)"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=1.0, record=["lif.i"]),
         "record 'lif.i': LIF 'lif' has no state 'i' (its states: v)"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=1.0, record=["fc.v"]),
         "record 'fc.v': Affine 'fc' has no state 'v' (it has no states)"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=1.0, record=["out.v"]),
         "record 'out.v': no node named 'out'"),
        (lambda g: simulate(g, np.zeros((2, 1, 3)), dt=1.0, record=["v"]),
         "record 'v': expected \"<node>.<state>\", such as \"lif.v\""),
    ])
    def test_call(self, call, message):
        graph = chain()
        with pytest.raises(ValueError) as raised:
            call(graph)
        assert str(raised.value) == message

    def test_two_inputs_need_a_dict(self):
        graph = Graph()
        graph.add_node("a", ReLU(2))
        graph.add_node("b", ReLU(2))
        with pytest.raises(ValueError, match=r"^the graph has 2 input nodes \(a, b\); give inputs "
                                             r"as a dict from their names to arrays$"):
            simulate(graph, np.zeros((1, 1, 2)), dt=1.0)

    def test_inputs_of_unequal_steps(self):
        graph = Graph()
        graph.add_node("a", ReLU(2))
        graph.add_node("b", ReLU(2))
        with pytest.raises(ValueError, match=r"^input 'b': 3 steps of 1 samples, but input 'a' "
                                             r"has 2 of 1$"):
            simulate(graph, {"a": np.zeros((2, 1, 2)), "b": np.zeros((3, 1, 2))}, dt=1.0)

    def test_shapes_that_cannot_be_inferred(self):
        graph = Graph.sequential([Flatten(), Affine(np.zeros((2, 5)), np.zeros(2))])
        with pytest.raises(ValueError, match="node 'affine': Affine takes input shape \\[5\\], got \\[6\\]"):
            simulate(graph, np.zeros((1, 1, 2, 3)), dt=1.0)

    def test_node_type_without_a_rule(self):
        class Unknown(Node):
            pass

        graph = chain()
        graph.add_node("odd", Unknown())
        with pytest.raises(ValueError, match="^node 'odd': no simulation rule for Unknown$"):
            simulate(graph, np.zeros((1, 1, 3)), dt=1.0)

    def test_a_subclass_takes_its_base_rule(self):
        np.testing.assert_array_equal(one(Foreign(2), -np.ones((1, 1, 2))), np.zeros((1, 1, 2)))

    @pytest.mark.parametrize("node, message", [
        (lif_node(3, tau=0.0), "node 'node': tau must be positive, got [0. 0. 0.]"),
        (Softmax(3, dim=0), "node 'node': Softmax over dim 0, the batch, would mix samples "
                            "(dims count in (B, *shape))"),
        (Softmax(3, dim=2), "node 'node': Softmax dim 2 is out of range for samples of shape "
                            "(3,) (dims count in (B, *shape))"),
    ])
    def test_parameters_it_cannot_run(self, node, message):
        with pytest.raises(ValueError) as raised:
            one(node, np.zeros((1, 1, 3)))
        assert str(raised.value) == message
