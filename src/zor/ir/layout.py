"""The layout of a stored graph: its groups, and each dataset's shape, type
and size, read without reading any array (``zor-ir info`` shows it)."""

from __future__ import annotations

import pathlib
from typing import Any, Dict, Union

from . import serialization
from .types import DatasetLayout

__all__ = ["DatasetLayout", "read_layout"]


def read_layout(path: Union[str, pathlib.Path]) -> Dict[str, Any]:
    """The layout of the graph stored at ``path``, without reading any array.

    Returns a dictionary for each group, with a ``DatasetLayout`` for each
    dataset: the members of ``/graph`` by name, as ``read`` finds them
    (pair groups stay groups of their ``src`` and ``dst`` datasets). The file
    is checked as ``read`` checks it, with the same errors.
    """
    return serialization.read(path, layout=True)
