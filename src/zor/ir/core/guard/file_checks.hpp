// Structures of a file that HDF5 (1.10 as 1.14) follows without checking,
// checked against the file before the library is let near them.
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
// The links themselves are found through a v1 B-tree, which HDF5 descends
// recursively by the level each node gives and follows along each level
// by sibling addresses: a node that is its own child overflows the stack,
// siblings that loop never end. A new-style group keeps many links in a
// fractal heap indexed by a v2 B-tree: HDF5 sizes tables from their
// headers' counts and fills them from the nodes' own counts, unchecked.
//
// Chunked datasets written with the earliest format index their chunks by
// a v1 B-tree too, walked the same way.
//
// So the reader reads these structures from the file itself, parses them as
// the library would, and lets HDF5 walk only what it has found sound. Every
// byte the checks read goes through the file driver, which serves HDF5 the
// same bytes (core/driver).
#pragma once

#include "core/guard/driver.hpp"

#include <hdf5.h>

#include <cstdint>
#include <initializer_list>
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

    // What is wrong with the structures HDF5 follows to list and look up the
    // links of the group whose object header is at `address` (as
    // H5Oget_info gives it): its symbol tables (v1 B-tree, symbol table
    // nodes, local heap) or its dense link storage (fractal heap header,
    // name index); nothing when they are sound.
    std::optional<std::string> group_problem(haddr_t address) const;

    // What is wrong with the v1 B-tree that indexes the chunks of the
    // dataset whose object header is at `address`; nothing when it is sound
    // or the dataset has none (HDF5 checks the other chunk indexes'
    // metadata against their checksums).
    std::optional<std::string> chunk_index_problem(haddr_t address) const;

private:
    struct Collection {
        std::string problem;  // why the collection cannot be trusted; empty when sound
        std::unordered_map<std::uint64_t, std::uint64_t> object_sizes;  // by object index
    };

    // Parsed once per address and kept, problems included.
    const Collection &collection(std::uint64_t address);
    Collection parse_collection(std::uint64_t address) const;
    struct Message {
        std::uint64_t type;
        std::vector<std::uint8_t> data;
    };
    // The messages of `types` in the object header at `address`, or what
    // keeps them from being found.
    std::optional<std::string> header_messages(std::uint64_t address, std::initializer_list<std::uint64_t> types,
                                               std::vector<Message> &messages) const;
    std::optional<std::string> symbol_table_problem(const Message &symbol_table) const;
    std::optional<std::string> local_heap_problem(std::uint64_t address) const;

    // core/tree_checks: B-trees and the fractal heap.
    struct V1Tree {
        std::uint8_t node_type;    // 0: group nodes, 1: chunks
        std::uint64_t max_entries;  // 2K
        std::uint64_t key_size;
    };
    // What is wrong with the v1 B-tree at `root`; its level-0 children
    // (symbol table nodes or chunks) are added to `leaves`.
    std::optional<std::string> v1_tree_problem(std::uint64_t root, const V1Tree &tree,
                                                std::vector<std::uint64_t> &leaves) const;
    std::optional<std::string> symbol_nodes_problem(const std::vector<std::uint64_t> &nodes) const;
    std::optional<std::string> dense_links_problem(const Message &link_info) const;
    std::optional<std::string> fractal_heap_problem(std::uint64_t address) const;
    // What is wrong with the v2 B-tree at `address` of `type`, whose records
    // are `record_size` bytes.
    std::optional<std::string> v2_tree_problem(std::uint64_t address, std::uint8_t type,
                                               std::uint64_t record_size) const;
    // An address field of the file, and whether it is HDF5's undefined address.
    std::uint64_t address_at(const std::uint8_t *at) const { return decode(at, address_size_); }
    bool undefined(std::uint64_t address) const;

    // Reads `size` bytes at the file address `address` (counted from the
    // HDF5 data, past any user block); false when they are not all in the file.
    bool read(std::uint64_t address, std::uint64_t size, std::vector<std::uint8_t> &into) const;
    bool read_absolute(std::uint64_t offset, std::uint64_t size, std::vector<std::uint8_t> &into) const;
    // A little-endian field of `width` bytes; UINT64_MAX when it cannot be an offset in this file.
    static std::uint64_t decode(const std::uint8_t *at, std::size_t width);

    DriverFile *driver_;  // reads through the file driver, which keeps what was checked
    std::uint64_t base_ = 0;  // where the HDF5 data begins: addresses count from here
    std::size_t address_size_ = 8, length_size_ = 8;
    unsigned group_k_ = 16, symbol_k_ = 4, chunk_k_ = 32;  // half the entries of a B-tree node, a symbol table node
    std::unordered_map<std::uint64_t, Collection> collections_;
};

}  // namespace zor::hdf5
