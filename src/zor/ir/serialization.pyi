"""HDF5 serialization for ZOR-IR graphs."""

import os
from typing import Any, Callable, Dict, Literal, Optional, Tuple, Union, overload

import h5py

from .graph import Graph
from .node import Node

__version__: str
__hdf5_version__: str

class ZORFormatError(Exception):
    """Raised when a ZOR-IR file is malformed or corrupt."""

def _write_recursive(group: h5py.Group, data: Dict[str, Any]) -> None: ...
def _read_recursive(group: h5py.Group) -> Dict[str, Any]: ...
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
# progress(done, total), in bytes
_Progress = Callable[[int, int], object]

def write(
    path: _Path,
    graph: Union[Graph, Node],
    *,
    compression: Optional[Union[str, Tuple[str, int]]] = None,
    checksum: bool = False,
    durable: bool = True,
    progress: Optional[_Progress] = None,
) -> None: ...
@overload
def read(
    path: _Path,
    *,
    mmap: bool = False,
    layout: Literal[False] = False,
    max_array_bytes: Optional[int] = 4294967296,
    progress: Optional[_Progress] = None,
) -> Union[Graph, Node]: ...
@overload
def read(
    path: _Path,
    *,
    mmap: bool = False,
    layout: Literal[True],
    max_array_bytes: Optional[int] = 4294967296,
    progress: Optional[_Progress] = None,
) -> Dict[str, Any]: ...
def read_version(path: _Path) -> str: ...
