"""What the command line shares: one-line user errors that name the file and
the node, reading a .zor file (and noticing a NIR one) and writing one, both
with a progress bar, memory sizes, and the info report."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
from pathlib import Path
from typing import Any, Dict, Iterator

from .graph import Graph
from .layout import read_layout
from .node import Node
from .serialization import ZORFormatError, read, read_version, write
from ._progress import progress
from ._summary import count_text as _count, node_rows, size_text, table_lines, totals


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


def _reason(error: OSError) -> str:
    """Why the system refused, in its own plain words: HDF5's message around
    an errno is left to the cause."""
    if error.errno:
        reason = os.strerror(error.errno)
    else:
        said = re.search(r"error message = '([^']*)'", str(error))
        reason = said[1] if said else _error_text(error)
    return reason[:1].lower() + reason[1:]


@contextlib.contextmanager
def _writing(path: Any) -> Iterator[None]:
    """As _about, for the writing of a file: a failure of the system is one
    line, "cannot write PATH: the reason", its error the cause."""
    if Path(path).is_dir():
        raise UserError(f"cannot write {path}: is a directory")
    with _about(path):
        try:
            yield
        except OSError as error:
            raise UserError(f"cannot write {path}: {_reason(error)}") from error


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


_MEMORY_UNITS = {"": 1, "b": 1, "kb": 10 ** 3, "mb": 10 ** 6, "gb": 10 ** 9, "tb": 10 ** 12,
                 "kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "tib": 1 << 40}


def memory_size(text: str) -> int:
    """A size in bytes from 8GiB, 512MiB, 1.5GB or a plain number of bytes."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([a-z]*)\s*", text, re.IGNORECASE)
    if match is None or match[2].lower() not in _MEMORY_UNITS:
        raise argparse.ArgumentTypeError(
            f"{text!r} is no size; give bytes or a number with a unit: 512MiB, 8GiB, 1GB")
    return int(float(match[1]) * _MEMORY_UNITS[match[2].lower()])


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


def _read_zor(path: str, mmap: bool = False, quiet: bool = False):
    """The graph (or single node) stored in a .zor file and its format version.
    ``mmap`` maps big arrays instead of reading them, so that looking at a file
    of any size takes no time; a long read shows its progress unless ``quiet``."""
    with _reading_zor(path), progress(f"reading {path}", quiet) as bar:
        stored = read(path, mmap=mmap, **bar.options)
        version = read_version(path)
    if not isinstance(stored, (Graph, Node)):
        raise UserError(f"{path}: holds a {type(stored).__name__}, not a graph or a node")
    return stored, version


def _write_zor(path: Any, graph: Any, quiet: bool = False) -> None:
    """``write``, its failures one line, a long write showing its progress unless ``quiet``."""
    with _writing(path), progress(f"writing {path}", quiet) as bar:
        write(path, graph, **bar.options)


def _as_graph(stored):
    """A file's graph; a file that holds a single node, as a graph of it alone,
    named by where the file keeps it."""
    return stored if isinstance(stored, Graph) else Graph(nodes={"/graph": stored})


# ---------------------------------------------------------------------------------------------
# info

def _node_report(path: str, quiet: bool = False) -> Dict[str, Any]:
    graph, version = _read_zor(path, mmap=True, quiet=quiet)
    graph = _as_graph(graph)
    rows, problems = node_rows(graph)
    return {
        "file": str(path), "format_version": version, "file_bytes": os.path.getsize(path),
        "nodes": rows, "total": totals(rows, len(graph.edges)), "problems": problems,
    }


def _print_nodes(report: Dict[str, Any]) -> None:
    print(f"{report['file']}: format version {report['format_version']}, "
          f"{size_text(report['file_bytes'])}")
    for line in table_lines(report["nodes"], report["total"], report["problems"]):
        print("  " + line)


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
        stored = (f"  (stored {size_text(entry['stored_bytes'])})"
                  if entry["stored_bytes"] < entry["bytes"] else "")
        print(f"  {entry['path']:<{width}}  {entry['dtype']:<8} {shape:>12}  "
              f"{size_text(entry['bytes']):>10}{stored}")
    total = sum(entry["bytes"] for entry in datasets)
    stored_total = sum(entry["stored_bytes"] for entry in datasets)
    print(f"  {len(datasets)} datasets: {size_text(total)} in memory, {size_text(stored_total)} in the file")


def compact_json(report: Dict[str, Any]) -> str:
    """A report as JSON of a line per entry, and a line per item of a list of
    records (a node, a dataset)."""
    entries = []
    for key, value in report.items():
        text = json.dumps(value)
        if type(value) is list and value and all(type(item) is dict for item in value):
            text = "[\n" + ",\n".join("    " + json.dumps(item) for item in value) + "\n  ]"
        entries.append(f"  {json.dumps(key)}: {text}")
    return "{\n" + ",\n".join(entries) + "\n}"


def run_info(args) -> int:
    report = _dataset_report(args.file) if args.datasets else _node_report(args.file, args.quiet)
    if args.json:
        print(compact_json(report) if args.indent is None else json.dumps(report, indent=args.indent))
    elif args.datasets:
        _print_datasets(report)
    else:
        _print_nodes(report)
    return 0
