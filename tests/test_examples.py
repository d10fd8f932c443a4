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
    path = tmp_path / "made" / script.replace(".py", ".zor")
    assert run(script, tmp_path / "made").splitlines()[-1] == f"wrote {path}"
    graph = zor.ir.read(path)
    graph.infer_types().validate(strict=True)
    counts = Counter(type(node).__name__ for node in graph.nodes.values())
    assert {name: counts[name] for name in classes} == classes
    assert graph.outputs() == outputs and len(graph.inputs()) == 1


@pytest.mark.parametrize("script, name", [("fpn_neck.py", "fpn_neck.zor"), ("nir_roundtrip.py", "network.nir")])
def test_a_new_temporary_directory_by_default_and_kept(script, name):
    said = [line.removeprefix("wrote ") for line in run(script).splitlines() if line.startswith("wrote ")]
    written = Path(said[0])
    try:
        assert written.name == name and written.is_file()  # the path it printed is there
    finally:
        shutil.rmtree(written.parent)


def test_nir_round_trip_into_a_directory_it_makes(tmp_path):
    pytest.importorskip("nir")
    lines = run("nir_roundtrip.py", tmp_path / "new").splitlines()
    assert lines[-2:] == [f"wrote {tmp_path}/new/network.nir", "read back: equal to the original graph"]
    assert (tmp_path / "new" / "network.nir").is_file()


def test_strict_type_check_of_the_examples_and_the_docs(tmp_path):
    """mypy --strict over examples/ and the python blocks of README.md and
    docs/*.md, each page's blocks as one module in their order, after what
    the pages take as given: a graph built earlier."""
    pytest.importorskip("mypy")
    root = EXAMPLES.parent
    for page in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
        blocks = re.findall(r"```python\n(.*?)```", page.read_text(), re.S)
        if blocks:
            (tmp_path / f"doc_{page.stem}.py").write_text(
                "from zor.ir import Graph\ngraph = Graph()\n" + "".join(blocks))
    checked = sorted(map(str, tmp_path.glob("doc_*.py"))) + sorted(map(str, EXAMPLES.glob("*.py")))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--config-file", str(root / "pyproject.toml"), *checked], capture_output=True, text=True)
    assert (result.returncode, result.stdout.splitlines()[-1:]) == (
        0, [f"Success: no issues found in {len(checked)} source files"]), result.stdout


def test_readme_example_and_the_info_it_shows(tmp_path):
    readme = (EXAMPLES.parent / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S)[1]
    shown = re.search(r"```text\n\$ zor-ir info net.zor\n(.*?)```", readme, re.S)[1]
    ran = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert (ran.returncode, ran.stdout) == (0, "True\n"), ran.stderr
    info = subprocess.run([sys.executable, "-m", "zor.ir", "info", "net.zor"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert info.stdout == shown
