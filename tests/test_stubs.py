"""The .pyi stubs describe the extension modules as they are at run time."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy.stubtest")

MODULES = ["zor.ir." + name for name in
           ("neurons", "linear", "conv", "pooling", "flatten", "skip", "upsample", "serialization")]


def test_stubs_match_runtime():
    tests = Path(__file__).parent
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--ignore-missing-stub",
         "--allowlist", str(tests / "stubtest_allowlist.txt"),
         "--mypy-config-file", str(tests.parent / "pyproject.toml"), *MODULES],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


USER_CODE = '''
import numpy as np
from zor.ir import Graph, LIF, MaxPool2d, ReLU, read, write

graph = Graph()
graph.add_node("relu", ReLU(3))
graph.add_node("pool", MaxPool2d(kernel_size=(3, 3)))
write("net.zor", graph)
rebuilt: ReLU = ReLU.from_dict({"features": 2})
width: int = rebuilt.features
ReLU(features=3, negative_slope="steep")
'''


def test_type_checker_sees_fields_and_signatures(tmp_path):
    source = tmp_path / "user.py"
    source.write_text(USER_CODE)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "--config-file",
         str(Path(__file__).parent.parent / "pyproject.toml"), str(source)],
        capture_output=True, text=True)
    assert result.stdout.splitlines()[:-1] == [
        f'{source}:11: error: Argument "negative_slope" to "ReLU" has incompatible type "str"; '
        f'expected "float"  [arg-type]']


# Under --strict a re-export counts only when __all__ lists it literally; a
# file holds a graph or a single node; Upsample's modes are a closed set.
STRICT_USER_CODE = '''
import numpy as np
from zor.ir import Affine, Graph, LIF, Node, Upsample, UpsampleMode, read, write

graph = Graph.sequential([Affine(np.ones((4, 3), np.float32), np.zeros(4, np.float32)),
                          LIF(np.ones(4), np.ones(4), np.zeros(4), np.ones(4))])
write("net.zor", graph)
stored: Graph | Node = read("net.zor")
only_graph: Graph = read("net.zor")
Upsample(mode="bilinear"), Upsample(mode=UpsampleMode.NEAREST)
Upsample(mode="cubic")
'''


def test_strict_type_check_of_user_code(tmp_path):
    source = tmp_path / "user.py"
    source.write_text(STRICT_USER_CODE)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--config-file", str(Path(__file__).parent.parent / "pyproject.toml"), str(source)],
        capture_output=True, text=True)
    assert result.stdout.splitlines()[:-1] == [
        f'{source}:9: error: Incompatible types in assignment (expression has type "Graph | Node", '
        f'variable has type "Graph")  [assignment]',
        f'{source}:11: error: Argument "mode" to "Upsample" has incompatible type '
        f'"Literal[\'cubic\']"; expected "Literal[\'nearest\', \'bilinear\'] | UpsampleMode"  [arg-type]']
