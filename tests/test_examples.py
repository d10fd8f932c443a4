"""The scripts under examples/ run as a user runs them and write files that
read back as valid graphs of the kinds they promise."""

import re
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

import zor.ir

EXAMPLES = Path(__file__).parent.parent / "examples"

# (script, what the file it writes must hold: {class name: count}, its outputs)
WRITERS = [
    ("hybrid.py", {"HybridRegion": 2, "SpikingAffine": 2, "LIF": 2, "Conv2d": 2, "Softmax": 1},
     ["softmax"]),
    ("conv_snn.py", {"Conv2d": 3, "BatchNorm2d": 3, "LIF": 5, "AvgPool2d": 3, "SpikingAffine": 2},
     ["lif_4"]),
    ("fpn_neck.py", {"Conv2d": 10, "Upsample": 2, "Skip": 2, "ReLU": 4}, ["p3", "p4", "p5"]),
]


def run(script, *args):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("script, classes, outputs", WRITERS, ids=[row[0] for row in WRITERS])
def test_writes_a_valid_graph_into_the_directory(tmp_path, script, classes, outputs):
    path = tmp_path / script.replace(".py", ".zor")
    assert run(script, tmp_path).splitlines()[-1] == f"wrote {path}"
    graph = zor.ir.read(path)
    graph.infer_types().validate(strict=True)
    counts = Counter(type(node).__name__ for node in graph.nodes.values())
    assert {name: counts[name] for name in classes} == classes
    assert graph.outputs() == outputs and len(graph.inputs()) == 1


def test_a_new_temporary_directory_by_default():
    written = Path(run("fpn_neck.py").splitlines()[-1].removeprefix("wrote "))
    try:
        assert written.name == "fpn_neck.zor" and zor.ir.read(written).nodes
    finally:
        shutil.rmtree(written.parent)


def test_readme_example_and_the_info_it_shows(tmp_path):
    readme = (EXAMPLES.parent / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S)[1]
    shown = re.search(r"```text\n\$ zor-ir info net.zor\n(.*?)```", readme, re.S)[1]
    ran = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert (ran.returncode, ran.stdout) == (0, "True\n"), ran.stderr
    info = subprocess.run([sys.executable, "-m", "zor.ir", "info", "net.zor"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert info.stdout == shown
