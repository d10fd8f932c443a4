// Our own HDF5 file driver: the POSIX I/O of HDF5's "sec2" driver, on a
// descriptor we opened ourselves, with two things sec2 cannot do.
//
// Reading: every page of a file opened for reading that the pre-checks of
// core/file_checks or HDF5's own metadata reads touch is kept (pinned) at
// its first read and served from then on, to both. The checks and HDF5 so
// parse the same bytes, whichever of them reads first: a file changed by
// another process meanwhile cannot slip past a check. Raw data is read
// from the file as it is, with the pinned pages laid over it.
//
// Writing: a failed write (a full disk, a file size limit) is not reported
// to HDF5, which would leave the objects it was flushing half-closed, to be
// tripped over later or at exit. The driver records the system's errno
// instead, for its writer to raise (raise_if_failed), and from then on
// keeps the file's metadata in pinned pages (which reads see) and drops raw
// data, so that HDF5 can finish and close every object cleanly. The failed
// file is removed by its writer.
#pragma once

#include "core/format/hdf5.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zor::hdf5 {

// What one open file of the driver knows about its descriptor.
struct DriverFile {
    int fd = -1;
    std::uint64_t size = 0;  // the file's size when it was opened
    const std::string *label = nullptr;  // the file as errors name it
    bool read_only = false;  // opened for reading: metadata reads pin their pages
    int failed_errno = 0;  // of the first failed write; kept in memory from then on
    // Pinned pages by page number: what the pre-checks read, served again to HDF5.
    std::map<std::uint64_t, std::vector<std::uint8_t>> pinned;

    // Reads `size` bytes at `offset` as the pre-checks see them, pinning each
    // page they touch; false when they are not all inside the file.
    bool read_checked(std::uint64_t offset, std::uint64_t size, std::vector<std::uint8_t> &into);

    // Copies `size` bytes at `offset` from pinned pages, pinning those not
    // pinned yet (zeros past the end of the file as it was opened); false
    // when the file cannot be read.
    bool read_pinned(std::uint64_t offset, std::uint64_t size, std::uint8_t *into);

    // Writes into pinned pages instead of the file (once it has failed).
    void keep(std::uint64_t offset, const std::uint8_t *data, std::uint64_t size);

    // Raises the OSError of the failed write, if there was one.
    void raise_if_failed() const;
};

// A file access property list that opens files through the driver, on a
// duplicate of `fd` (the caller keeps its own), named `label` in errors
// (a path in the file system's encoding that outlives the file).
PropertyList driver_access(int fd, const std::string &label);

// The driver's state of an open file, which must have been opened through it.
DriverFile &driver_file(hid_t file);

}  // namespace zor::hdf5
