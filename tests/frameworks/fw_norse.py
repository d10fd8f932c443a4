"""Norse 1.1: the models of its NIR page, norse.torch.to_nir and from_nir.
Modules hand their state back and take it on the next step.

Norse's default parameters are 0-d tensors, which nir.write cannot store
(see the table); the "per-neuron" variants give every neuron its own."""

import norse.torch as norse
import torch
from torch import nn


def _dense():
    return norse.SequentialState(nn.Linear(20, 16), norse.LIFBoxCell(),
                                 nn.Linear(16, 4), norse.LIFBoxCell())


def _per_neuron(width, **values):
    return {name: torch.full((width,), value) for name, value in values.items()}


def _driven(model):
    """Weights large enough for the slow membranes to reach the threshold."""
    with torch.no_grad():
        model[0].weight *= 8
        model[2].weight *= 8
    return model


def _dense_per_neuron():
    def lif_box(width):
        return norse.LIFBoxCell(norse.LIFBoxParameters(
            **_per_neuron(width, tau_mem_inv=500.0, v_leak=0.0, v_th=1.0, v_reset=0.0)))

    return _driven(norse.SequentialState(nn.Linear(20, 16), lif_box(16), nn.Linear(16, 4),
                                         lif_box(4)))


def _current_based_per_neuron():
    def lif(width):
        return norse.LIFCell(norse.LIFParameters(**_per_neuron(
            width, tau_syn_inv=500.0, tau_mem_inv=500.0, v_leak=0.0, v_th=1.0, v_reset=0.0)))

    return _driven(norse.SequentialState(nn.Linear(20, 16), lif(16), nn.Linear(16, 4), lif(4)))


def _integrate_and_fire_per_neuron():
    return norse.SequentialState(
        nn.Linear(20, 16), norse.IAFCell(norse.IAFParameters(**_per_neuron(16, v_th=1.0))),
        nn.Linear(16, 4),
        norse.LIBoxCell(norse.LIBoxParameters(**_per_neuron(4, tau_mem_inv=100.0, v_leak=0.0))))


def _cnn():
    # Norse's sum pooling is LPPool2d of norm 1, as its importer builds it.
    return norse.SequentialState(
        nn.Conv2d(1, 4, 3), norse.LIFBoxCell(), nn.LPPool2d(1, 2), nn.Flatten(),
        nn.Linear(4 * 4 * 4, 4), norse.LIFBoxCell())


def _recurrent():
    return norse.SequentialState(nn.Linear(20, 16), norse.LIFRecurrentCell(16, 16),
                                 nn.Linear(16, 4), norse.LIFBoxCell())


def _current_based():
    return norse.SequentialState(nn.Linear(20, 16), norse.LIFCell(),
                                 nn.Linear(16, 4), norse.LIFCell())


def _integrate_and_fire():
    return norse.SequentialState(nn.Linear(20, 16), norse.IAFCell(),
                                 nn.Linear(16, 4), norse.LIBoxCell())


MODELS = {"dense": (_dense, (20,)), "cnn": (_cnn, (1, 10, 10)),
          "recurrent": (_recurrent, (20,)), "current-based": (_current_based, (20,)),
          "integrate-and-fire": (_integrate_and_fire, (20,)),
          "dense, per-neuron": (_dense_per_neuron, (20,)),
          "current-based, per-neuron": (_current_based_per_neuron, (20,)),
          "integrate-and-fire, per-neuron": (_integrate_and_fire_per_neuron, (20,))}


def export(module, sample):
    return norse.to_nir(module, sample)


def load(graph):
    return norse.from_nir(graph)


def run(module, x):
    state, outputs = None, []
    for step in x:
        out, state = module(step, state)
        outputs.append(out)
    return torch.stack(outputs)
