"""NIR graphs as plain records, made from ``nir`` objects or read straight from a NIR file.

Reading the file's HDF5 layout ourselves, rather than through ``nir.read``, keeps the reader
independent of the installed nir version and of nir's constructor checks, which refuse
files the frameworks write (a scalar parameter beside arrays, a subgraph whose edges name a
missing node). What such files need is settled in ``_nir_repair``.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, List, Optional, Tuple

import h5py
import numpy as np

#: Fields of a nir node that are no parameter of it.
_NOT_PARAMETERS = ("input_type", "output_type", "metadata")


@dataclasses.dataclass
class RawNode:
    """One NIR node: its NIR type name, its parameters (NumPy arrays where they are arrays),
    its metadata, the port shapes NIR gives it (None where unknown); a ``NIRGraph`` has its
    nodes and edges instead of parameters."""

    kind: str
    params: Dict[str, Any]
    metadata: Dict[str, Any]
    input_shape: Optional[np.ndarray] = None
    output_shape: Optional[np.ndarray] = None
    nodes: Dict[str, "RawNode"] = dataclasses.field(default_factory=dict)
    edges: List[Tuple[str, str]] = dataclasses.field(default_factory=list)


def array_of(value: Any) -> Any:
    """A parameter as NumPy: arrays as they are (shared, not copied), tensors through
    ``.detach().cpu().numpy()`` (torch is never imported), texts and None as they are, and
    anything else through ``np.asarray``."""
    if value is None or isinstance(value, (str, np.ndarray)):
        return value
    if hasattr(value, "detach") and hasattr(value, "cpu"):
        return np.asarray(value.detach().cpu().numpy())
    return np.asarray(value)


def from_object(node: Any) -> RawNode:
    """The record of a nir node (a graph with all its subgraphs)."""
    kind = type(node).__name__
    metadata = dict(getattr(node, "metadata", None) or {})
    if kind == "NIRGraph":
        return RawNode(kind, {}, metadata,
                       nodes={str(name): from_object(inner) for name, inner in node.nodes.items()},
                       edges=[(str(src), str(dst)) for src, dst in node.edges])
    params = {field.name: array_of(getattr(node, field.name))
              for field in dataclasses.fields(node) if field.name not in _NOT_PARAMETERS}
    return RawNode(kind, params, metadata, _port(getattr(node, "input_type", None), "input"),
                   _port(getattr(node, "output_type", None), "output"))


def read_file(path: Any) -> RawNode:
    """The graph stored in a NIR file, as nir's writer lays it out: a root group "node"
    whose groups hold a "type" text, the parameters as datasets and a "metadata" group.
    A file laid out otherwise is refused with a ValueError naming the group."""
    with h5py.File(path, "r") as file:
        root = file.get("node")
        if not isinstance(root, h5py.Group):
            raise ValueError(f"{path}: no NIR graph in it (no group 'node')")
        return _read_group(root, "node", 0)


#: How deep graphs (and metadata) may nest in a file; nir's own reader recurses too.
MAX_DEPTH = 64


def _read_group(group: h5py.Group, where: str, depth: int) -> RawNode:
    if depth > MAX_DEPTH:
        raise ValueError(f"NIR group {where!r}: nested more than {MAX_DEPTH} deep")
    kind = _plain(_dataset(group, "type", where)[()])
    if not isinstance(kind, str):
        raise ValueError(f"NIR group {where!r}: its 'type' is no text")
    metadata = _read_tree(group["metadata"], f"{where}/metadata", depth + 1) \
        if "metadata" in group else {}
    if kind == "NIRGraph":
        nodes = group.get("nodes")
        if not isinstance(nodes, h5py.Group) or not all(
                isinstance(inner, h5py.Group) for inner in nodes.values()):
            raise ValueError(f"NIR group {where!r}: its 'nodes' must be a group of groups")
        edges = np.asarray(_dataset(group, "edges", where)[()])
        if edges.size and (edges.ndim != 2 or edges.shape[1] != 2 or edges.dtype.kind not in "SOU"):
            raise ValueError(f"NIR group {where!r}: its 'edges' must be pairs of names")
        return RawNode(kind, {}, metadata,
                       nodes={name: _read_group(inner, f"{where}/nodes/{name}", depth + 1)
                              for name, inner in nodes.items()},
                       edges=[(str(_plain(src)), str(_plain(dst))) for src, dst in edges])
    params = {name: _plain(item[()]) for name, item in group.items()
              if name not in ("type", "metadata") and isinstance(item, h5py.Dataset)}
    node = RawNode(kind, params, metadata)
    # The few port shapes a NIR file keeps.
    if kind in ("Input", "Output"):
        node.input_shape = node.output_shape = params.pop("shape", None)
    elif kind == "Flatten":
        node.input_shape = params.pop("input_type", None)
    return node


def _dataset(group: h5py.Group, name: str, where: str) -> h5py.Dataset:
    item = group.get(name)
    if not isinstance(item, h5py.Dataset):
        raise ValueError(f"NIR group {where!r} has no dataset {name!r}")
    return item


def _read_tree(group: Any, where: str, depth: int) -> Dict[str, Any]:
    if not isinstance(group, h5py.Group):
        raise ValueError(f"NIR group {where!r} is no group")
    if depth > MAX_DEPTH:
        raise ValueError(f"NIR group {where!r}: nested more than {MAX_DEPTH} deep")
    return {name: _read_tree(item, f"{where}/{name}", depth + 1) if isinstance(item, h5py.Group)
            else _plain(item[()]) for name, item in group.items()}


def _plain(value: Any) -> Any:
    return value.decode("utf8") if isinstance(value, bytes) else value


def _port(shapes: Any, key: str) -> Optional[np.ndarray]:
    value = shapes.get(key) if isinstance(shapes, dict) else None
    return None if value is None else array_of(value)


def named(name: str, node: Any) -> str:
    kind = node.kind if isinstance(node, RawNode) else type(node).__name__
    return f"node {name!r} ({kind})"
