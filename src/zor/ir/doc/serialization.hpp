// The documentation of zor.ir.serialization and its functions.
#pragma once

namespace zor::doc::serialization {

inline const char *const kModuleDoc = R"(HDF5 serialization for ZOR-IR graphs.

ZOR-IR uses HDF5 (conventional extension .zor) for portable, self-describing
serialization: all NumPy arrays, metadata and graph structure are preserved.

File layout:
    /version   scalar variable-length UTF-8 string: the format version
    /graph     group: the written object's to_dict(), one member per entry

Value kinds, first match:
    None                     not stored
    str                      scalar variable-length UTF-8 string
    NumPy array or scalar    dataset of its own dtype (0-d: scalar dataspace);
                             an object array of str/bytes: UTF-8 strings
    dict                     subgroup
    [] and [(a, b), ...]     pair group: string datasets src and dst
    [str, ...], (str, ...)   one-dimensional variable-length UTF-8 strings
    other list or tuple      np.array(value), stored as an array (not as
                             an object array: no file type holds one)
    bool, int, float         scalar boolean enumeration, int64 (uint64 from
                             2**63 to 2**64-1, as h5py stores them), float64
    anything else            str(value), as a string

Keys must be non-empty text other than '.', without '/' or NUL characters,
encodable as UTF-8. Reading gives what h5py's dataset[()] gives, also for
types the writer never makes (compounds as structured arrays, enumerations
as their integers, bitfields, opaque data, variable-length sequences of
numbers as object arrays of arrays). A group reached by several hard links
is read at each; a link to a group that contains it is refused.
write() builds the file beside its target and moves it over the target only
when it is complete. Reading refuses what would lead outside the file (soft
and external links, external raw storage, virtual datasets), datatypes it
does not know, and heaps and B-trees too corrupt for HDF5 to follow safely,
with ZORFormatError; the memory a read takes is bounded by what the file
holds (and read's max_array_bytes). zor.ir.check(path) reads a file in a
child process, for files that must not take the caller down with them.

Big models: read(path, mmap=True) maps big arrays instead of copying them;
write(path, graph, compression="gzip", checksum=True) compresses and
checksums them, encoding their chunks itself as HDF5's built-in filters
decode them (no plugin is ever loaded);
zor.ir.read_layout(path) lists the datasets without reading them.
)";

inline const char *const kWriteDoc = R"(write(path: Union[str, pathlib.Path], graph: Node) -> None

Save ZOR-IR graph to HDF5 file.

The file is written beside the target under a temporary name and renamed
over the target once complete: a failed write leaves an existing file
untouched.

Args:
    path: Output file path (conventionally with .zor extension): str, bytes
        or os.PathLike.
    graph: Graph to serialize (any object whose to_dict() returns a dict).
    compression: Keyword only. None (the default) stores every array
        contiguously, as h5py does; "gzip" or ("gzip", level), level 1 to 9
        (default 4), stores every number array of at least 64 KiB in chunks
        of about 1 MiB, shuffled and deflated by our own encoder as HDF5's
        shuffle and deflate filters decode them.
    checksum: Keyword only. When true, those arrays' chunks also carry
        HDF5's Fletcher-32 checksum, which every read verifies.
    Only filters built into HDF5 decode them; texts, scalars and smaller
    arrays are stored as without options. h5py reads these files as they are.
    durable: Keyword only. Flush the file and its directory to disk (fsync)
        around the rename, so that the new file survives a power loss once
        write returns. True by default.
    progress: Keyword only. None (the default), or a callable that write
        calls as progress(done, total), counting the bytes of the arrays
        written: once before writing, whenever another 1/256 of the total
        is written, and with done == total once the file is in place. An
        error it raises ends the write, as any error does.

Raises:
    ValueError: If file path is invalid, a key or text cannot be stored, or
        compression is not one of the values above.
    OSError: If file cannot be written (BlockingIOError: another write of
        the same file is in progress).
)";

inline const char *const kReadDoc = R"(read(path: Union[str, pathlib.Path]) -> Graph

Load ZOR-IR graph from HDF5 file.

Args:
    path: Input file path.
    mmap: Keyword only. When true, every number array of at least 64 KiB
        stored contiguously and unfiltered, in the host's byte order, comes
        back as a read-only view of a memory map of the file instead of a
        copy; the map lives as long as the last such array. It stays valid
        when write() replaces the file, but a program that truncates the
        file in place makes the arrays fault when touched.
    layout: Keyword only. When true, returns the layout of the stored graph
        instead, reading no array: zor.ir.read_layout(path) calls this.
    max_array_bytes: Keyword only. The most bytes one array may take in
        memory when the file does not hold it as it is: compressed data,
        or data never written (read as its fill value). 4 GiB by default;
        None for no limit. Data stored as it is must lie in the file, and
        compressed chunks must be able to decompress to their size,
        whatever the limit.
    progress: Keyword only. None (the default), or a callable that read
        calls as progress(done, total), total being the file's size and
        done the bytes of the datasets read so far: once at the start,
        whenever another 1/256 is done, and with done == total at the end.

Returns:
    Deserialized graph (the class registered under the stored "type").

Raises:
    FileNotFoundError: If file does not exist.
    ZORFormatError: If file is not a valid ZOR-IR file.
)";

inline const char *const kReadVersionDoc = R"(read_version(path: Union[str, pathlib.Path]) -> str

Read ZOR-IR format version from file without loading graph.

Args:
    path: Input file path.

Returns:
    Version string (e.g., "0.0.1").

Raises:
    FileNotFoundError: If file does not exist.
    ZORFormatError: If file is not a valid ZOR-IR file.
)";

inline const char *const kWriteRecursiveDoc = R"(_write_recursive(group: h5py.Group, dict data: Dict[str, Any]) -> None

Write dictionary to HDF5 group iteratively (avoids recursion limit).

Uses an explicit stack to avoid Python's recursion limit on deeply nested data.
Every key and value is checked before the group is touched.
)";

inline const char *const kReadRecursiveDoc = R"(_read_recursive(group: h5py.Group) -> Dict[str, Any]

Read HDF5 group to dictionary iteratively (avoids recursion limit).

Uses an explicit stack to avoid Python's recursion limit on deeply nested data.
)";

inline const char *const kFormatErrorDoc = "Raised when a ZOR-IR file is malformed or corrupt.";

}  // namespace zor::doc::serialization
