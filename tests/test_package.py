import dataclasses
import importlib.machinery
import subprocess
import sys
from pathlib import Path

import pytest

import zor.ir
from zor.ir import Graph, str_to_node

# Each node module with one of its classes and that class's number of fields.
NODE_MODULES = {"neurons": ("LIF", 6), "linear": ("SpikingAffine", 8), "conv": ("SepConv2d", 9),
                "pooling": ("MaxPool2d", 7), "flatten": ("Flatten", 4), "skip": ("Skip", 4),
                "upsample": ("Upsample", 6)}
NEURON_CLASSES = ("LIF", "IF", "LI", "CubaLIF", "CubaLI", "Integrator", "Threshold", "Scale",
                  "Delay", "ReLU", "Sigmoid", "Tanh", "Softmax", "GELU", "ELU", "PReLU",
                  "BatchNorm1d", "BatchNorm2d", "LayerNorm", "Dropout", "HybridRegion")
LAYER_CLASSES = ("Affine", "SpikingAffine", "Conv1d", "Conv2d", "SepConv2d", "MaxPool2d",
                 "AvgPool2d", "SumPool2d", "Flatten", "Skip", "Upsample")


class TestModules:
    @pytest.mark.parametrize("name", NODE_MODULES)
    def test_is_compiled_extension(self, name):
        module = importlib.import_module(f"zor.ir.{name}")
        assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))

    @pytest.mark.parametrize("name, node", NODE_MODULES.items())
    def test_imports_first_in_fresh_interpreter(self, name, node):
        cls, field_count = node
        code = f"import zor.ir.{name} as m, dataclasses; print(len(dataclasses.fields(m.{cls})))"
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == str(field_count)

    @pytest.mark.parametrize("name", NODE_MODULES)
    def test_has_type_stub(self, name):
        assert (Path(zor.ir.__file__).parent / f"{name}.pyi").is_file()
        assert (Path(zor.ir.__file__).parent / "py.typed").is_file()


class TestRegistry:
    @pytest.mark.parametrize("name", ("Graph",) + NEURON_CLASSES + LAYER_CLASSES)
    def test_finds_every_class(self, name):
        cls = str_to_node(name)
        assert cls.__name__ == name
        assert getattr(zor.ir, name) is cls

    def test_unknown_name_lists_known(self):
        with pytest.raises(ValueError) as info:
            str_to_node("Conv3d")
        message = str(info.value)
        assert message.startswith("Unknown node type 'Conv3d'; known types: ")
        assert "Graph" in message and "LIF" in message

    def test_node_classes_are_dataclasses(self):
        for name in NEURON_CLASSES + LAYER_CLASSES:
            cls = str_to_node(name)
            assert dataclasses.is_dataclass(cls) and issubclass(cls, zor.ir.Node)
            assert cls.__eq__ is object.__eq__ and cls.__hash__ is object.__hash__


class TestExports:
    def test_every_registered_class_and_nothing_missing(self):
        registered = {name for name, cls in zor.ir._NODE_REGISTRY.items()
                      if cls.__module__.startswith("zor.ir.")}
        assert registered <= set(zor.ir.__all__)
        assert len(zor.ir.__all__) == len(set(zor.ir.__all__))
        assert all(hasattr(zor.ir, name) for name in zor.ir.__all__)

    def test_star_import_gives_the_public_names(self):
        names = {}
        exec("from zor.ir import *", names)
        public = {name for name, value in vars(zor.ir).items() if not name.startswith("_")
                  and not isinstance(value, type(zor.ir)) and name != "Dict"}
        assert set(names) - {"__builtins__"} == public


class TestCommandLine:
    def test_example_runs(self):
        result = subprocess.run([sys.executable, "-m", "zor.ir", "example"],
                                capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        assert "  total: 10 nodes, 9 edges, " in result.stdout
