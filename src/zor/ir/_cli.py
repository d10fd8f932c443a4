"""What the command line shares: one-line user errors that name the file and
the node, reading a .zor file (and noticing a NIR one), and the info report."""

from __future__ import annotations

import contextlib
import json
import os
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from .graph import Graph, GraphError
from .layout import read_layout
from .node import Node
from .serialization import ZORFormatError, read, read_version

class UserError(Exception):
    """A problem the user can fix, told in one line."""


# ---------------------------------------------------------------------------------------------
# Reading files, with errors that name them

def _error_text(error: BaseException) -> str:
    """An error as one line: a plain KeyError names its key, a message of
    several lines (a heading and a list) is joined."""
    if type(error) is KeyError:
        return f"missing key {error.args[0]!r}" if error.args else "missing key"
    head, *rest = [line.strip() for line in str(error).splitlines() if line.strip()] or [""]
    if not rest:
        return head
    return head + (" " if head.endswith(":") else "; ") + "; ".join(rest)


#: What reading, converting and writing a file raise for a file or a value in it.
FILE_ERRORS = (OSError, ValueError, KeyError, TypeError, ImportError, ZORFormatError)


@contextlib.contextmanager
def _about(path: Any) -> Iterator[None]:
    """Errors inside become one line that names ``path`` (where the message does
    not already)."""
    try:
        yield
    except FILE_ERRORS as error:
        text = _error_text(error)
        raise UserError(text if str(path) in text else f"{path}: {text}") from error


def _nir_hint(path: Any) -> str:
    target = Path(path).with_suffix(".zor")
    if target == Path(path):
        target = target.with_name(f"{target.stem}-converted.zor")
    return f"{path} is a NIR file; convert it first: zor-ir convert {path} {target}"


def _output(path: Any) -> Path:
    """A file to write: its directory must be there."""
    path = Path(path)
    if not path.parent.is_dir():
        raise UserError(f"{path}: no directory {path.parent}")
    return path


def _count(number: int, thing: str) -> str:
    return f"{number:,} {thing}" + ("" if number == 1 else "s")


def _is_nir_file(path: Any) -> bool:
    """Whether the root of an HDF5 file has NIR's layout: a "node" group where
    a .zor file has "graph". Asked of a file whose root our reader checked, or
    of one that NIR's reader is about to open anyway."""
    import h5py

    try:
        with h5py.File(path, "r") as file:
            return "graph" not in file and isinstance(file.get("node"), h5py.Group)
    except OSError:
        return False


@contextlib.contextmanager
def _reading_zor(path: Any) -> Iterator[None]:
    """As _about, for the reading of a .zor file: a NIR file is told apart and
    pointed to convert."""
    if Path(path).suffix.lower() == ".nir" and Path(path).is_file():
        raise UserError(_nir_hint(path))
    with _about(path):
        try:
            yield
        except ZORFormatError as error:
            if "missing 'graph'" in str(error) and _is_nir_file(path):
                raise UserError(_nir_hint(path)) from error
            raise


def _read_zor(path: str, mmap: bool = False):
    """The graph (or single node) stored in a .zor file and its format version.
    ``mmap`` maps big arrays instead of reading them, so that looking at a file
    of any size takes no time."""
    with _reading_zor(path):
        stored = read(path, mmap=mmap)
        version = read_version(path)
    if not isinstance(stored, (Graph, Node)):
        raise UserError(f"{path}: holds a {type(stored).__name__}, not a graph or a node")
    return stored, version


def _as_graph(stored):
    """A file's graph; a file that holds a single node, as a graph of it alone,
    named by where the file keeps it."""
    return stored if isinstance(stored, Graph) else Graph(nodes={"/graph": stored})


def _inferred(graph) -> Tuple[Any, List[str]]:
    """The graph with the shapes inference fills, or as it stands and why not."""
    try:
        return graph.infer_types(), []
    except GraphError as error:
        return graph, error.problems


# ---------------------------------------------------------------------------------------------
# info

def _size(nbytes: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if nbytes < 1024 or unit == "GiB":
            return f"{int(nbytes)} {unit}" if unit == "B" else f"{nbytes:.1f} {unit}"
        nbytes /= 1024
    raise AssertionError("unreachable")


def _parameter_arrays(node) -> List[np.ndarray]:
    """The arrays among a node's fields (weights, biases, neuron constants);
    settings such as strides are tuples and numbers, ports are left out."""
    return [value for name, value in vars(node).items()
            if isinstance(value, np.ndarray) and name not in ("input_type", "output_type")]


def _shape(ports: Any, key: str) -> Optional[List[int]]:
    value = ports.get(key) if isinstance(ports, dict) else None
    return None if value is None else [int(x) for x in np.ravel(value).tolist()]


def _node_rows(graph) -> Tuple[List[Dict[str, Any]], List[str]]:
    """One row per node in topological order: name, type, input and output
    shape, parameter count, bytes and dtypes of its arrays; and the problems
    that kept inference from filling the shapes."""
    shown, problems = _inferred(graph)
    rows = []
    for name in shown.topological_order():
        node = shown.nodes[name]
        arrays = _parameter_arrays(node)
        rows.append({
            "name": name, "type": type(node).__name__,
            "input": _shape(node.input_type, "input"), "output": _shape(node.output_type, "output"),
            "parameters": sum(int(array.size) for array in arrays),
            "bytes": sum(int(array.nbytes) for array in arrays),
            "dtypes": sorted({str(array.dtype) for array in arrays}),
        })
    return rows, problems


def _node_report(path: str) -> Dict[str, Any]:
    graph, version = _read_zor(path, mmap=True)
    graph = _as_graph(graph)
    rows, problems = _node_rows(graph)
    return {
        "file": str(path), "format_version": version, "file_bytes": os.path.getsize(path),
        "nodes": rows,
        "total": {"nodes": len(rows), "edges": len(graph.edges),
                  "parameters": sum(row["parameters"] for row in rows),
                  "bytes": sum(row["bytes"] for row in rows)},
        "problems": problems,
    }


def _print_nodes(report: Dict[str, Any]) -> None:
    print(f"{report['file']}: format version {report['format_version']}, "
          f"{_size(report['file_bytes'])}")

    def dims(shape):
        return "?" if shape is None else "x".join(map(str, shape))

    header = ("node", "type", "input", "output", "parameters", "bytes", "dtypes")
    table = [header] + [
        (row["name"], row["type"], dims(row["input"]), dims(row["output"]),
         f"{row['parameters']:,}", _size(row["bytes"]), ",".join(row["dtypes"]))
        for row in report["nodes"]]
    widths = [max(len(cells[column]) for cells in table) for column in range(len(header))]
    right = {4, 5}  # the numbers
    for cells in table:
        print("  " + "  ".join(cell.rjust(width) if column in right else cell.ljust(width)
                               for column, (cell, width) in enumerate(zip(cells, widths))).rstrip())
    total = report["total"]
    print(f"  total: {_count(total['nodes'], 'node')}, {_count(total['edges'], 'edge')}, "
          f"{_count(total['parameters'], 'parameter')}, {_size(total['bytes'])}")
    for problem in report["problems"]:
        print(f"  shapes as stored; cannot infer: {problem}")


def _datasets(tree, prefix):
    """(path, DatasetLayout) of every dataset under ``tree``, depth first in name order."""
    stack = [(prefix, tree)]
    while stack:
        path, member = stack.pop()
        if isinstance(member, dict):
            stack.extend((f"{path}/{name}", child) for name, child in reversed(member.items()))
        else:
            yield path, member


def _dataset_report(path: str) -> Dict[str, Any]:
    with _reading_zor(path):
        layout = read_layout(path)
        version = read_version(path)
    return {"file": str(path), "format_version": version,
            "datasets": [{"path": name, "dtype": str(entry.dtype), "shape": list(entry.shape),
                          "bytes": entry.nbytes, "stored_bytes": entry.stored_nbytes}
                         for name, entry in _datasets(layout, "/graph")]}


def _print_datasets(report: Dict[str, Any]) -> None:
    print(f"{report['file']} (format version {report['format_version']})")
    datasets = report["datasets"]
    width = max((len(entry["path"]) for entry in datasets), default=0)
    for entry in datasets:
        shape = "x".join(map(str, entry["shape"])) or "scalar"
        stored = (f"  (stored {_size(entry['stored_bytes'])})"
                  if entry["stored_bytes"] < entry["bytes"] else "")
        print(f"  {entry['path']:<{width}}  {entry['dtype']:<8} {shape:>12}  "
              f"{_size(entry['bytes']):>10}{stored}")
    total = sum(entry["bytes"] for entry in datasets)
    stored_total = sum(entry["stored_bytes"] for entry in datasets)
    print(f"  {len(datasets)} datasets: {_size(total)} in memory, {_size(stored_total)} in the file")


def run_info(args) -> int:
    report = _dataset_report(args.file) if args.datasets else _node_report(args.file)
    if args.json:
        print(json.dumps(report, indent=2))
    elif args.datasets:
        _print_datasets(report)
    else:
        _print_nodes(report)
    return 0
