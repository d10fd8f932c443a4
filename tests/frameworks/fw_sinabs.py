"""Sinabs 3.1: the models of its NIR page, sinabs.to_nir and from_nir.
The Squeeze layers take batch and time in one leading extent; with a batch
of one, the steps run as that extent, all at once."""

import nir
import sinabs
import sinabs.layers as sl
import torch
from torch import nn


def _dense():
    return nn.Sequential(nn.Linear(20, 16), sl.IAFSqueeze(batch_size=1),
                         nn.Linear(16, 4), sl.IAFSqueeze(batch_size=1))


def _cnn():
    model = nn.Sequential(
        nn.Conv2d(1, 4, 3), sl.IAFSqueeze(batch_size=1), sl.SumPool2d(2), nn.Flatten(),
        nn.Linear(4 * 4 * 4, 4), sl.IAFSqueeze(batch_size=1))
    with torch.no_grad():  # so that the readout spikes
        model[4].weight *= 4
    return model


def _cnn_shapes_given():
    model = _cnn()
    model.shapes_by_hand = {nir.Conv2d: ("input_shape", (10, 10)),
                            nir.Flatten: ("input_type", {"input": (4, 4, 4)})}
    return model


def _recurrent():
    # Its layers take (batch, time, ...), not the Squeeze layers' one extent.
    return nn.Sequential(nn.Linear(20, 16),
                         sl.IAFRecurrent(rec_connect=nn.Linear(16, 16, bias=False)),
                         nn.Linear(16, 4), sl.IAF())


def _current_based():
    model = nn.Sequential(
        nn.Linear(20, 16),
        sl.LIFSqueeze(tau_mem=torch.full((16,), 20.0), tau_syn=torch.full((16,), 10.0),
                      spike_threshold=torch.ones(16),
                      batch_size=1),
        nn.Linear(16, 4),
        sl.LIFSqueeze(tau_mem=torch.full((4,), 20.0), tau_syn=torch.full((4,), 10.0),
                      spike_threshold=torch.ones(4),
                      batch_size=1))
    with torch.no_grad():  # the synapse's normalised input spikes rarely otherwise
        model[0].weight *= 8
        model[2].weight *= 8
    return model


def _leaky():
    return nn.Sequential(nn.Linear(20, 16), sl.LIFSqueeze(tau_mem=20.0, batch_size=1),
                         nn.Linear(16, 4), sl.ExpLeakSqueeze(tau_mem=10.0, batch_size=1))


def _leaky_per_neuron():
    return nn.Sequential(
        nn.Linear(20, 16),
        sl.LIFSqueeze(tau_mem=torch.full((16,), 20.0), spike_threshold=torch.ones(16),
                      batch_size=1),
        nn.Linear(16, 4), sl.ExpLeakSqueeze(tau_mem=torch.full((4,), 10.0), batch_size=1))


MODELS = {"dense": (_dense, (20,)), "cnn": (_cnn, (1, 10, 10)),
          "cnn, shapes set by hand": (_cnn_shapes_given, (1, 10, 10)),
          "recurrent": (_recurrent, (20,)), "current-based": (_current_based, (20,)),
          "leaky": (_leaky, (20,)), "leaky, per-neuron tau": (_leaky_per_neuron, (20,))}


def _recurrent_layers(module):
    return any(isinstance(m, sl.IAFRecurrent) for m in module.modules())


def export(module, sample):
    graph = sinabs.to_nir(module, sample[None] if _recurrent_layers(module) else sample)
    # Sinabs leaves a Conv2d's input_shape and a Flatten's input_type None,
    # which nir.write cannot store; the variant sets them as a user would.
    by_hand = getattr(module, "shapes_by_hand", {})
    for node in graph.nodes.values():
        if type(node) in by_hand:
            setattr(node, *by_hand[type(node)])
    return graph


def load(graph):
    return sinabs.from_nir(graph, batch_size=1)


def run(module, x):
    sinabs.reset_states(module)
    steps = x.shape[0]
    recurrent = _recurrent_layers(module)
    out = module(x.transpose(0, 1) if recurrent else x.reshape(steps, *x.shape[2:]))
    while isinstance(out, tuple):
        out = out[0]
    return out.reshape(steps, 1, *out.shape[1 + recurrent:])
