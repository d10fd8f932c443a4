// Structures of a file that HDF5 1.10 follows without checking, checked
// against the file before the library is let near them.
//
// Variable-length strings: an element on disk is a sequence length and a
// reference to an object in a global heap collection. HDF5 follows the
// reference as it is: a missing object, an object larger than the element
// says or one that runs past its collection makes H5Dread copy out of
// bounds, and a collection whose free space is recorded as empty makes it
// loop forever while loading it.
//
// Groups: the names of an old-style group's links live in a local heap,
// whose free space is a list of blocks. HDF5 walks that list on every link
// lookup or listing, allocating as it goes: a list that loops never ends.
//
// So the reader reads these structures from the file itself, parses them as
// the library would, and lets HDF5 walk only what it has found sound.
#pragma once

#include "core/driver.hpp"

#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zor::hdf5 {

// The checks for one open file, which read it beside the library through a
// duplicate of its own descriptor (so it is the very file HDF5 reads).
class FileChecks {
public:
    explicit FileChecks(hid_t file);

    // The file's size when it was opened.
    std::uint64_t file_size() const { return driver_->size; }

    // What is wrong with `count` variable-length elements kept at `offset`
    // (an absolute file offset, as H5Dget_offset gives it) in `storage_size`
    // bytes, whose sequences have items of `base_size` bytes; nothing when
    // each element is null or names an existing object of exactly its size.
    // `what` names the elements in the message: strings or sequences, which
    // are laid out alike.
    std::optional<std::string> strings_problem(haddr_t offset, hsize_t storage_size, std::uint64_t count,
                                               std::size_t base_size, const char *what = "strings");

    // What is wrong with the local heaps named by the symbol tables in the
    // object header at `address` (as H5Oget_info gives it); nothing when
    // their free space lists end.
    std::optional<std::string> group_problem(haddr_t address) const;

private:
    struct Collection {
        std::string problem;  // why the collection cannot be trusted; empty when sound
        std::unordered_map<std::uint64_t, std::uint64_t> object_sizes;  // by object index
    };

    // Parsed once per address and kept, problems included.
    const Collection &collection(std::uint64_t address);
    Collection parse_collection(std::uint64_t address) const;
    // The local heap addresses of the symbol table messages in the object
    // header at `address`, or what keeps them from being found.
    std::optional<std::string> symbol_table_heaps(std::uint64_t address, std::vector<std::uint64_t> &heaps) const;
    std::optional<std::string> local_heap_problem(std::uint64_t address) const;

    // Reads `size` bytes at the file address `address` (counted from the
    // HDF5 data, past any user block); false when they are not all in the file.
    bool read(std::uint64_t address, std::uint64_t size, std::vector<std::uint8_t> &into) const;
    bool read_absolute(std::uint64_t offset, std::uint64_t size, std::vector<std::uint8_t> &into) const;
    // A little-endian field of `width` bytes; UINT64_MAX when it cannot be an offset in this file.
    static std::uint64_t decode(const std::uint8_t *at, std::size_t width);

    DriverFile *driver_;  // reads through the file driver, which keeps what was checked
    std::uint64_t base_ = 0;  // where the HDF5 data begins: addresses count from here
    std::size_t address_size_ = 8, length_size_ = 8;
    std::unordered_map<std::uint64_t, Collection> collections_;
};

}  // namespace zor::hdf5
