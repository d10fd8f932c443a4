// A read-only memory map of the file HDF5 has open, for reading big arrays
// without copying them: read(path, mmap=True).
//
// The whole file is mapped once, on the first array made from it (offsets
// need not be page-aligned then). Every array made here is a read-only view
// whose base owns the mapping, so the mapping lives exactly as long as the
// last array. A later write renames a new file over the path: the old file
// stays mapped, unchanged. A program that truncates the file in place makes
// the views fault (SIGBUS) when they touch the lost pages.
#pragma once

#include "core/io/posix.hpp"

#include <hdf5.h>

#include <cstdint>
#include <vector>

namespace zor::hdf5 {

namespace nb = nanobind;

class FileMap {
public:
    // Maps through a duplicate of `file`'s own descriptor, so that it is the
    // very file HDF5 reads, as long as the file was when our driver opened it
    // (the size every check of the reader holds data to); nothing is mapped yet.
    explicit FileMap(hid_t file);

    // A read-only array of `dtype` and `dims` over the bytes at `offset`,
    // which lie inside the file.
    nb::object view(std::uint64_t offset, nb::object dtype, const std::vector<hsize_t> &dims);

private:
    posix::Descriptor descriptor_;
    std::uint64_t size_ = 0;
    nb::object owner_;  // unmaps the file when the last view lets go of it
    const char *data_ = nullptr;
};

}  // namespace zor::hdf5
