"""A graph as a table of its nodes, one row each in topological order: type,
shapes, parameters, bytes and dtypes of their arrays, and the totals
(``Graph.summary()``, the table of ``zor-ir info``)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

if TYPE_CHECKING:
    from .graph import Graph


def size_text(nbytes: float) -> str:
    """Bytes for a reader: 608 B, 1.1 MiB."""
    for unit in ("B", "KiB", "MiB", "GiB"):
        if nbytes < 1024 or unit == "GiB":
            return f"{int(nbytes)} {unit}" if unit == "B" else f"{nbytes:.1f} {unit}"
        nbytes /= 1024
    raise AssertionError("unreachable")


def count_text(number: int, thing: str) -> str:
    return f"{number:,} {thing}" + ("" if number == 1 else "s")


def _parameter_arrays(node: Any) -> List["np.ndarray[Any, Any]"]:
    """The arrays among a node's fields (weights, biases, neuron constants);
    settings such as strides are tuples and numbers, ports are left out."""
    return [value for name, value in vars(node).items()
            if isinstance(value, np.ndarray) and name not in ("input_type", "output_type")]


def _shape(ports: Any, key: str) -> Optional[List[int]]:
    value = ports.get(key) if isinstance(ports, dict) else None
    return None if value is None else [int(x) for x in np.ravel(value).tolist()]


def node_rows(graph: Graph) -> Tuple[List[Dict[str, Any]], List[str]]:
    """One row per node in topological order: name, type, input and output
    shape (as inference fills them, as stored where it cannot), parameter
    count, bytes and dtypes of its arrays; and the problems that kept
    inference from filling the shapes."""
    from .graph import GraphError

    try:
        shown, problems = graph.infer_types(), []
    except GraphError as error:
        shown, problems = graph, error.problems
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


def totals(rows: List[Dict[str, Any]], edges: int) -> Dict[str, int]:
    return {"nodes": len(rows), "edges": edges,
            "parameters": sum(row["parameters"] for row in rows),
            "bytes": sum(row["bytes"] for row in rows)}


def table_lines(rows: List[Dict[str, Any]], total: Dict[str, int], problems: List[str]) -> List[str]:
    """The table: a header, a row per node, the totals, then why the shapes
    are the stored ones, if they are."""
    def dims(shape: Optional[List[int]]) -> str:
        return "?" if shape is None else "x".join(map(str, shape))

    header = ("node", "type", "input", "output", "parameters", "bytes", "dtypes")
    table = [header] + [
        (row["name"], row["type"], dims(row["input"]), dims(row["output"]),
         f"{row['parameters']:,}", size_text(row["bytes"]), ",".join(row["dtypes"]))
        for row in rows]
    widths = [max(len(cells[column]) for cells in table) for column in range(len(header))]
    right = {4, 5}  # the numbers
    lines = ["  ".join(cell.rjust(width) if column in right else cell.ljust(width)
                       for column, (cell, width) in enumerate(zip(cells, widths))).rstrip()
             for cells in table]
    lines.append(f"total: {count_text(total['nodes'], 'node')}, {count_text(total['edges'], 'edge')}, "
                 f"{count_text(total['parameters'], 'parameter')}, {size_text(total['bytes'])}")
    lines += [f"shapes as stored; cannot infer: {problem}" for problem in problems]
    return lines


def summary(graph: Graph) -> str:
    rows, problems = node_rows(graph)
    return "\n".join(table_lines(rows, totals(rows, len(graph.edges)), problems))
