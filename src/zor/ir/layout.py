"""The layout of a stored graph: its groups, and each dataset's shape, type
and size, read without reading any array (``zor-ir info`` shows it)."""

from __future__ import annotations

import pathlib
from typing import Any, Dict, NamedTuple, Tuple, Union

import numpy as np

from . import serialization


class DatasetLayout(NamedTuple):
    """One dataset of a file, as ``read`` would return its array."""

    #: The array's shape; () for a scalar.
    shape: Tuple[int, ...]
    #: Its NumPy dtype (object for variable-length strings).
    dtype: np.dtype
    #: Its size in memory: elements times ``dtype.itemsize``.
    nbytes: int
    #: The bytes its data takes in the file: less when compressed, 0 when
    #: never written; for strings, their references only.
    stored_nbytes: int


def read_layout(path: Union[str, pathlib.Path]) -> Dict[str, Any]:
    """The layout of the graph stored at ``path``, without reading any array.

    Returns a dictionary for each group, with a ``DatasetLayout`` for each
    dataset: the members of ``/graph`` in the order ``read`` gives them
    (pair groups stay groups of their ``src`` and ``dst`` datasets). The file
    is checked as ``read`` checks it, with the same errors.
    """
    return serialization.read(path, layout=True)
