"""Type aliases shared by the node modules."""

from typing import Dict

import numpy as np

#: Port name ("input" or "output") to a one-dimensional integer array of extents.
Shape = Dict[str, np.ndarray]
