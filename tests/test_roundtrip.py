"""Every registered class through a real file, alone and inside a graph."""

import numpy as np
import pytest

import zor.ir
from helpers import same_kinds
from zor.ir import _NODE_REGISTRY

f32 = np.linspace(0, 1, 6, dtype=np.float32)
SAMPLES = [
    zor.ir.LIF(np.full(6, 20.0), np.full(6, 20.0), np.zeros(6), np.ones(6)),
    zor.ir.LIF(*[np.asarray(2.0)] * 4),
    zor.ir.IF(np.ones(6), np.ones(6), np.zeros(6)),
    zor.ir.LI(np.full((2, 3), 20.0), np.ones((2, 3)), np.zeros((2, 3))),
    zor.ir.CubaLIF(*[f32] * 7, metadata={"origin": "snntorch.Synaptic"}),
    zor.ir.CubaLI(*[np.ones(6)] * 5),
    zor.ir.Integrator(np.ones((4, 3, 3), np.float32)),
    zor.ir.Threshold(np.asarray(0.5)),
    zor.ir.Scale(np.arange(6)),
    zor.ir.Delay(np.full(6, 1e-3)),
    zor.ir.ReLU(6, 0.01, {"origin": "torch.nn.LeakyReLU"}),
    zor.ir.Sigmoid(6),
    zor.ir.Tanh(6),
    zor.ir.Softmax(10, dim=1),
    zor.ir.GELU(6, approximate=False),
    zor.ir.ELU(6, alpha=0.5),
    zor.ir.PReLU(6, f32),
    zor.ir.BatchNorm1d(6, f32, f32, f32, f32, eps=1e-3, momentum=0.2),
    zor.ir.BatchNorm2d(6, f32, f32, f32, f32),
    zor.ir.LayerNorm((2, 3), f32, f32, eps=1e-6),
    zor.ir.Dropout(6, 0.25),
    zor.ir.HybridRegion("ann", 6, "encoder"),
    zor.ir.Affine(np.ones((4, 6)), np.zeros(4)),
    zor.ir.SpikingAffine(np.ones((4, 6), np.float32), np.zeros(4, np.float32), "rate", 4, 8,
                         metadata={"core": "3"}),
    zor.ir.Conv2d(np.ones((8, 2, 3, 3)), np.zeros(8), (2, 2), (1, 1), (1, 1), 1),
    zor.ir.Conv1d(np.ones((8, 2, 3)), np.zeros(8), 2, 1, 1, 1, {"origin": "torch.nn.Conv1d"}),
    zor.ir.SepConv2d(np.ones((2, 1, 3, 3)), np.ones((8, 2, 1, 1)), padding=(1, 1),
                     input_type={"input": np.array([2, 35, 35])}),
    zor.ir.MaxPool2d((3, 3), (2, 2), (1, 1), input_type={"input": np.array([8, 34, 34])}),
    zor.ir.AvgPool2d(ceil_mode=True, count_include_pad=False),
    zor.ir.SumPool2d((3, 3), (2, 2), (1, 1), {"origin": "sinabs.SumPool2d"}),
    zor.ir.Flatten(1, -1, input_type={"input": np.array([1, 28, 28])}),
    zor.ir.Skip("concat", input_type={"input": np.array([16, 8, 8])}),
    zor.ir.Upsample(size=(80, 80), mode="bilinear", align_corners=True),
    zor.ir.Upsample(scale_factor=3, input_type={"input": np.array([4, 5, 5])}),
]

needs_writer = pytest.mark.skipif(not hasattr(zor.ir, "write"), reason="no file writer yet")


def test_every_registered_node_class_has_a_sample():
    ours = {name for name, cls in _NODE_REGISTRY.items() if cls.__module__.startswith("zor.ir.")}
    assert {type(node).__name__ for node in SAMPLES} == ours - {"Graph"}


@needs_writer
class TestFileRoundTrip:
    @pytest.mark.parametrize("node", SAMPLES, ids=lambda n: type(n).__name__)
    def test_single_node(self, tmp_path, node):
        zor.ir.write(tmp_path / "node.zor", node)
        rebuilt = zor.ir.read(tmp_path / "node.zor")
        assert type(rebuilt) is type(node)
        assert rebuilt.equals(node), (rebuilt, node)
        # Classes with a dictionary form of their own pass what the file gives
        # (NumPy scalars) on as found; Node's generic form restores the kinds.
        if "to_dict" not in vars(type(node)):
            assert same_kinds(vars(rebuilt), vars(node))

    def test_graph_of_every_class_and_resave_is_lossless(self, tmp_path):
        graph = zor.ir.Graph(metadata={"name": "everything"})
        for index, node in enumerate(SAMPLES):
            graph.add_node(f"n{index}", node)
        graph.add_edge("n0", "n2")
        zor.ir.write(tmp_path / "a.zor", graph)
        first = zor.ir.read(tmp_path / "a.zor")
        assert first.equals(graph)
        zor.ir.write(tmp_path / "b.zor", first)
        assert zor.ir.read(tmp_path / "b.zor").equals(first)


def broken_entries():
    """(class, key, stored dictionary) of each sample with one entry removed
    or replaced by a text."""
    for node in SAMPLES:
        data = node.to_dict()
        for key in data:
            yield type(node).__name__, key, {k: v for k, v in data.items() if k != key}
            yield type(node).__name__, key, {**data, key: "text"}


class TestBrokenStoredNodes:
    @pytest.mark.parametrize("cls, key, data", list(broken_entries()),
                             ids=lambda value: value if isinstance(value, str) else "")
    def test_any_error_names_the_node(self, cls, key, data):
        # The errors a command line turns into one line, each naming where.
        try:
            zor.ir.Graph.from_dict({"nodes": {"n": data}})
        except (KeyError, TypeError, ValueError) as error:
            assert str(error).startswith("'/graph/nodes/n': "), (cls, key, error)
