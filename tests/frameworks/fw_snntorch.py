"""snnTorch 1.0: the models of its NIR tutorial, its export_to_nir and
import_from_nir. Neurons keep their state inside (init_hidden=True).

The tutorial's own model ("tutorial") is exported as it shows it: a scalar
beta and a sample with its batch extent. The others give every neuron its
own beta and export with ignore_dims=[0], without which nir's type check
refuses the export (see the table)."""

import snntorch as snn
import snntorch.utils
import torch
from snntorch.export_nir import export_to_nir
from snntorch.import_nir import import_from_nir
from torch import nn


def _leaky(width, **options):
    return snn.Leaky(beta=torch.full(width, 0.9), threshold=torch.ones(width),
                     init_hidden=True, **options)


def _synaptic(width, **options):
    return snn.Synaptic(alpha=torch.full(width, 0.8), beta=torch.full(width, 0.9),
                        threshold=torch.ones(width), init_hidden=True, **options)


def _tutorial():
    model = nn.Sequential(nn.Linear(20, 16), snn.Leaky(beta=0.9, init_hidden=True),
                          nn.Linear(16, 4), snn.Leaky(beta=0.9, init_hidden=True, output=True))
    model.as_in_tutorial = True
    return model


def _dense():
    return nn.Sequential(nn.Linear(20, 16), _leaky((16,)), nn.Linear(16, 4),
                         _leaky((4,), output=True))


def _cnn():
    model = nn.Sequential(
        nn.Conv2d(1, 4, 3), nn.AvgPool2d(2), _leaky((4, 4, 4)), nn.Flatten(),
        nn.Linear(4 * 4 * 4, 4), _leaky((4,), output=True))
    with torch.no_grad():  # so that the readout spikes
        model[4].weight *= 4
    return model


def _recurrent():
    return nn.Sequential(
        nn.Linear(20, 16),
        snn.RLeaky(beta=torch.full((16,), 0.9), threshold=torch.ones(16), linear_features=16,
                   init_hidden=True),
        nn.Linear(16, 4), _leaky((4,), output=True))


def _current_based():
    return nn.Sequential(
        nn.Linear(20, 16), _synaptic((16,)), nn.Linear(16, 4), _synaptic((4,), output=True))


def _current_based_recurrent():
    return nn.Sequential(
        nn.Linear(20, 16),
        snn.RSynaptic(alpha=torch.full((16,), 0.8), beta=torch.full((16,), 0.9),
                      threshold=torch.ones(16), linear_features=16, init_hidden=True),
        nn.Linear(16, 4), _synaptic((4,), output=True))


MODELS = {"tutorial": (_tutorial, (20,)), "dense": (_dense, (20,)), "cnn": (_cnn, (1, 10, 10)),
          "recurrent": (_recurrent, (20,)), "current-based": (_current_based, (20,)),
          "current-based recurrent": (_current_based_recurrent, (20,))}


def export(module, sample):
    if getattr(module, "as_in_tutorial", False):
        return export_to_nir(module, sample)
    return export_to_nir(module, sample, ignore_dims=[0])


def load(graph):
    return import_from_nir(graph)


def run(module, x):
    snn.utils.reset(module)
    outputs = []
    for step in x:
        out = module(step)
        while isinstance(out, tuple):  # (spikes, membrane) or (output, state)
            out = out[0]
        outputs.append(out)
    return torch.stack(outputs)
