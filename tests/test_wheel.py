"""The release wheel that scripts/wheel.sh builds: manylinux, no C++ sources,
and working in a fresh virtual environment on a machine whose own HDF5 is
out of sight, since serialization carries its HDF5 inside."""

import glob
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).parent.parent
MODULES = ["neurons", "linear", "conv", "pooling", "flatten", "skip", "upsample", "serialization"]

# Run inside the fresh environment: a round trip through a file, the command
# line on it, and the HDF5 libraries the process has loaded.
ROUND_TRIP = """
import subprocess, sys
import numpy as np
import zor.ir
from zor.ir import LIF, Affine, Graph

assert zor.ir.__file__.startswith(sys.prefix), zor.ir.__file__
graph = Graph.sequential([Affine(np.ones((4, 3), np.float32), np.zeros(4, np.float32)),
                          LIF(np.ones(4), np.ones(4), np.zeros(4), np.ones(4))])
zor.ir.write("net.zor", graph, compression="gzip")
assert zor.ir.read("net.zor").equals(graph)
assert zor.ir.read("net.zor", mmap=True).equals(graph)
info = subprocess.run([sys.prefix + "/bin/zor-ir", "validate", "net.zor"], capture_output=True,
                      text=True, check=True)
print(info.stdout, end="")
print(*sorted({line.split()[-1] for line in open("/proc/self/maps") if "hdf5" in line}), sep="\\n")
"""


def system_hdf5_hidden(command):
    """``command`` where the system's HDF5 libraries read as empty files: in a
    mount namespace of its own, when we may make one; else as it is."""
    libraries = sorted({os.path.realpath(path) for path in
                        glob.glob("/usr/lib/*/libhdf5*.so*") + glob.glob("/lib/*/libhdf5*.so*")})
    if os.geteuid() != 0 or shutil.which("unshare") is None or not libraries:
        return command
    script = 'for library in $1; do mount --bind /dev/null "$library"; done; shift; exec "$@"'
    return ["unshare", "--mount", "--propagation", "private", "sh", "-ec", script, "sh",
            " ".join(libraries), *command]


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=1800, **options)
    assert result.returncode == 0, f"{command}:\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    return Path(run(["bash", str(ROOT / "scripts" / "wheel.sh"), str(out)]).splitlines()[-1])


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """A fresh virtual environment with the wheel, NumPy and h5py installed."""
    venv = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", str(venv)])
    run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--disable-pip-version-check",
         "-c", str(ROOT / "constraints.txt"), str(wheel)])
    return venv


def clean_environment():
    return {key: value for key, value in os.environ.items()
            if key not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONPATH", "VIRTUAL_ENV")}


@pytest.mark.slow
class TestWheel:
    def test_manylinux_with_modules_and_stubs_but_no_sources(self, wheel):
        assert wheel.name.startswith("zor_ir-0.0.1-cp313-cp313-manylinux_")
        names = zipfile.ZipFile(wheel).namelist()
        assert [name for name in names if name.endswith((".cpp", ".hpp", ".h", ".c"))] == []
        for module in MODULES:
            assert f"zor/ir/{module}.cpython-313-x86_64-linux-gnu.so" in names
            assert f"zor/ir/{module}.pyi" in names
        assert {"zor/ir/libnanobind.so", "zor/ir/py.typed", "zor/ir/__main__.py"} <= set(names)

    def test_round_trip_with_the_system_hdf5_out_of_sight(self, installed, tmp_path):
        out = run(system_hdf5_hidden([str(installed / "bin" / "python"), "-c", ROUND_TRIP]),
                  cwd=tmp_path, env=clean_environment())
        verdict, *loaded = out.splitlines()
        assert verdict == "net.zor: valid, 2 nodes, 1 edge"
        # Only h5py's own copy: serialization links HDF5 in.
        assert loaded and all(path.startswith(f"{installed}/lib/python3.13/site-packages/h5py")
                              for path in loaded), loaded

    def test_installed_modules_need_no_hdf5_library(self, installed):
        site = installed / "lib" / "python3.13" / "site-packages" / "zor" / "ir"
        for module in MODULES:
            needed = run(system_hdf5_hidden(["ldd", str(next(site.glob(f"{module}.*.so")))]),
                         env=clean_environment())
            assert "hdf5" not in needed and "not found" not in needed, needed
            assert f"libnanobind.so => {site}/libnanobind.so" in needed, needed

    def test_version_names_the_hdf5_inside(self, installed):
        out = run([str(installed / "bin" / "zor-ir"), "--version"], env=clean_environment())
        assert out == "zor-ir 0.0.1 (file format 0.0.1, HDF5 1.14.5)\n"
