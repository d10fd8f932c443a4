"""The framework side of a trip, run in the framework's venv through
venvs.call: build a seeded model, run it, export it, or import a NIR file
and run that. fw_<framework>.py says how each framework does these."""

import importlib

import nir
import numpy as np
import torch

STEPS = 16


class Absent(Exception):
    """The framework has nothing to build this model with; the text says why."""


def _model(framework, model):
    fw = importlib.import_module(f"fw_{framework}")
    build, shape = fw.MODELS[model]
    if build is None:
        raise Absent(shape)
    return fw, build, shape


def seeded_input(shape, seed):
    """Spikes of 2 at half the steps, the same for every run of one seed."""
    rng = np.random.default_rng(seed)
    spikes = 2 * (rng.random((STEPS, 1, *shape)) < 0.5)
    return torch.from_numpy(spikes.astype(np.float32))


def _output(value):
    return value.detach().numpy().astype(np.float32)


def _failure(error):
    return f"{type(error).__name__}: {error}"


def export(framework, model, nir_path, seed):
    """Build `model` with weights of `seed`, run the seeded input through it
    and write the framework's own export of it to `nir_path`; then the
    control: the framework's import of that file, or when that fails, why,
    and its import of the graph it exported, never written."""
    fw, build, shape = _model(framework, model)
    torch.manual_seed(seed)
    module = build()
    x = seeded_input(shape, seed)
    result = {"output": _output(fw.run(module, x))}
    graph = fw.export(module, x[0])
    nir.write(nir_path, graph)
    try:
        result["control"] = reimport(framework, model, nir_path, seed)["output"]
        return result
    except Exception as error:  # the control's outcome, recorded like any other
        failure = _failure(error)
    try:
        result["control"] = _output(fw.run(fw.load(graph), x))
    except Exception as error:
        failure += f"; in memory: {_failure(error)}"
    result["control_error"] = np.array(failure)
    return result


def reimport(framework, model, nir_path, seed):
    """Import `nir_path` with the framework's own importer and run the same
    seeded input through it."""
    fw, _, shape = _model(framework, model)
    module = fw.load(nir.read(nir_path))
    return {"output": _output(fw.run(module, seeded_input(shape, seed)))}
