"""zor.ir.nir with the oldest nir it takes (1.0.4, what Sinabs pins), run in a child process
of this venv's python with nir 1.0.4 first on its path; and the one line an older nir gets."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from zor.ir import IF, CubaLI, Graph
from zor.ir.nir import read_nir, write_nir

#: Where nir 1.0.4 is installed once, beside the other cached downloads.
NIR_1_0_4 = Path.home() / ".cache" / "zor-ir" / "nir-1.0.4"


@pytest.fixture(scope="session")
def old_nir():
    if not (NIR_1_0_4 / "nir" / "__init__.py").is_file():
        partial = NIR_1_0_4.with_name(NIR_1_0_4.name + ".partial")
        shutil.rmtree(partial, ignore_errors=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                        "--target", str(partial), "nir==1.0.4"], check=True, timeout=600)
        partial.rename(NIR_1_0_4)
    return NIR_1_0_4


def run_with(path, code, *arguments):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(path)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    result = subprocess.run([sys.executable, "-c", code, *map(str, arguments)],
                            capture_output=True, text=True, timeout=120, env=environment)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


WITH_1_0_4 = r"""
import json, sys, warnings
import numpy as np
import nir
from zor.ir import IF, Affine, Conv2d, CubaLI, Flatten, Graph, LIF, SumPool2d
from zor.ir.nir import read_nir, to_nir, write_nir

out = {"version": nir.version}
f32 = np.float32
graph = Graph.sequential([
    Conv2d(np.ones((2, 1, 3, 3), f32), np.zeros(2, f32), padding=(1, 1),
           input_type={"input": np.array([1, 6, 6])}),
    SumPool2d((2, 2)), Flatten(), Affine(np.ones((4, 18), f32), np.zeros(4, f32)),
    IF(np.ones(4, f32), np.ones(4, f32), np.zeros(4, f32)), LIF(*[np.ones(4, f32)] * 4)])
graph = graph.infer_types()
with warnings.catch_warnings(record=True) as said:
    warnings.simplefilter("always")
    write_nir(sys.argv[1], graph)
    back = read_nir(sys.argv[1])
out["equal"] = back.equals(graph)
out["warnings"] = [str(w.message) for w in said]
refusals = []
for node in (CubaLI(*[np.ones(2, f32)] * 5), IF(np.ones(2, f32), np.ones(2, f32), np.full(2, -1, f32))):
    try:
        to_nir(Graph(nodes={"n": node}))
    except ValueError as error:
        refusals.append(str(error))
out["refusals"] = refusals
out["newer"] = sorted(read_nir(sys.argv[2]).nodes)
print(json.dumps(out))
"""


@pytest.mark.slow
def test_oldest_nir_writes_and_reads(old_nir, tmp_path):
    f32 = np.float32
    newer = Graph.sequential([CubaLI(*[np.ones(3, f32)] * 5), IF(*[np.ones(3, f32)] * 3)])
    write_nir(tmp_path / "newer.nir", newer)
    said = run_with(old_nir, WITH_1_0_4, tmp_path / "old.nir", tmp_path / "newer.nir")
    assert said["version"] == "1.0.4"
    assert said["equal"]
    lost_reset = ("no v_reset (nir 1.0.4 and older state a reset by subtracting the threshold); "
                  "read as v_reset = 0, as nir 1.0.8 reads it")
    assert said["warnings"] == [f"node 'if' (IF): {lost_reset}", f"node 'lif' (LIF): {lost_reset}"]
    assert said["refusals"] == [
        "Cannot convert to NIR:\n  node 'n' (CubaLI): nir 1.0.4 has no CubaLI; install nir 1.0.8",
        "Cannot convert to NIR:\n  node 'n' (IF): nir 1.0.4's IF has no v_reset; install nir 1.0.8"]
    # What nir 1.0.8 writes, nir 1.0.4's users read.
    assert said["newer"] == ["cubali", "if"]
    # And what nir 1.0.4 writes, nir 1.0.8 reads the same.
    with pytest.warns(Warning) as caught:
        assert read_nir(tmp_path / "old.nir").nodes.keys() == {
            "conv2d", "sumpool2d", "flatten", "affine", "if", "lif"}
    assert [str(w.message) for w in caught] == said["warnings"]


@pytest.mark.parametrize("version", ["1.0.3", "0.5.0"])
def test_older_nir_gets_one_line(version):
    code = ("import sys, types\nsys.modules['nir'] = types.SimpleNamespace(version=%r)\n"
            "try:\n import zor.ir.nir\nexcept ImportError as error:\n print(error)" % version)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.strip() == (f"zor.ir.nir needs nir 1.0.4 or newer, found nir {version}; "
                                     "install it with: pip install 'zor-ir[nir]'")

