"""The HDF5 that serialization links: our own static 1.14.5, reported by the
module and the command line, hidden inside the module (no symbol exported, no
shared HDF5 or its network libraries loaded), beside h5py's own HDF5 in one
process, and never loading filter plugins."""

import importlib
import importlib.metadata
import os
import re
import subprocess
import sys

import h5py
import numpy as np
import pytest

from helpers import h5py_file
from zor.ir import serialization

HDF5_VERSION = "1.14.5"
MODULES = ["neurons", "linear", "conv", "pooling", "flatten", "skip", "upsample", "serialization"]


def module_file(name):
    return importlib.import_module(f"zor.ir.{name}").__file__


def run(*command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=120, **options)
    assert result.returncode == 0, f"{command} exited {result.returncode}: {result.stderr}"
    return result.stdout


class TestVersion:
    def test_module_reports_linked_library(self):
        assert serialization.__hdf5_version__ == HDF5_VERSION

    def test_command_line(self):
        package = importlib.metadata.version("zor-ir")
        assert run(sys.executable, "-m", "zor.ir", "--version") == \
            f"zor-ir {package} (file format 0.0.1, HDF5 {HDF5_VERSION})\n"


class TestLinking:
    @pytest.mark.parametrize("name", MODULES)
    def test_no_hdf5_symbol_exported(self, name):
        symbols = [line.split()[-1] for line in run("nm", "-D", "--defined-only", module_file(name)).splitlines()]
        assert f"PyInit_{name}" in symbols
        assert [s for s in symbols if re.match(r"(?i)_*(h5|hdf5)", s)] == []

    @pytest.mark.parametrize("library", ["libhdf5", "libcurl", "libssl", "libcrypto", "libsz", "libaec"])
    def test_library_not_loaded(self, library):
        loaded = run("ldd", module_file("serialization"))
        assert "libstdc++" in loaded
        assert library not in loaded


# Both libraries at work in one process: zor.ir writes while h5py holds a file
# open, h5py reads that file and copies its graph into a file of its own,
# which zor.ir reads back. Extension modules load with their symbols private
# to them unless the program asks for RTLD_GLOBAL, as some do: then the HDF5
# loaded first would serve the other's calls too, were its symbols exported.
BOTH_AT_WORK = """
import os, sys
if sys.argv[4] == "global":
    sys.setdlopenflags(os.RTLD_GLOBAL | os.RTLD_NOW)
for name in sys.argv[1].split(","):
    __import__(name)
import h5py, numpy as np, zor.ir

graph = zor.ir.Graph(metadata={"name": "both"})
graph.add_node("fc", zor.ir.Affine(np.arange(6, dtype=np.float32).reshape(2, 3), np.ones(2, np.float32)))
ours, theirs = sys.argv[2], sys.argv[3]
with h5py.File(theirs, "w") as copy:
    zor.ir.write(ours, graph)
    with h5py.File(ours, "r") as f:
        assert f["version"][()] == b"0.0.1"
        assert (f["graph/nodes/fc/weight"][()] == graph.nodes["fc"].weight).all()
        f.copy(f["graph"], copy, "graph")
        copy.create_dataset("version", data="0.0.2", dtype=h5py.string_dtype())
back = zor.ir.read(theirs)
assert zor.ir.read_version(theirs) == "0.0.2"
assert (back.nodes["fc"].weight == graph.nodes["fc"].weight).all() and back.metadata == graph.metadata
print(h5py.version.hdf5_version, zor.ir.serialization.__hdf5_version__)
"""


class TestBesideH5py:
    @pytest.mark.parametrize("symbols", ["local", "global"])
    @pytest.mark.parametrize("order", ["h5py,zor.ir", "zor.ir,h5py"])
    def test_both_work_in_one_process(self, tmp_path, order, symbols):
        out = run(sys.executable, "-c", BOTH_AT_WORK, order, str(tmp_path / "ours.zor"), str(tmp_path / "theirs.zor"),
                  symbols)
        assert out == f"{h5py.version.hdf5_version} {HDF5_VERSION}\n"


# A shared library that leaves a marker file when it is loaded: HDF5 loads
# every library in HDF5_PLUGIN_PATH when it looks for a filter it lacks.
FAKE_PLUGIN = """
#include <stdio.h>
#include <stdlib.h>
__attribute__((constructor)) static void loaded(void) {
    FILE *marker = fopen(getenv("ZOR_PLUGIN_MARKER"), "w");
    if (marker) fclose(marker);
}
"""


class TestFilterPlugins:
    @pytest.fixture
    def plugin_folder(self, tmp_path):
        folder = tmp_path / "plugins"
        folder.mkdir()
        (tmp_path / "fake.c").write_text(FAKE_PLUGIN)
        run("cc", "-shared", "-fPIC", "-o", str(folder / "libfake.so"), str(tmp_path / "fake.c"))
        return folder

    @staticmethod
    def unknown_filter_file(path):
        """A chunk compressed by filter 32100, which no HDF5 has built in."""
        def fill(f, graph):
            data = graph.create_dataset("w", shape=(4,), dtype="<i4", chunks=(4,), compression=32100,
                                        allow_unknown_filter=True)
            data.id.write_direct_chunk((0,), np.arange(4, dtype="<i4").tobytes())

        return h5py_file(path, fill)

    # Each reader prints the error it met; h5py's HDF5 does load the library,
    # which shows that the marker works.
    @pytest.mark.parametrize("read, loads", [
        ("zor.ir.read(path)", False),
        ("h5py.File(path)['graph/w'][()]", True),
    ], ids=["zor.ir", "h5py"])
    def test_never_loaded(self, tmp_path, plugin_folder, read, loads):
        path = self.unknown_filter_file(tmp_path / "filtered.zor")
        marker = tmp_path / "loaded"
        code = (f"import sys, h5py, zor.ir\npath = sys.argv[1]\ntry:\n    {read}\n"
                f"except Exception as error:\n    print(error.__cause__ or error)")
        out = run(sys.executable, "-c", code, str(path),
                  env=dict(os.environ, HDF5_PLUGIN_PATH=str(plugin_folder), ZOR_PLUGIN_MARKER=str(marker)))
        assert marker.exists() == loads
        if not loads:
            assert out == "Unable to read dataset (filter plugins disabled)\n"
