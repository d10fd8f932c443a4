"""zor-ir run as a user runs it: a child process on real files."""

import subprocess
import sys

import numpy as np
import pytest

import zor.ir
from zor.ir import LIF, Affine, Graph, ReLU, SpikingAffine, simulate

MODULE = [sys.executable, "-m", "zor.ir"]
RNG = np.random.default_rng(3)


def zor_ir(*args):
    result = subprocess.run([*MODULE, *map(str, args)], capture_output=True, text=True,
                            timeout=120)
    assert "Traceback" not in result.stderr, result.stderr
    return result.returncode, result.stdout, result.stderr


def network():
    """fc -> lif with a recurrent fc_rec, and a ReLU readout."""
    graph = Graph()
    graph.add_node("fc", SpikingAffine(RNG.normal(size=(5, 3)), np.zeros(5), "binary", 6, 12))
    graph.add_node("lif", LIF(np.full(5, 3.0), np.full(5, 3.0), np.zeros(5), np.ones(5)))
    graph.add_node("fc_rec", Affine(RNG.normal(size=(5, 5)), np.zeros(5)))
    graph.add_node("readout", ReLU(5))
    for edge in [("fc", "lif"), ("lif", "fc_rec"), ("fc_rec", "lif"), ("lif", "readout")]:
        graph.add_edge(*edge)
    return graph


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("run")
    zor.ir.write(folder / "net.zor", network())
    np.save(folder / "x.npy", (RNG.random((12, 2, 3)) < 0.5).astype(np.float32))
    np.save(folder / "wide.npy", np.zeros((12, 2, 4)))
    np.savez(folder / "named.npz", fc=np.load(folder / "x.npy"))
    np.savez(folder / "other.npz", lif=np.load(folder / "x.npy"))
    (folder / "text.npy").write_text("not an array\n")
    return folder


class TestRun:
    @pytest.mark.parametrize("options", [
        [], ["--method", "exact"], ["--record", "lif.v"], ["--quantize", "--record", "lif.v"],
    ])
    def test_writes_what_simulate_returns(self, folder, options):
        status, out, err = zor_ir("run", folder / "net.zor", "--input", folder / "x.npy",
                                  "--dt", 0.5, *options, "-o", folder / "out.npz")
        assert (status, err) == (0, "")
        assert out == f"wrote {folder / 'out.npz'} ({1 + ('--record' in options)} array" \
                      f"{'s' if '--record' in options else ''} of 12 steps)\n"
        method = options[1] if options[:1] == ["--method"] else "euler"
        want = simulate(zor.ir.read(str(folder / "net.zor")), np.load(folder / "x.npy"), dt=0.5,
                        method=method, record=["lif.v"] if "--record" in options else (),
                        quantize="--quantize" in options)
        with np.load(folder / "out.npz") as got:
            assert sorted(got.files) == sorted(want)
            for key in want:
                np.testing.assert_array_equal(got[key], want[key])

    def test_inputs_by_name_from_npz(self, folder):
        status, _, err = zor_ir("run", folder / "net.zor", "--input", folder / "named.npz",
                                "--dt", 1, "-o", folder / "named-out.npz")
        assert (status, err) == (0, "")

    @pytest.mark.parametrize("arguments, message", [
        (["--input", "{f}/wide.npy", "--dt", "1", "-o", "{f}/o.npz"],
         "{f}/net.zor: input 'fc': expected an array (T, B, 3), got shape (12, 2, 4)"),
        (["--input", "{f}/other.npz", "--dt", "1", "-o", "{f}/o.npz"],
         "{f}/net.zor: no input for input node 'fc'"),
        (["--input", "{f}/x.npy", "--dt", "0", "-o", "{f}/o.npz"],
         "{f}/net.zor: dt must be a positive finite number, got 0.0"),
        (["--input", "{f}/x.npy", "--dt", "1", "--record", "lif.i", "-o", "{f}/o.npz"],
         "{f}/net.zor: record 'lif.i': LIF 'lif' has no state 'i' (its states: v)"),
        (["--input", "{f}/missing.npy", "--dt", "1", "-o", "{f}/o.npz"],
         "{f}/missing.npy: no such file"),
        (["--input", "{f}/net.zor", "--dt", "1", "-o", "{f}/o.npz"],
         "{f}/net.zor: --input takes a .npy or .npz file, as the suffix says"),
        (["--input", "{f}/x.npy", "--dt", "1", "-o", "{f}/o.txt"],
         "{f}/o.txt: run writes a .npz file, as the suffix says"),
        (["--input", "{f}/x.npy", "--dt", "1", "-o", "{f}/none/o.npz"],
         "{f}/none/o.npz: no directory {f}/none"),
    ], ids=["shape", "missing input", "dt", "record", "no input file", "input suffix",
            "output suffix", "output directory"])
    def test_one_line_errors(self, folder, arguments, message):
        status, out, err = zor_ir("run", folder / "net.zor",
                                  *[a.format(f=folder) for a in arguments])
        assert (status, out) == (1, "")
        assert err == "zor-ir: error: " + message.format(f=folder) + "\n"

    def test_a_file_that_is_no_array(self, folder):
        status, out, err = zor_ir("run", folder / "net.zor", "--input", folder / "text.npy",
                                  "--dt", 1, "-o", folder / "o.npz")
        assert (status, out) == (1, "")
        assert err.startswith(f"zor-ir: error: {folder / 'text.npy'}: not a NumPy .npy file (")
        assert err.count("\n") == 1
