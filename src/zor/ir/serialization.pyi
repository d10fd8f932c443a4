"""HDF5 serialization for ZOR-IR graphs."""

import os
from typing import Any, Dict, Literal, Optional, Tuple, Union, overload

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

def write(
    path: _Path,
    graph: Union[Graph, Node],
    *,
    compression: Optional[Union[str, Tuple[str, int]]] = None,
    checksum: bool = False,
    durable: bool = True,
) -> None: ...
@overload
def read(
    path: _Path, *, mmap: bool = False, layout: Literal[False] = False, max_array_bytes: Optional[int] = 4294967296
) -> Union[Graph, Node]: ...
@overload
def read(
    path: _Path, *, mmap: bool = False, layout: Literal[True], max_array_bytes: Optional[int] = 4294967296
) -> Dict[str, Any]: ...
def read_version(path: _Path) -> str: ...
