"""Runs in a framework's venv: the networks of test_simulate_spikes.py as NIR
graphs, loaded by the framework's own importer and run step by step; the
output spikes of every step come back.

Arrays arrive named "<node>.<field>"; x is (T, B, 12)."""

import nir
import numpy as np
import torch


def _graph(kind, arrays):
    def params(node):
        prefix = node + "."
        return {key[len(prefix):]: value for key, value in arrays.items()
                if key.startswith(prefix)}

    neuron = nir.LIF if kind == "lif" else nir.CubaLIF
    nodes = {
        "input": nir.Input({"input": np.array([arrays["fc1.weight"].shape[1]])}),
        "fc1": nir.Affine(**params("fc1")),
        "n1": neuron(**params("n1")),
        "fc2": nir.Affine(**params("fc2")),
        "n2": neuron(**params("n2")),
        "output": nir.Output({"output": np.array([arrays["fc2.weight"].shape[0]])}),
    }
    names = list(nodes)
    return nir.NIRGraph(nodes, list(zip(names, names[1:])))


def run(framework, kind, x, dt, **arrays):
    graph = _graph(kind, arrays)
    steps, batch = x.shape[:2]
    inputs = torch.from_numpy(x.astype(np.float32))
    outputs = []
    with torch.no_grad():
        if framework == "snntorch":
            import snntorch.utils
            from snntorch.import_nir import import_from_nir

            module = import_from_nir(graph)
            snntorch.utils.reset(module)
            for step in inputs:
                out = module(step)
                while isinstance(out, tuple):
                    out = out[0]
                outputs.append(out)
        elif framework == "norse":
            import norse.torch as norse

            module = norse.from_nir(graph, dt=dt, ignore_warnings=True)
            state = None
            for step in inputs:
                out, state = module(step, state)
                outputs.append(out)
        else:  # sinabs: its layers take (B * T, ...), each sample's steps together
            from sinabs.nir import from_nir

            module = from_nir(graph, batch_size=batch, num_timesteps=steps)
            out = module(inputs.transpose(0, 1).reshape(batch * steps, -1))
            while isinstance(out, tuple):
                out = out[0]
            outputs = out.reshape(batch, steps, -1).transpose(0, 1)
    return {"spikes": torch.stack(list(outputs)).numpy().astype(np.float64)}
