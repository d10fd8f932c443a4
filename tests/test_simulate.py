"""simulate: the neurons against computations of their own written here, the
order of a recurrent graph, joins, the file trip, and the errors."""

import math

import numpy as np
import pytest

from helpers import lif_node, simulate_alone as one
from zor.ir import (IF, LI, Affine, Conv2d, CubaLI, CubaLIF, Delay, Dropout, Flatten, Graph,
                    Integrator, LIF, MaxPool2d, Node, ReLU, Skip, Softmax, Tanh, read, simulate,
                    write)

RNG = np.random.default_rng(7)
T, B = 6, 3


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
    r, v_leak = np.array([1.0, 2.0, 1.5, 3.0]), np.array([0.0, 0.1, -0.1, 0.2])
    w_in = np.array([1.0, 0.5, 2.0, 1.0])

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

    def test_delay_of_the_run_or_longer_gives_zeros(self):
        # 1e9 steps would be a ring of gigabytes; 1e306 steps overflows an integer
        x = RNG.normal(size=(5, B, 4))
        got = one(Delay(np.array([3e-6, 5e-6, 1e3, 1e300])), x, dt=1e-6)
        np.testing.assert_array_equal(got[3:, :, 0], x[:2, :, 0])
        assert not got[:3, :, 0].any() and not got[:, :, 1:].any()


def recurrent_graph():
    w_in, w_rec = RNG.normal(size=(6, 3)), RNG.normal(size=(6, 6)) * 0.5
    w_out = RNG.normal(size=(2, 6))
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

    def test_edge_of_a_node_to_itself(self):
        graph = Graph()
        graph.add_node("relu", ReLU(4))
        graph.add_node("lif", lif_node(4, v_leak=0.0))
        graph.add_node("out", Dropout(4))
        for edge in [("relu", "lif"), ("lif", "lif"), ("lif", "out")]:
            graph.add_edge(*edge)
        x = RNG.normal(size=(20, B, 4))
        v, s, spikes = np.zeros((B, 4)), np.zeros((B, 4)), []
        for x_t in x:
            v = v + 1 / 4 * (0 - v + 2 * (np.maximum(x_t, 0) + s))
            s = (v >= 1.0) * 1.0
            v = np.where(s > 0, 0.0, v)
            spikes.append(s)
        assert np.any(spikes)
        np.testing.assert_array_equal(simulate(graph, x, dt=1.0)["out"], np.array(spikes))

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

    def test_shapes_from_the_input_alone(self):
        w, fc = RNG.normal(size=(3, 2, 3, 3)), RNG.normal(size=(4, 3 * 3 * 3))
        graph = Graph.sequential([Conv2d(w, np.zeros(3)), MaxPool2d((2, 2)), Flatten(),
                                  Affine(fc, np.zeros(4))])
        x = RNG.normal(size=(2, B, 2, 8, 8))
        got = simulate(graph, x, dt=1.0)["affine"]
        conv = np.stack([[[[(x[t, b, :, i:i + 3, j:j + 3] * w[o]).sum() for j in range(6)]
                           for i in range(6)] for o in range(3)] for t in range(2)
                         for b in range(B)])
        pooled = conv.reshape(-1, 3, 3, 2, 3, 2).max(axis=(3, 5))
        want = pooled.reshape(2, B, -1) @ fc.T
        np.testing.assert_allclose(got, want, rtol=1e-12)
        assert graph.nodes["maxpool2d"].output_type is None  # the caller's graph keeps its ports

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


def two_inputs():
    graph = Graph()
    graph.add_node("a", ReLU(2))
    graph.add_node("b", ReLU(2))
    return graph


class Foreign(ReLU):
    pass


class TestErrors:
    @pytest.mark.parametrize("call, message", [
        *[(lambda g, dt=dt: simulate(g, np.zeros((2, 1, 3)), dt=dt),
           f"dt must be a positive finite number, got {text}")
          for dt, text in [(0, "0"), (-1.0, "-1.0"), (float("nan"), "nan"), ("1ms", "'1ms'")]],
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
        graph = two_inputs()
        with pytest.raises(ValueError, match=r"^the graph has 2 input nodes \(a, b\); give inputs "
                                             r"as a dict from their names to arrays$"):
            simulate(graph, np.zeros((1, 1, 2)), dt=1.0)

    def test_inputs_of_unequal_steps(self):
        graph = two_inputs()
        with pytest.raises(ValueError, match=r"^input 'b': 3 steps of 1 samples, but input 'a' "
                                             r"has 2 of 1$"):
            simulate(graph, {"a": np.zeros((2, 1, 2)), "b": np.zeros((3, 1, 2))}, dt=1.0)

    def test_shapes_that_cannot_be_inferred(self):
        graph = Graph.sequential([Flatten(), Affine(np.zeros((2, 5)), np.zeros(2))])
        with pytest.raises(ValueError,
                           match=r"node 'affine': Affine takes input shape \[5\], got \[6\]"):
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
        (MaxPool2d((2 ** 31 + 1, 1), (1, 1), (2 ** 30 + 1, 0)),
         "node 'node': a kernel_size, stride, padding or dilation of 2**31 or more"),
        (Conv2d(np.ones((1, 1, 1, 1)), np.zeros(1), (2 ** 40, 1), (2 ** 32, 0)),
         "node 'node': a kernel_size, stride, padding or dilation of 2**31 or more"),
    ])
    def test_parameters_it_cannot_run(self, node, message):
        x = np.zeros((1, 1, 1, 1, 3) if isinstance(node, (MaxPool2d, Conv2d)) else (1, 1, 3))
        with pytest.raises(ValueError) as raised:
            one(node, x)
        assert str(raised.value) == message


class TestTable:
    def test_every_node_class_has_a_rule_and_a_row(self):
        from pathlib import Path

        import zor.ir
        from zor.ir._rules import RULES

        # (the tests register classes of their own too)
        classes = {name for name, cls in zor.ir._NODE_REGISTRY.items()
                   if cls is not Graph and cls.__module__.startswith("zor.ir")}
        assert classes == {cls.__name__ for cls in RULES}
        doc = (Path(__file__).parents[1] / "docs" / "semantics.md").read_text()
        rows = {name.strip(" `") for line in doc.splitlines() if line.startswith("| `")
                for name in line.split("|")[1].split(",")}
        assert classes <= rows
