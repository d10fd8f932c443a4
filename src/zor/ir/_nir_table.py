"""The converter table between ZOR node classes and NIR's primitives: one row per pair, each
with the converter each way. A ZOR -> NIR converter takes the node and the NIR metadata it
gets and returns the NIR type name and its fields; a NIR -> ZOR converter takes the NIR node's
parameters, the port shapes NIR knows for it (as ZOR constructor keywords) and its metadata.
Both raise Refused with the reason when numbers would not mean the same on the other side.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from .conv import Conv1d, Conv2d
from .flatten import Flatten
from .linear import Affine, SpikingAffine
from .neurons import IF, LI, LIF, CubaLI, CubaLIF, Delay, Integrator, Scale, Threshold
from .pooling import AvgPool2d, SumPool2d
from .utils import _pair, conv1d_output_shape, conv2d_output_shape

#: NIR node metadata entry naming the ZOR type an ``nir.Affine`` stands for ("SpikingAffine");
#: the SpikingAffine fields travel beside it as "zor.spike_mode", "zor.weight_bits" and
#: "zor.accumulator_bits".
TYPE_KEY = "zor.type"
_SPIKING_AFFINE_FIELDS = ("spike_mode", "weight_bits", "accumulator_bits")

Fields = Dict[str, Any]
Ports = Dict[str, Any]


class Refused(Exception):
    """Why one node cannot be converted; every refusal of a graph ends up in one ValueError."""


def plain(value: Any) -> Any:
    """A number read from a NIR file (a NumPy scalar or 0-d array) as a Python number."""
    if isinstance(value, np.generic) or (isinstance(value, np.ndarray) and value.ndim == 0):
        return value.item()
    return value


def port(shapes: Any, key: str) -> Any:
    return shapes.get(key) if isinstance(shapes, dict) else None


def extents(shape: Any) -> np.ndarray:
    return np.array(shape, dtype=np.int_).reshape(-1)


def _field_key(name: str) -> str:
    return f"zor.{name}"


# ---------------------------------------------------------------------------------------------
# Neurons and element-wise nodes whose fields are NIR's, under the same names

def _same_fields(zor: type, names: Tuple[str, ...]) -> Tuple[Callable, Callable]:
    def to_nir(node: Any, metadata: Fields) -> Fields:
        return {name: getattr(node, name) for name in names}

    def from_nir(params: Fields, ports: Ports, metadata: Fields) -> Any:
        return zor(**{name: params[name] for name in names}, metadata=dict(metadata), **ports)

    return to_nir, from_nir


def _lif_to_nir(node: LIF, metadata: Fields) -> Fields:
    # ZOR's LIF always resets to zero.
    return {"tau": node.tau, "r": node.r, "v_leak": node.v_leak, "v_threshold": node.v_threshold,
            "v_reset": np.zeros_like(node.v_threshold)}


def _lif_from_nir(params: Fields, ports: Ports, metadata: Fields) -> LIF:
    v_reset = np.asarray(params["v_reset"])
    if np.any(v_reset != 0):
        raise Refused("v_reset must be zero, as ZOR's LIF resets to zero; got "
                      + np.array2string(v_reset, threshold=8))
    return LIF(params["tau"], params["r"], params["v_leak"], params["v_threshold"], **ports)


# ---------------------------------------------------------------------------------------------
# Dense

def _affine_to_nir(node: Affine, metadata: Fields) -> Fields:
    return {"weight": node.weight, "bias": node.bias}


def _linear_to_nir(node: Affine, metadata: Fields) -> Fields:
    if np.any(np.asarray(node.bias) != 0):
        raise Refused("the graph's 'nir.types' marks it as an nir.Linear, but its bias is not "
                      "zero")
    return {"weight": node.weight}


def _spiking_affine_to_nir(node: SpikingAffine, metadata: Fields) -> Fields:
    fields = {TYPE_KEY: "SpikingAffine"}
    fields.update({_field_key(name): getattr(node, name) for name in _SPIKING_AFFINE_FIELDS})
    taken = sorted(fields.keys() & metadata.keys())
    if taken:
        raise Refused(f"its metadata keys {taken} are the ones that carry SpikingAffine's "
                      "fields in NIR")
    metadata.update(fields)
    return {"weight": node.weight, "bias": node.bias}


def _affine_from_nir(params: Fields, ports: Ports, metadata: Fields) -> Any:
    if TYPE_KEY not in metadata:
        return Affine(params["weight"], params["bias"], **ports)
    metadata = dict(metadata)
    marked = plain(metadata.pop(TYPE_KEY))
    if marked != "SpikingAffine":
        raise Refused(f"its metadata {TYPE_KEY!r} names {marked!r}, which is no ZOR type "
                      "that travels as an nir.Affine")
    fields = {name: plain(metadata.pop(_field_key(name)))
              for name in _SPIKING_AFFINE_FIELDS if _field_key(name) in metadata}
    return SpikingAffine(params["weight"], params["bias"], **fields, **ports, metadata=metadata)


def _linear_from_nir(params: Fields, ports: Ports, metadata: Fields) -> Affine:
    weight = params["weight"]
    return Affine(weight, np.zeros(weight.shape[0], dtype=weight.dtype), **ports)


# ---------------------------------------------------------------------------------------------
# Convolution, pooling, flatten

def _conv2d_to_nir(node: Conv2d, metadata: Fields) -> Fields:
    shape = port(node.input_type, "input")
    if shape is None or len(shape) != 3:
        raise Refused("its input height and width are unknown; give its input_type as "
                      "(C, H, W)")
    if node.groups != 1:
        # NIR types a grouped convolution's input with C_in/groups channels, and its own
        # type check then refuses every edge into it.
        raise Refused(f"groups={node.groups}: NIR's type check refuses grouped convolutions")
    return {"input_shape": (int(shape[1]), int(shape[2])), "weight": node.weight,
            "stride": _pair(node.stride), "padding": _pair(node.padding),
            "dilation": _pair(node.dilation), "groups": int(node.groups), "bias": node.bias}


def _conv1d_to_nir(node: Conv1d, metadata: Fields) -> Fields:
    shape = port(node.input_type, "input")
    if shape is None or len(shape) != 2:
        raise Refused("its input length is unknown; give its input_type as (C, N)")
    if node.groups != 1:
        raise Refused(f"groups={node.groups}: NIR's type check refuses grouped convolutions")
    return {"input_shape": int(shape[1]), "weight": node.weight, "stride": int(node.stride),
            "padding": int(node.padding), "dilation": int(node.dilation),
            "groups": int(node.groups), "bias": node.bias}


def _conv1d_from_nir(params: Fields, ports: Ports, metadata: Fields) -> Conv1d:
    return Conv1d(params["weight"], params["bias"], stride=_axes(params["stride"], 1)[0],
                  padding=conv_padding(params, 1), dilation=_axes(params["dilation"], 1)[0],
                  groups=int(plain(params["groups"])), metadata=dict(metadata), **ports)


def conv1d_output(node: Conv1d) -> Optional[list]:
    """The output shape ZOR works out for a Conv1d of known (C, N) input."""
    shape = port(node.input_type, "input")
    if shape is None or len(shape) != 2:
        return None
    return [int(x) for x in conv1d_output_shape(
        tuple(int(x) for x in shape), node.weight.shape[0], int(node.weight.shape[2]),
        node.stride, node.padding, node.dilation)]


def _conv2d_from_nir(params: Fields, ports: Ports, metadata: Fields) -> Conv2d:
    return Conv2d(params["weight"], params["bias"], stride=_pair(plain(params["stride"])),
                  padding=conv_padding(params, 2), dilation=_pair(plain(params["dilation"])),
                  groups=int(plain(params["groups"])), **ports)


def conv2d_output(node: Conv2d) -> Optional[list]:
    """The output shape ZOR works out for a Conv2d of known (C, H, W) input."""
    shape = port(node.input_type, "input")
    if shape is None or len(shape) != 3:
        return None
    return [int(x) for x in conv2d_output_shape(
        tuple(int(x) for x in shape), node.weight.shape[0], tuple(node.weight.shape[2:]),
        node.stride, node.padding, node.dilation)]


def conv_padding(params: Fields, axes: int) -> Any:
    """NIR's padding as ZOR's symmetric padding; "same" only where that is exact."""
    padding = plain(params["padding"])
    if not isinstance(padding, str):
        return _pair(padding) if axes == 2 else int(np.asarray(padding).reshape(-1)[0])
    if padding == "valid":
        return (0, 0) if axes == 2 else 0
    stride = _axes(params["stride"], axes)
    dilation = _axes(params["dilation"], axes)
    kernel = tuple(int(k) for k in params["weight"].shape[2:])
    totals = [d * (k - 1) for d, k in zip(dilation, kernel)]
    if any(s != 1 for s in stride) or any(total % 2 for total in totals):
        pairs = " (pH, pW)" if axes == 2 else ""
        raise Refused(f"padding 'same' with kernel {kernel}, dilation {_shown(dilation)} and "
                      f"stride {_shown(stride)} is no symmetric padding{pairs}; it needs stride 1 "
                      "and odd dilated kernel sizes")
    halves = tuple(total // 2 for total in totals)
    return halves if axes == 2 else halves[0]


def _axes(value: Any, axes: int) -> Tuple[int, ...]:
    value = plain(value)
    return _pair(value) if axes == 2 else (int(np.asarray(value).reshape(-1)[0]),)


def _shown(values: Tuple[int, ...]) -> Any:
    return values if len(values) > 1 else values[0]


def _avg_pool2d_to_nir(node: AvgPool2d, metadata: Fields) -> Fields:
    if node.ceil_mode:
        raise Refused("ceil_mode=True: NIR pools with floor rounding")
    padding = _pair(node.padding)
    if not node.count_include_pad and any(padding):
        raise Refused(f"count_include_pad=False with padding {padding}: NIR divides every "
                      "window by its full size, padding included")
    stride: Any = node.stride  # the hook has filled it in
    return {"kernel_size": np.array(_pair(node.kernel_size)),
            "stride": np.array(_pair(stride)), "padding": np.array(padding)}


def _avg_pool2d_from_nir(params: Fields, ports: Ports, metadata: Fields) -> AvgPool2d:
    return AvgPool2d(kernel_size=_pair(plain(params["kernel_size"])),
                     stride=_pair(plain(params["stride"])),
                     padding=_pair(plain(params["padding"])), **ports)


def _sum_pool2d_to_nir(node: SumPool2d, metadata: Fields) -> Fields:
    stride: Any = node.kernel_size if node.stride is None else node.stride
    return {"kernel_size": np.array(_pair(node.kernel_size)), "stride": np.array(_pair(stride)),
            "padding": np.array(_pair(node.padding))}


def _sum_pool2d_from_nir(params: Fields, ports: Ports, metadata: Fields) -> SumPool2d:
    return SumPool2d(kernel_size=_pair(plain(params["kernel_size"])),
                     stride=_pair(plain(params["stride"])),
                     padding=_pair(plain(params["padding"])), metadata=dict(metadata), **ports)


def _flatten_to_nir(node: Flatten, metadata: Fields) -> Fields:
    # Both count start_dim and end_dim over the shape without a batch dimension.
    return {"input_type": {"input": port(node.input_type, "input")},
            "start_dim": int(node.start_dim), "end_dim": int(node.end_dim)}


def _flatten_from_nir(params: Fields, ports: Ports, metadata: Fields) -> Flatten:
    return Flatten(start_dim=int(plain(params["start_dim"])),
                   end_dim=int(plain(params["end_dim"])), **ports)


# ---------------------------------------------------------------------------------------------
# The table

@dataclass(frozen=True)
class SharedType:
    """A ZOR type, the NIR type it travels as, and the converter each way (None where that
    direction belongs to another row). ``mark`` is the entry of the graph's "nir.types" that
    picks this row over another one of the same ZOR type."""

    zor: type
    nir: str
    to_nir: Optional[Callable[[Any, Fields], Fields]]
    from_nir: Optional[Callable[[Fields, Ports, Fields], Any]]
    mark: Optional[str] = None
    #: The output shape ZOR works out for a node, where NIR works it out too: the two must agree.
    output_of: Optional[Callable[[Any], Optional[list]]] = None


SHARED_TYPES = (
    SharedType(LIF, "LIF", _lif_to_nir, _lif_from_nir),
    SharedType(Affine, "Affine", _affine_to_nir, _affine_from_nir),
    SharedType(SpikingAffine, "Affine", _spiking_affine_to_nir, None),
    SharedType(Affine, "Linear", _linear_to_nir, _linear_from_nir, mark="Linear"),
    SharedType(Conv2d, "Conv2d", _conv2d_to_nir, _conv2d_from_nir, output_of=conv2d_output),
    SharedType(AvgPool2d, "AvgPool2d", _avg_pool2d_to_nir, _avg_pool2d_from_nir),
    SharedType(Flatten, "Flatten", _flatten_to_nir, _flatten_from_nir),
    SharedType(Conv1d, "Conv1d", _conv1d_to_nir, _conv1d_from_nir, output_of=conv1d_output),
    SharedType(SumPool2d, "SumPool2d", _sum_pool2d_to_nir, _sum_pool2d_from_nir),
) + tuple(SharedType(zor, kind, *_same_fields(zor, names)) for zor, kind, names in (
    (IF, "IF", ("r", "v_threshold", "v_reset")),
    (LI, "LI", ("tau", "r", "v_leak")),
    (CubaLIF, "CubaLIF", ("tau_syn", "tau_mem", "r", "v_leak", "v_threshold", "v_reset", "w_in")),
    (CubaLI, "CubaLI", ("tau_syn", "tau_mem", "r", "v_leak", "w_in")),
    (Integrator, "I", ("r",)),
    (Threshold, "Threshold", ("threshold",)),
    (Scale, "Scale", ("scale",)),
    (Delay, "Delay", ("delay",)),
))
TO_NIR = {(row.zor, row.mark): row for row in SHARED_TYPES if row.to_nir is not None}
FROM_NIR = {row.nir: row for row in SHARED_TYPES if row.from_nir is not None}


def check_output(row: SharedType, ours: Any, theirs: Any) -> None:
    """Refuses a node whose output shape NIR works out otherwise than ZOR (NIR 1.0.8 takes a
    convolution's kernel height for both axes)."""
    expected = row.output_of(ours) if row.output_of is not None else None
    if expected is None or theirs is None:
        return
    nir_output = [int(x) for x in np.asarray(theirs).reshape(-1)]
    if nir_output != expected:
        raise Refused(f"NIR works its output shape out as {nir_output}, not {expected}")
