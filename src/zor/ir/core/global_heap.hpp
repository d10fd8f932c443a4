// Variable-length strings, checked against the file before HDF5 reads them.
//
// A variable-length element on disk is a sequence length and a reference to
// an object in a global heap collection. HDF5 1.10 follows that reference
// without checking it: a missing object, an object larger than the element
// says or one that runs past its collection makes H5Dread copy out of
// bounds, and a collection whose free space is recorded as empty makes it
// loop forever while loading it. So the reader reads the elements and the
// collections they name from the file itself, parses them as the library
// would, and lets HDF5 read only what it has found sound.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zor::hdf5 {

// An open file descriptor, closed on destruction.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor();

    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// The global heap of one open file, read beside the library through a
// duplicate of its own descriptor (so it is the very file HDF5 reads).
class GlobalHeap {
public:
    explicit GlobalHeap(hid_t file);

    // What is wrong with `count` variable-length elements kept at `offset`
    // (an absolute file offset, as H5Dget_offset gives it) in `storage_size`
    // bytes, whose sequences have items of `base_size` bytes; nothing when
    // each element is null or names an existing object of exactly its size.
    std::optional<std::string> problem_with(haddr_t offset, hsize_t storage_size, std::uint64_t count,
                                            std::size_t base_size);

private:
    struct Collection {
        std::string problem;  // why the collection cannot be trusted; empty when sound
        std::unordered_map<std::uint64_t, std::uint64_t> object_sizes;  // by object index
    };

    // Parsed once per address and kept, problems included.
    const Collection &collection(std::uint64_t address);
    Collection parse(std::uint64_t address) const;
    // Reads `size` bytes at the absolute `offset`; false when they are not all in the file.
    bool read(std::uint64_t offset, std::uint64_t size, std::vector<std::uint8_t> &into) const;
    // A little-endian field of `width` bytes; UINT64_MAX when it cannot be an offset in this file.
    static std::uint64_t decode(const std::uint8_t *at, std::size_t width);

    Descriptor descriptor_;
    std::uint64_t file_size_ = 0;
    std::uint64_t base_ = 0;  // where the HDF5 data begins: heap addresses count from here
    std::size_t address_size_ = 8, length_size_ = 8;
    std::unordered_map<std::uint64_t, Collection> collections_;
};

}  // namespace zor::hdf5
