"""Worked examples: every layer class in a whole network, validated, and
through the dictionary form and a file."""

import doctest
import gc
import sys

import numpy as np
import pytest

import zor.ir
from helpers import same_kinds
from zor.ir import (LIF, Affine, AvgPool2d, Conv2d, Flatten, Graph, MaxPool2d, SepConv2d, Skip,
                    SpikingAffine, Upsample, conv2d_output_shape)


def ports(extents):
    return {"input": np.array(extents)}


def chain(graph, *names):
    for src, dst in zip(names, names[1:]):
        graph.add_edge(src, dst)
    return graph


def convolutional_snn():
    """Event camera (2 polarities, 34x34) -> conv -> pool -> dense -> 10 LIF neurons -> 5 classes."""
    conv_out = conv2d_output_shape((2, 34, 34), 8, (3, 3), (1, 1), (1, 1), (1, 1))
    graph = Graph(metadata={"task": "gesture classification"})
    graph.add_node("conv", Conv2d(np.ones((8, 2, 3, 3), np.float32), np.zeros(8, np.float32),
                                  padding=(1, 1), input_type=ports([2, 34, 34]),
                                  output_type={"output": np.array(conv_out)}))
    graph.add_node("pool", MaxPool2d((3, 3), (2, 2), (1, 1), input_type=ports(conv_out)))
    graph.add_node("flatten", Flatten(input_type=ports([8, 17, 17])))
    graph.add_node("fc", SpikingAffine(np.ones((10, 8 * 17 * 17)), np.zeros(10), "graded", 4, 12,
                                       metadata={"placement": "core 3"}))
    graph.add_node("lif", LIF(np.full(10, 20.0), np.full(10, 20.0), np.zeros(10), np.ones(10)))
    graph.add_node("readout", Affine(np.ones((5, 10), np.float32), np.zeros(5, np.float32)))
    return chain(graph, "conv", "pool", "flatten", "fc", "lif", "readout")


def pyramid_neck():
    """Backbone levels 16x40x40 and 32x20x20 fused top-down, then pooled bottom-up again."""
    graph = Graph()
    graph.add_node("lateral4", SepConv2d(np.ones((32, 1, 1, 1)), np.ones((16, 32, 1, 1)),
                                         input_type=ports([32, 20, 20])))
    graph.add_node("up", Upsample(size=(40, 40), mode="bilinear", align_corners=True,
                                  input_type=ports([16, 20, 20])))
    graph.add_node("lateral3", SepConv2d(np.ones((16, 1, 3, 3)), np.ones((16, 16, 1, 1)),
                                         padding=(1, 1), input_type=ports([16, 40, 40])))
    graph.add_node("merge", Skip("add", input_type=ports([16, 40, 40]), metadata={"level": "P3"}))
    graph.add_node("down", AvgPool2d((2, 2), count_include_pad=False, input_type=ports([16, 40, 40])))
    graph.add_edge("lateral3", "merge")
    return chain(graph, "lateral4", "up", "merge", "down")


NETWORKS = [convolutional_snn, pyramid_neck]


def assert_same_graph(graph, rebuilt):
    assert rebuilt.equals(graph)
    rebuilt.validate()
    for name, node in graph.nodes.items():
        assert same_kinds(vars(rebuilt.nodes[name]), vars(node)), name


class TestWorkedExamples:
    def test_shapes_join_up(self):
        snn, neck = convolutional_snn(), pyramid_neck()
        snn.validate()
        neck.validate()
        assert snn.nodes["flatten"].output_type["output"].tolist() == [2312]
        assert neck.nodes["down"].output_type["output"].tolist() == [16, 20, 20]
        assert {type(node) for graph in (snn, neck) for node in graph.nodes.values()} >= {
            Affine, SpikingAffine, Conv2d, SepConv2d, MaxPool2d, AvgPool2d, Flatten, Skip, Upsample}

    @pytest.mark.parametrize("build", NETWORKS)
    def test_dictionary_form(self, build):
        graph = build()
        assert_same_graph(graph, Graph.from_dict(graph.to_dict()))

    @pytest.mark.skipif(not hasattr(zor.ir, "write"), reason="zor.ir.write is not available")
    @pytest.mark.parametrize("build", NETWORKS)
    def test_file(self, tmp_path, build):
        graph = build()
        zor.ir.write(tmp_path / "net.zor", graph)
        assert_same_graph(graph, zor.ir.read(tmp_path / "net.zor"))


class TestDocumentation:
    @pytest.mark.parametrize("cls", [Affine, SpikingAffine, Conv2d, SepConv2d, MaxPool2d, AvgPool2d,
                                     Flatten, Skip, Upsample])
    def test_examples_run(self, cls):
        runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
        for test in doctest.DocTestFinder(recurse=False).find(cls, globs={"np": np}):
            runner.run(test)
        assert runner.failures == 0 and runner.tries > 0


WEIGHT, EXTENTS = np.zeros((8, 2, 1, 1)), np.array([8, 34, 34])
INPUT, FACTOR = {"input": EXTENTS}, 1.5


class TestReferences:
    """The hooks hold no reference to what they were given once a node is gone,
    whether it was built or refused."""

    @pytest.mark.parametrize("build", [
        lambda: SpikingAffine(WEIGHT[:, :, 0, 0], np.zeros(8), weight_bits=FACTOR, input_type=INPUT),
        lambda: Conv2d(WEIGHT, np.zeros(4)),
        lambda: SepConv2d(np.zeros((2, 1, 3, 3)), WEIGHT, input_type=INPUT),
        lambda: AvgPool2d(input_type=INPUT),
        lambda: Flatten(FACTOR, input_type=INPUT),
        lambda: Skip(input_type=INPUT),
        lambda: Upsample(scale_factor=FACTOR, input_type=INPUT),
        lambda: Upsample(size=EXTENTS, input_type=INPUT),
    ])
    def test_no_reference_leak(self, build):
        given = (WEIGHT, EXTENTS, INPUT, FACTOR)
        for _ in range(2):  # the first run may create what is kept for good
            before = [sys.getrefcount(value) for value in given]
            for _ in range(1000):
                try:
                    build()
                except (ValueError, TypeError):
                    pass
            gc.collect()
        assert [sys.getrefcount(value) for value in given] == before
