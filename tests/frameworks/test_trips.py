"""The trips through snnTorch, Norse, Sinabs and Rockpool (trips.py).

Each case is held to what it was seen to do: every stage "ok" but those
listed, each with the exact text it ends with. What is listed is the
framework's doing, or nir's (docs/frameworks.md says which and why), or a
file ZOR-IR refuses in its own words; the control is the framework's import
of its own export."""

import numpy as np
import pytest

from trips import NOT_RUN, OK, STAGES, Trip, table

# nir's type check on reading, or in the exporter's own infer_types: the
# sample's batch extent left in the graph's Input.
BATCH_EXTENT = ("ValueError: Type inference error: type mismatch: input.output: [[ 1 20]] "
                "-> 0.input: [[20]]")
ROCKPOOL_BATCH_EXTENT = BATCH_EXTENT.replace("0.input", "0_LinearTorch.input")
# nir.write with compression cannot store a 0-d parameter.
SCALAR_WRITE = "TypeError: Scalar datasets don't support chunk/filter options"
# snnTorch's importer (through nirtorch) on its recurrent subgraph, with the
# nodes in the order nir.read gives them.
SNNTORCH_RECURRENT = "AttributeError: 'GraphModule' object has no attribute 'items'"
# snnTorch's default reset subtracts the threshold; its importer resets to zero.
SNNTORCH_RESET = "{} of 64 values differ, max |difference| 1"
# Norse exports tau as dt / tau_mem_inv, and imports tau_mem_inv as 1 / tau.
NORSE_TAU = BATCH_EXTENT + "; in memory: {}"
# Sinabs imports its neurons with norm_input=False; it exported them with True.
SINABS_NORM_INPUT = "60 of 64 values differ, max |difference| 1.1"
ROCKPOOL_CONTROL = ROCKPOOL_BATCH_EXTENT + "; in memory: {}"
# Rockpool's importer reads a LIF's tau as tau_mem, which LIF has not.
ROCKPOOL_TAU_MEM = "AttributeError: 'LIF' object has no attribute 'tau_mem'"

# (framework, model, {stage: text} where not "ok", the control's outcome)
CASES = [
    ("snntorch", "tutorial", {"exports": BATCH_EXTENT}, NOT_RUN),
    ("snntorch", "dense", {}, SNNTORCH_RESET.format(4)),
    # Its importer keeps Flatten's dims, so the batch extent is flattened too;
    # and it cannot take the AvgPool2d kernel it exports (an int).
    ("snntorch", "cnn", {"outputs equal": "shape (16, 4), expected (16, 1, 4); the values equal"},
     "TypeError: 'numpy.int64' object is not iterable; "
     "in memory: TypeError: 'int' object is not iterable"),
    # Its importer takes its recurrent graph in memory, in export order.
    ("snntorch", "recurrent", {"re-imports": SNNTORCH_RECURRENT},
     f"{SNNTORCH_RECURRENT}; in memory: {SNNTORCH_RESET.format(3)}"),
    ("snntorch", "current-based", {}, SNNTORCH_RESET.format(3)),
    ("snntorch", "current-based recurrent", {"re-imports": SNNTORCH_RECURRENT},
     f"{SNNTORCH_RECURRENT}; in memory: {SNNTORCH_RESET.format(20)}"),
    ("norse", "dense", {"exports": SCALAR_WRITE}, NOT_RUN),
    ("norse", "dense, per-neuron", {},
     NORSE_TAU.format("30 of 64 values differ, max |difference| 1")),
    # Norse's exporter gives no NIR node for pooling or a recurrent cell.
    ("norse", "cnn", {"exports": "AttributeError: 'NoneType' object has no attribute 'to_dict'"},
     NOT_RUN),
    ("norse", "recurrent",
     {"exports": "AttributeError: 'NoneType' object has no attribute 'to_dict'"}, NOT_RUN),
    ("norse", "current-based", {"exports": SCALAR_WRITE}, NOT_RUN),
    ("norse", "current-based, per-neuron", {},
     NORSE_TAU.format("34 of 64 values differ, max |difference| 1")),
    ("norse", "integrate-and-fire", {"exports": SCALAR_WRITE}, NOT_RUN),
    ("norse", "integrate-and-fire, per-neuron", {},
     NORSE_TAU.format("64 of 64 values differ, max |difference| 0.638")),
    ("sinabs", "dense", {}, OK),
    # Sinabs leaves the Conv2d's input_shape and the Flatten's input_type None.
    ("sinabs", "cnn", {"exports": "TypeError: One of data, shape or dtype must be specified"},
     NOT_RUN),
    ("sinabs", "cnn, shapes set by hand", {}, OK),
    ("sinabs", "recurrent",
     {"exports": "NotImplementedError: Module <class 'sinabs.layers.iaf.IAFRecurrent'> "
                 "not supported"}, NOT_RUN),
    # Its export drops tau_syn: the LIF it imports is another model.
    ("sinabs", "current-based", {}, "45 of 64 values differ, max |difference| 40"),
    # Its importer cannot take the 0-d tau it exports.
    ("sinabs", "leaky", {},
     "AttributeError: 'numpy.float32' object has no attribute 'unsqueeze'; "
     f"in memory: {SINABS_NORM_INPUT}"),
    ("sinabs", "leaky, per-neuron tau", {}, SINABS_NORM_INPUT),
    ("rockpool", "dense", {"re-imports": ROCKPOOL_TAU_MEM},
     ROCKPOOL_CONTROL.format(ROCKPOOL_TAU_MEM)),
    ("rockpool", "cnn",
     {"exports": "Absent: Rockpool's torch modules have no convolution or pooling to export"},
     NOT_RUN),
    # Its export leaves out the recurrent weights.
    ("rockpool", "recurrent", {},
     ROCKPOOL_CONTROL.format("37 of 64 values differ, max |difference| 3.39e+04")),
    ("rockpool", "current-based", {},
     ROCKPOOL_CONTROL.format("2 of 64 values differ, max |difference| 1")),
    ("rockpool", "current-based, Output set by hand", {},
     ROCKPOOL_CONTROL.format("2 of 64 values differ, max |difference| 1")),
]


def expected_stages(faults):
    """"ok" up to the first listed stage, its text there, "-" after it."""
    stages, failed = {}, False
    for stage in STAGES:
        stages[stage] = NOT_RUN if failed else faults.get(stage, OK)
        failed = failed or stage in faults
    return stages


@pytest.mark.parametrize("framework, model, faults, control", CASES,
                         ids=[f"{case[0]}-{case[1]}" for case in CASES])
def test_trip(trip_of, framework, model, faults, control):
    trip = trip_of(framework, model)
    assert trip.stages == expected_stages(faults)
    assert trip.control == control
    if trip.original is not None:  # outputs compared: the seeded input moves them
        assert np.ptp(trip.original) > 0


class TestTable:
    def test_counts_marks_and_reasons(self):
        absent, refused, whole = Trip("f", "a"), Trip("f", "b"), Trip("f", "c")
        absent.stages["exports"] = "Absent: nothing to build it with"
        refused.stages.update({"exports": OK, "converts": "zor-ir: error: no"})
        whole.stages = {stage: OK for stage in STAGES}
        whole.control, whole.repairs = "2 of 4 values differ", ["x.nir: node 'i' (Input): dropped"]
        lines = table([absent, refused, whole])
        assert [line.split("|")[3:5] for line in lines[2:5]] == [
            [" n/a     ", " -        "], [" yes     ", " no [1]   "], [" yes     ", " yes      "]]
        assert lines[5:] == [
            "", "2 models tried: 2 exported, 1 converted, 1 whole trips", "",
            "n/a: nothing to build it with", "no [1]: zor-ir: error: no",
            "no [2]: 2 of 4 values differ", "",
            "What zor-ir convert repaired in the frameworks' files:",
            "- f, c: x.nir: node 'i' (Input): dropped"]
