"""Types shared by the node modules and serialization."""

from typing import Dict, NamedTuple, Tuple

import numpy as np

#: Port name ("input" or "output") to a one-dimensional integer array of extents.
Shape = Dict[str, np.ndarray]


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
