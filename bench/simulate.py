"""simulate against snnTorch and Norse, side by side in one run.

Two networks: a spiking CNN on 2x34x34 events (Conv2d 8 -> LIF -> pool ->
Conv2d 16 -> LIF -> pool -> Flatten -> Affine 10 -> LIF), batch 32, 300
steps; and a Braille-size recurrent network of current-based neurons (12 ->
38 CubaLIF with a recurrent Affine -> 7 CubaLIF), batch 64, 256 steps.

Each run is a child process of its own: ours in this interpreter, the
frameworks in their venvs (scripts/frameworks.sh sets them up; found by
tests/frameworks/venvs.py), the
frameworks' networks built from the same weights as NIR graphs and loaded
with snntorch.import_from_nir and norse.torch.from_nir. The time is taken in
the child around the steps alone (no import, no loading), under
torch.no_grad(); the peak memory is the growth of the child's resident set
during the steps (Linux: VmHWM after clearing it). A framework whose venv is
missing is left out, and the table says so.

    python bench/simulate.py [--repeat N] [--threads N]

PyTorch's threads wait actively for each other, so on a machine busy with
other work the frameworks' times swing by tens of times from run to run
(and ours less); --threads 1 gives every runner one thread (OMP_NUM_THREADS,
which PyTorch, BLAS and simulate's kernels read), whose ratio the
machine's load moves much less.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
DT = 1e-4
# snnTorch's importer takes r = tau / 1e-4 and w_in = tau_syn / 1e-4 as
# "no scaling of the input"; Norse's runs at the dt it is given.
NETWORKS = {
    "cnn": {"steps": 300, "batch": 32, "sample": (2, 34, 34), "rate": 0.1},
    "braille": {"steps": 256, "batch": 64, "sample": (12,), "rate": 0.2},
}


def weights(network):
    rng = np.random.default_rng(0)
    if network == "cnn":
        return {"conv1": rng.normal(0, 0.6, (8, 2, 3, 3)), "conv1_b": np.zeros(8),
                "conv2": rng.normal(0, 0.4, (16, 8, 3, 3)), "conv2_b": np.zeros(16),
                "fc": rng.normal(0, 0.1, (10, 16 * 8 * 8)), "fc_b": np.zeros(10)}
    return {"fc_in": rng.normal(0, 0.5, (38, 12)), "fc_in_b": np.zeros(38),
            "fc_rec": rng.normal(0, 0.2, (38, 38)), "fc_rec_b": np.zeros(38),
            "fc_out": rng.normal(0, 0.3, (7, 38)), "fc_out_b": np.zeros(7)}


def neuron_params(shape, current_based):
    """tau 1 ms (tau_syn 0.5 ms), r and w_in as snnTorch's importer takes them."""
    ones = np.ones(shape)
    if current_based:
        return {"tau_syn": 5e-4 * ones, "tau_mem": 1e-3 * ones, "r": 10.0 * ones,
                "v_leak": 0 * ones, "v_threshold": ones, "v_reset": 0 * ones, "w_in": 5.0 * ones}
    return {"tau": 1e-3 * ones, "r": 10.0 * ones, "v_leak": 0 * ones, "v_threshold": ones}


# ---------------------------------------------------------------------------- our side

def zor_graph(network, w):
    from zor.ir import LIF, Affine, Conv2d, CubaLIF, Flatten, Graph, SumPool2d

    graph = Graph()
    if network == "cnn":
        chain = [("conv1", Conv2d(w["conv1"], w["conv1_b"], padding=(1, 1),
                                  input_type={"input": np.array([2, 34, 34])})),
                 ("lif1", LIF(**neuron_params((8,), False))), ("pool1", SumPool2d((2, 2))),
                 ("conv2", Conv2d(w["conv2"], w["conv2_b"], padding=(1, 1))),
                 ("lif2", LIF(**neuron_params((16,), False))), ("pool2", SumPool2d((2, 2))),
                 ("flatten", Flatten()), ("fc", Affine(w["fc"], w["fc_b"])),
                 ("lif3", LIF(**neuron_params((10,), False)))]
        for name, node in chain:
            graph.add_node(name, node)
        for (a, _), (b, _) in zip(chain, chain[1:]):
            graph.add_edge(a, b)
        return graph
    graph.add_node("fc_in", Affine(w["fc_in"], w["fc_in_b"]))
    graph.add_node("lif1", CubaLIF(**neuron_params((38,), True)))
    graph.add_node("fc_rec", Affine(w["fc_rec"], w["fc_rec_b"]))
    graph.add_node("fc_out", Affine(w["fc_out"], w["fc_out_b"]))
    graph.add_node("lif2", CubaLIF(**neuron_params((7,), True)))
    for edge in [("fc_in", "lif1"), ("lif1", "fc_rec"), ("fc_rec", "lif1"), ("lif1", "fc_out"),
                 ("fc_out", "lif2")]:
        graph.add_edge(*edge)
    return graph


def run_ours(network, w, x):
    from zor.ir import simulate

    graph = zor_graph(network, w)
    simulate(graph, x[:2], dt=DT)  # warm: imports and first allocations
    before = _start_peak()
    start = time.perf_counter()
    out = simulate(graph, x, dt=DT)
    seconds = time.perf_counter() - start
    return seconds, _peak_growth(before), float(np.mean(next(iter(out.values()))))


# ---------------------------------------------------------------------- the frameworks

def nir_graph(network, w, pool):
    """The same network as a NIR graph; ``pool`` "sum" or "avg" (a 2x2 average
    is the sum / 4: the next layer's weights take the 4)."""
    import nir

    def pooled(name):
        if pool == "sum":
            return nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0]))
        return nir.AvgPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0]))

    factor = 1.0 if pool == "sum" else 4.0
    if network == "cnn":
        nodes = {
            "input": nir.Input({"input": np.array([2, 34, 34])}),
            "conv1": nir.Conv2d((34, 34), w["conv1"], np.array([1, 1]), np.array([1, 1]),
                                np.array([1, 1]), 1, w["conv1_b"]),
            "lif1": nir.LIF(**_full(neuron_params((8,), False), (8, 34, 34))),
            "pool1": pooled("pool1"),
            "conv2": nir.Conv2d((17, 17), w["conv2"] * factor, np.array([1, 1]),
                                np.array([1, 1]), np.array([1, 1]), 1, w["conv2_b"]),
            "lif2": nir.LIF(**_full(neuron_params((16,), False), (16, 17, 17))),
            "pool2": pooled("pool2"),
            # Both importers build torch.nn.Flatten(start_dim, end_dim) of a
            # batch, where NIR's type check counts without it: no check.
            "flatten": nir.Flatten({"input": np.array([16, 8, 8])}, 1, -1),
            "fc": nir.Affine(w["fc"] * factor, w["fc_b"]),
            "lif3": nir.LIF(**neuron_params((10,), False)),
            "output": nir.Output({"output": np.array([10])}),
        }
        names = list(nodes)
        return nir.NIRGraph(nodes, list(zip(names, names[1:])), type_check=False)
    nodes = {
        "input": nir.Input({"input": np.array([12])}),
        "fc_in": nir.Affine(w["fc_in"], w["fc_in_b"]),
        "lif1": nir.CubaLIF(**neuron_params((38,), True)),
        "fc_rec": nir.Affine(w["fc_rec"], w["fc_rec_b"]),
        "fc_out": nir.Affine(w["fc_out"], w["fc_out_b"]),
        "lif2": nir.CubaLIF(**neuron_params((7,), True)),
        "output": nir.Output({"output": np.array([7])}),
    }
    edges = [("input", "fc_in"), ("fc_in", "lif1"), ("lif1", "fc_rec"), ("fc_rec", "lif1"),
             ("lif1", "fc_out"), ("fc_out", "lif2"), ("lif2", "output")]
    return nir.NIRGraph(nodes, edges)


def _full(params, shape):
    """Per-neuron parameters of a whole feature map, as NIR's LIF holds them."""
    return {key: np.broadcast_to(value.reshape(-1, *([1] * (len(shape) - 1))), shape).copy()
            for key, value in params.items()}


def run_framework(framework, network, w, x):
    import torch

    if framework == "snntorch":
        import snntorch.utils
        from snntorch.import_nir import import_from_nir

        module = import_from_nir(nir_graph(network, w, "avg"))

        def steps(inputs):
            snntorch.utils.reset(module)
            out = None
            for step in inputs:
                out = module(step)
                while isinstance(out, tuple):
                    out = out[0]
            return out
    else:
        import norse.torch as norse

        module = norse.from_nir(nir_graph(network, w, "sum"), ignore_warnings=True, dt=DT)

        def steps(inputs):
            state, out = None, None
            for step in inputs:
                out, state = module(step, state)
            return out

    if os.environ.get("OMP_NUM_THREADS"):
        torch.set_num_threads(int(os.environ["OMP_NUM_THREADS"]))
    inputs = torch.from_numpy(x.astype(np.float32))
    with torch.no_grad():
        steps(inputs[:2])
        before = _start_peak()
        start = time.perf_counter()
        out = steps(inputs)
        seconds = time.perf_counter() - start
    return seconds, _peak_growth(before), float(out.float().mean())


# ------------------------------------------------------------------------- measuring

def _status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    return 0


def _start_peak():
    try:
        Path("/proc/self/clear_refs").write_text("5")  # the peak starts again from here
    except OSError:
        pass
    return _status("VmRSS")


def _peak_growth(before):
    return max(0, _status("VmHWM") - before)


def child(framework, network, folder):
    with np.load(Path(folder) / "in.npz") as data:
        arrays = {key: data[key] for key in data.files}
    x = arrays.pop("x")
    run = run_ours if framework == "ours" else lambda *a: run_framework(framework, *a)
    seconds, peak, mean = run(network, arrays, x)
    (Path(folder) / f"{framework}.json").write_text(
        json.dumps({"seconds": seconds, "peak": peak, "mean": mean}))


def python_of(framework):
    if framework == "ours":
        return Path(sys.executable)
    sys.path.insert(0, str(ROOT / "tests" / "frameworks"))
    from venvs import python_for

    return python_for(framework)


THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


def measure(framework, network, folder, threads):
    python = python_of(framework)
    if not python.exists():
        return None
    env = dict(os.environ) if framework == "ours" else dict(os.environ, PYTHONPATH="")
    if threads:
        env.update({name: str(threads) for name in THREAD_VARIABLES})
    done = subprocess.run([str(python), __file__, "--child", framework, network, folder],
                          capture_output=True, text=True, env=env, timeout=3600)
    if done.returncode != 0:
        print(f"{framework} on {network} failed:\n{done.stderr[-2000:]}", file=sys.stderr)
        return None
    return json.loads((Path(folder) / f"{framework}.json").read_text())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=1, help="runs of each; the best counts")
    parser.add_argument("--threads", type=int, default=0,
                        help="threads of every runner (default: each library's own choice)")
    parser.add_argument("--child", nargs=3, metavar=("FRAMEWORK", "NETWORK", "FOLDER"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child)
    print(f"{'network':<8} {'runner':<9} {'seconds':>8} {'steps/s':>8} {'samples x steps/s':>18} "
          f"{'peak MiB':>9} {'ours is':>12}")
    for network, network_setup in NETWORKS.items():
        rng = np.random.default_rng(1)
        x = (rng.random((network_setup["steps"], network_setup["batch"]) + network_setup["sample"]) < network_setup["rate"])
        with tempfile.TemporaryDirectory(prefix="zor-bench-") as folder:
            np.savez(Path(folder) / "in.npz", x=x.astype(np.float32), **weights(network))
            results = {}
            for framework in ("ours", "snntorch", "norse"):
                runs = [measure(framework, network, folder, args.threads)
                        for _ in range(args.repeat)]
                runs = [run for run in runs if run is not None]
                results[framework] = min(runs, key=lambda r: r["seconds"]) if runs else None
        ours = results["ours"]
        for framework, result in results.items():
            if result is None:
                print(f"{network:<8} {framework:<9} {'(not run: no venv or it failed)':>40}")
                continue
            ratio = "" if framework == "ours" or ours is None else \
                f"{result['seconds'] / ours['seconds']:.2f}x faster"
            print(f"{network:<8} {framework:<9} {result['seconds']:8.3f} "
                  f"{network_setup['steps'] / result['seconds']:8.0f} "
                  f"{network_setup['steps'] * network_setup['batch'] / result['seconds']:18.0f} "
                  f"{result['peak'] / 2 ** 20:9.1f} {ratio:>12}")


if __name__ == "__main__":
    main()
