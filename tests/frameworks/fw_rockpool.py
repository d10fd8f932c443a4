"""Rockpool 3.1: the models of its NIR notebook (torch modules), to_nir and
from_nir. Modules take (batch, time, channels)."""

import torch
from rockpool.nn.combinators import Sequential
from rockpool.nn.modules import (LIFNeuronTorch, LIFTorch, LinearTorch, from_nir,
                                 to_nir)


def _dense():
    return Sequential(LinearTorch((20, 16)), LIFNeuronTorch(16),
                      LinearTorch((16, 4)), LIFNeuronTorch(4))


def _recurrent():
    return Sequential(LinearTorch((20, 16)), LIFTorch(16, has_rec=True),
                      LinearTorch((16, 4)), LIFTorch(4))


def _current_based():
    return Sequential(LinearTorch((20, 16)), LIFTorch(16), LinearTorch((16, 4)), LIFTorch(4))


def _current_based_output_set():
    model = _current_based()
    model.output_by_hand = True
    return model


MODELS = {"dense": (_dense, (20,)),
          "cnn": (None, "Rockpool's torch modules have no convolution or pooling to export"),
          "recurrent": (_recurrent, (20,)), "current-based": (_current_based, (20,)),
          "current-based, Output set by hand": (_current_based_output_set, (20,))}


def export(module, sample):
    graph = to_nir(module, sample)
    # Rockpool's Output keeps batch and time extents ([1, 1, 4]); the variant
    # leaves the channels alone, as a user would.
    if getattr(module, "output_by_hand", False):
        output = graph.nodes["output"]
        output.input_type = output.output_type = {"output": output.output_type["output"][2:]}
    return graph


def load(graph):
    return from_nir(graph)


def run(module, x):
    if hasattr(module, "reset_state"):
        module.reset_state()
    out = module(x.transpose(0, 1))
    while isinstance(out, tuple):  # (output, state, record)
        out = out[0]
    return out.transpose(0, 1)
