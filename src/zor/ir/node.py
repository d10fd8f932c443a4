"""The base class of every ZOR-IR node."""

from __future__ import annotations

import dataclasses
import functools
import types
from typing import (TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple, Union, get_args, get_origin,
                    get_type_hints)

import numpy as np

from .values import values_equal

if TYPE_CHECKING:
    from .types import Shape

_PORTS = ("input_type", "output_type")


class Node:
    """Base class of every node record.

    Node classes are ``dataclass(eq=False)`` records derived from ``Node``:
    ``==`` and ``hash`` stay identity-based, so nodes can be dictionary keys
    and set members. Use :meth:`equals` to compare two nodes by value.

    The generic dictionary form stores the class name under "type" and every
    field that is needed to rebuild the node. A port shape that the class's
    ``__post_init__`` derives by itself from the other fields is left out;
    one it cannot derive (a caller's own, or one computed from a given input)
    is kept.
    """

    if TYPE_CHECKING:
        # Every node class declares its two ports as fields; the base tells
        # type checkers so, for code that holds a node of any class. Not at
        # run time, where the fields of a class are its own annotations.
        input_type: Optional[Shape]
        output_type: Optional[Shape]

    def to_dict(self) -> Dict[str, Any]:
        data: Dict[str, Any] = {"type": type(self).__name__}
        for name in _parameter_names(type(self)):
            data[name] = getattr(self, name)
        for name in self._ports_to_store():
            data[name] = getattr(self, name)
        return data

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "Node":
        if type(data) is not dict:
            raise TypeError(
                f"Argument 'data' has incorrect type (expected dict, got {type(data).__name__})"
            )
        kwargs = {}
        for name, restore, required in _field_restorers(cls):
            if name in data:
                kwargs[name] = restore(data[name])
            elif required:
                raise KeyError(name)
        return cls(**kwargs)

    def equals(self, other: object) -> bool:
        """True when ``other`` is a node of the same class with equal fields
        (arrays compared by element type and value)."""
        if type(other) is not type(self):
            return False
        return all(
            values_equal(getattr(self, f.name), getattr(other, f.name))
            for f in dataclasses.fields(self)
        )

    def _ports_to_store(self) -> tuple:
        """The port fields that the hook would not derive again by itself:
        none when it rebuilds both ports from the parameters, input_type
        alone when it rebuilds output_type from that, else every port set."""
        given = tuple(name for name in _PORTS if getattr(self, name) is not None)
        if not given or self._rebuilds_ports(keep=()):
            return ()
        if "input_type" in given and self._rebuilds_ports(keep=("input_type",)):
            return ("input_type",)
        return given

    def _rebuilds_ports(self, keep: tuple) -> bool:
        """Whether the hook, run on a copy whose ports outside ``keep`` are
        cleared, gives back the very ports of this node."""
        probe = object.__new__(type(self))
        probe.__dict__.update(self.__dict__)
        for name in _PORTS:
            if name not in keep:
                setattr(probe, name, None)
        try:
            probe.__post_init__()
        except Exception:
            # A node changed after construction may no longer pass its
            # checks; then its ports are stored as they are.
            return False
        return (_same_port(probe.input_type, self.input_type)
                and _same_port(probe.output_type, self.output_type))


def _same_port(a: Any, b: Any) -> bool:
    """values_equal, with fast paths for a missing port and the usual
    {key: integer array}."""
    if a is None or b is None:
        return a is b
    if type(a) is dict and type(b) is dict and len(a) == len(b) == 1:
        (key, x), = a.items()
        y = b.get(key)
        if (type(x) is np.ndarray and type(y) is np.ndarray and x.dtype == y.dtype
                and x.dtype.kind in "iu" and x.shape == y.shape):
            return x.tolist() == y.tolist()
    return values_equal(a, b)


@functools.cache
def _parameter_names(cls: type) -> tuple:
    return tuple(f.name for f in dataclasses.fields(cls) if f.name not in _PORTS)


def _to_python_scalar(value: Any) -> Any:
    return value.item() if isinstance(value, np.generic) else value


def _to_array(value: Any) -> Any:
    # A zero-dimensional array is read back from a file as a NumPy scalar.
    return np.asarray(value) if isinstance(value, np.generic) else value


def _to_tuple(value: Any) -> Any:
    if isinstance(value, np.ndarray):
        return tuple(value.tolist())
    if isinstance(value, list):
        return tuple(value)
    return value


def _to_texts(value: Any) -> Any:
    if isinstance(value, np.ndarray) and value.dtype.kind in "OS":
        return [v.decode("utf-8") if isinstance(v, bytes) else v for v in value.tolist()]
    return _to_python_scalar(value)


def _unchanged(value: Any) -> Any:
    return value


# How a field's value comes back to its declared kind after a trip through a
# file, by that kind; any other kind (numbers, texts, literals) only turns
# NumPy scalars into Python ones.
_RESTORERS: Dict[Any, Callable[[Any], Any]] = {
    np.ndarray: _to_array,
    tuple: _to_tuple,
    dict: _unchanged,
    list: _to_texts,
}


def _declared_kind(hint: Any) -> Any:
    """The class a resolved annotation asks for, Optional[X] counting as X:
    tuple for Tuple[int, int], dict for Optional[Shape], Literal for a
    literal alias."""
    if get_origin(hint) in (Union, types.UnionType):
        kinds = [arg for arg in get_args(hint) if arg is not type(None)]
        if len(kinds) == 1:
            hint = kinds[0]
    return get_origin(hint) or hint


@functools.cache
def _field_restorers(cls: type) -> Tuple[Tuple[str, Callable[[Any], Any], bool], ...]:
    """(name, restorer, required) of each field of ``cls``, in order; the
    annotation texts resolve in the globals of the class's module."""
    hints = get_type_hints(cls)
    return tuple(
        (f.name, _RESTORERS.get(_declared_kind(hints[f.name]), _to_python_scalar),
         f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING)
        for f in dataclasses.fields(cls)
    )
