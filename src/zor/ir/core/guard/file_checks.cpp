#include "core/guard/file_checks.hpp"
#include "core/format/hdf5.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace zor::hdf5 {

namespace {

// Heap collections and the headers in them are laid out in steps of 8 bytes.
std::uint64_t aligned(std::uint64_t size) { return (size + 7) / 8 * 8; }

// HDF5 never makes a smaller collection.
constexpr std::uint64_t kSmallestCollection = 4096;

// Object header message types, and the end of a local heap's free space list.
constexpr std::uint64_t kLinkInfoMessage = 0x02, kLayoutMessage = 0x08, kContinuationMessage = 0x10,
                        kSymbolTableMessage = 0x11;
constexpr std::uint64_t kEndOfFreeList = 1;

std::string corrupt_elements(const char *what, const std::string &detail) {
    return py::join({"has corrupt variable-length ", what, " (", detail, ")"});
}
std::string corrupt_links(const std::string &detail) { return "has a corrupt symbol table (" + detail + ")"; }
std::string corrupt_dense_links(const std::string &detail) { return "has corrupt link storage (" + detail + ")"; }
std::string corrupt_chunk_index(const std::string &detail) { return "has a corrupt chunk index (" + detail + ")"; }

}  // namespace

FileChecks::FileChecks(hid_t file) : driver_(&driver_file(file)) {
    PropertyList creation(H5Fget_create_plist(file), "Unable to read file properties");
    hsize_t user_block = 0;
    const char *what = "Unable to read file properties";
    check(H5Pget_sizes(creation.get(), &address_size_, &length_size_), what);
    check(H5Pget_userblock(creation.get(), &user_block), what);
    check(H5Pget_sym_k(creation.get(), &group_k_, &symbol_k_), what);
    check(H5Pget_istore_k(creation.get(), &chunk_k_), what);
    base_ = user_block;
}

// ---------------------------------------------------------------- strings

std::optional<std::string> FileChecks::strings_problem(haddr_t offset, hsize_t storage_size, std::uint64_t count,
                                                       std::size_t base_size, const char *what) {
    auto corrupt = [what](const std::string &detail) { return corrupt_elements(what, detail); };
    // On disk an element is its length, the collection's address and the object's index.
    const std::uint64_t element_size = 4 + address_size_ + 4;
    if (count > UINT64_MAX / element_size || storage_size != count * element_size)
        return corrupt(py::join({std::to_string(storage_size), " bytes of storage for ",
                                         std::to_string(count), " elements"}));
    std::vector<std::uint8_t> elements;
    if (!read_absolute(offset, storage_size, elements))
        return corrupt("their storage lies outside the file");

    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t *element = elements.data() + i * element_size;
        const std::uint64_t length = decode(element, 4);
        const std::uint64_t address = decode(element + 4, address_size_);
        const std::uint64_t index = decode(element + 4 + address_size_, 4);
        auto problem = [&](const std::string &detail) {
            return corrupt(py::join({"element ", std::to_string(i), ": ", detail}));
        };
        if (address == 0) {  // a null string: HDF5 reads nothing
            if (length != 0)
                return problem("length " + std::to_string(length) + " without a heap object");
            continue;
        }
        const Collection &found = collection(address);
        if (!found.problem.empty())
            return problem(found.problem);
        const std::string object = py::join({"heap object ", std::to_string(index), " of the collection at ",
                                             std::to_string(address)});
        auto size = found.object_sizes.find(index);
        if (size == found.object_sizes.end())
            return problem(object + " does not exist");
        std::uint64_t expected = 0;
        if (__builtin_mul_overflow(length, std::uint64_t(base_size), &expected) || size->second != expected)
            return problem(py::join({object, " holds ", std::to_string(size->second), " bytes, not ",
                                     std::to_string(length), " items of ", std::to_string(base_size)}));
    }
    return std::nullopt;
}

const FileChecks::Collection &FileChecks::collection(std::uint64_t address) {
    auto found = collections_.find(address);
    if (found == collections_.end())
        found = collections_.emplace(address, parse_collection(address)).first;
    return found->second;
}

// Walks the objects as HDF5 loads them, and finds fault with whatever would
// make it read past the collection or stop advancing.
FileChecks::Collection FileChecks::parse_collection(std::uint64_t address) const {
    const std::string where = "the heap collection at " + std::to_string(address);
    auto refuse = [](std::string problem) { return Collection{std::move(problem), {}}; };

    // "GCOL", version 1, 3 reserved bytes, the collection's size.
    const std::uint64_t header_size = aligned(8 + length_size_);
    std::vector<std::uint8_t> bytes;
    if (!read(address, header_size, bytes))
        return refuse(where + " lies outside the file");
    if (std::memcmp(bytes.data(), "GCOL", 4) != 0 || bytes[4] != 1)
        return refuse("there is no heap collection at " + std::to_string(address));
    const std::uint64_t size = decode(bytes.data() + 8, length_size_);
    if (size < kSmallestCollection)
        return refuse(where + " is too small");
    if (!read(address, size, bytes))
        return refuse(where + " lies outside the file");

    // Each object: its index (2 bytes), reference count (2), 4 reserved
    // bytes, its size, then its data padded to 8 bytes. Index 0 is the free
    // space, which runs to the end; a tail too short for a header is free too.
    const std::uint64_t object_header = aligned(8 + length_size_);
    Collection collection;
    for (std::uint64_t at = header_size; size - at >= object_header;) {
        const std::uint8_t *object = bytes.data() + at;
        const std::uint64_t index = decode(object, 2);
        const std::uint64_t object_size = decode(object + 8, length_size_);
        if (index == 0) {
            if (object_size != size - at)  // HDF5 would go on reading objects, or stand still
                return refuse(where + " has damaged free space");
            break;
        }
        const std::uint64_t room = size - at - object_header;
        if (object_size > room || aligned(object_size) > room)
            return refuse(py::join({"object ", std::to_string(index), " runs past the end of ", where}));
        if (!collection.object_sizes.emplace(index, object_size).second)
            return refuse(py::join({"object ", std::to_string(index), " appears twice in ", where}));
        at += object_header + aligned(object_size);
    }
    return collection;
}

// ---------------------------------------------------------------- groups

std::optional<std::string> FileChecks::group_problem(haddr_t address) const {
    std::vector<Message> messages;
    if (std::optional<std::string> problem = header_messages(address, {kSymbolTableMessage, kLinkInfoMessage}, messages))
        return corrupt_links(*problem);
    for (const Message &message : messages) {
        if (message.type == kSymbolTableMessage) {
            if (std::optional<std::string> problem = symbol_table_problem(message))
                return corrupt_links(*problem);
        } else if (std::optional<std::string> problem = dense_links_problem(message)) {
            return corrupt_dense_links(*problem);
        }
    }
    return std::nullopt;
}

// A symbol table message: the address of the group's v1 B-tree, then of its
// local heap. The B-tree's level-0 children are symbol table nodes.
std::optional<std::string> FileChecks::symbol_table_problem(const Message &symbol_table) const {
    if (symbol_table.data.size() < 2 * address_size_)
        return "the symbol table message is damaged";
    std::vector<std::uint64_t> nodes;
    const V1Tree tree{0, 2 * std::uint64_t(group_k_), length_size_};
    if (std::optional<std::string> problem = v1_tree_problem(address_at(symbol_table.data.data()), tree, nodes))
        return problem;
    if (std::optional<std::string> problem = symbol_nodes_problem(nodes))
        return problem;
    return local_heap_problem(address_at(symbol_table.data.data() + address_size_));
}

// ---------------------------------------------------------------- chunk indexes

// A layout message: its version, then
//   versions 1 and 2: dimensionality, layout class, 5 reserved bytes, address;
//   version 3: layout class, then (chunked) dimensionality, address.
// Chunked layouts of these versions index their chunks by a v1 B-tree whose
// keys are the chunk's size, its filter mask and one offset per dimension.
std::optional<std::string> FileChecks::chunk_index_problem(haddr_t address) const {
    constexpr std::uint8_t kChunked = 2;
    std::vector<Message> messages;
    if (std::optional<std::string> problem = header_messages(address, {kLayoutMessage}, messages))
        return corrupt_chunk_index(*problem);
    for (const Message &layout : messages) {
        const std::vector<std::uint8_t> &data = layout.data;
        if (data.empty() || data[0] > 3)
            continue;
        const bool version_3 = data[0] == 3;
        const std::size_t dimensions_at = version_3 ? 2 : 1, tree_at = version_3 ? 3 : 8;
        if (data.size() < tree_at + address_size_)
            return corrupt_chunk_index("the layout message is damaged");
        if (data[version_3 ? 1 : 2] != kChunked || undefined(address_at(data.data() + tree_at)))
            continue;
        std::vector<std::uint64_t> chunks;
        const V1Tree tree{1, 2 * std::uint64_t(chunk_k_), 8 + 8 * std::uint64_t(data[dimensions_at])};
        if (std::optional<std::string> problem = v1_tree_problem(address_at(data.data() + tree_at), tree, chunks))
            return corrupt_chunk_index(*problem);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- object headers

// Object headers come in two versions, both a prefix and then chunks of
// messages; continuation messages name further chunks.
//   version 1: 1, reserved, message count (2), reference count (4), size of
//     the first chunk (4), 4 bytes of padding. Message: type (2), size (2),
//     flags, 3 reserved bytes, data.
//   version 2: "OHDR", 2, flags, [4 times of 4 bytes], [2 attribute limits
//     of 2 bytes], size of the first chunk (1 to 8 bytes, by the flags).
//     Message: type, size (2), flags, [creation order (2)], data. Each
//     chunk ends in a checksum; continuation chunks begin with "OCHK".
std::optional<std::string> FileChecks::header_messages(std::uint64_t address, std::initializer_list<std::uint64_t> types,
                                                       std::vector<Message> &messages) const {
    const std::string damaged = "the object header at " + std::to_string(address) + " is damaged";
    struct Chunk {
        std::uint64_t address, size;  // of its messages
    };
    std::vector<Chunk> chunks;
    std::vector<std::uint8_t> bytes;
    if (!read(address, 16, bytes))  // no header is shorter
        return damaged;
    const bool version_1 = bytes[0] == 1;
    std::uint64_t message_header = 8;
    if (version_1) {
        chunks.push_back({address + 16, decode(bytes.data() + 8, 4)});
    } else if (std::memcmp(bytes.data(), "OHDR", 4) == 0 && bytes[4] == 2) {
        const std::uint8_t flags = bytes[5];
        const std::size_t at = 6 + (flags & 0x20 ? 16 : 0) + (flags & 0x10 ? 4 : 0), width = std::size_t(1) << (flags & 3);
        if (!read(address, at + width, bytes))
            return damaged;
        chunks.push_back({address + at + width, decode(bytes.data() + at, width)});
        message_header = flags & 0x04 ? 6 : 4;
    } else {
        return damaged;
    }

    std::unordered_set<std::uint64_t> seen;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        const Chunk chunk = chunks[c];
        if (!seen.insert(chunk.address).second || !read(chunk.address, chunk.size, bytes))
            return damaged;
        for (std::uint64_t at = 0; chunk.size - at >= message_header;) {
            const std::uint8_t *message = bytes.data() + at;
            const std::uint64_t type = version_1 ? decode(message, 2) : message[0];
            const std::uint64_t size = decode(message + (version_1 ? 2 : 1), 2);
            const std::uint8_t *data = message + message_header;
            if (size > chunk.size - at - message_header)
                return damaged;
            if (type == kContinuationMessage) {
                if (size < address_size_ + length_size_)
                    return damaged;
                const std::uint64_t next = decode(data, address_size_), length = decode(data + address_size_, length_size_);
                if (version_1) {
                    chunks.push_back({next, length});
                } else {  // "OCHK", the messages, a checksum
                    std::vector<std::uint8_t> signature;
                    if (length < 8 || next > UINT64_MAX - 4 || !read(next, 4, signature) ||
                        std::memcmp(signature.data(), "OCHK", 4) != 0)
                        return damaged;
                    chunks.push_back({next + 4, length - 8});
                }
            } else if (std::find(types.begin(), types.end(), type) != types.end()) {
                messages.push_back({type, std::vector<std::uint8_t>(data, data + size)});
            }
            at += message_header + size;
        }
    }
    return std::nullopt;
}

// A local heap: "HEAP", version 0, 3 reserved bytes, the size of its data,
// the offset of the first free block (1: none), the address of its data.
// Each free block starts with the offset of the next one and its own size.
std::optional<std::string> FileChecks::local_heap_problem(std::uint64_t address) const {
    const std::string where = "the local heap at " + std::to_string(address);
    std::vector<std::uint8_t> bytes;
    if (!read(address, 8 + 2 * length_size_ + address_size_, bytes))
        return where + " lies outside the file";
    if (std::memcmp(bytes.data(), "HEAP", 4) != 0 || bytes[4] != 0)
        return "there is no local heap at " + std::to_string(address);
    const std::uint64_t data_size = decode(bytes.data() + 8, length_size_);
    std::uint64_t free_block = decode(bytes.data() + 8 + length_size_, length_size_);
    if (!read(decode(bytes.data() + 8 + 2 * length_size_, address_size_), data_size, bytes))
        return where + " keeps its data outside the file";

    std::unordered_set<std::uint64_t> seen;
    while (free_block != kEndOfFreeList) {
        if (free_block > data_size || data_size - free_block < 2 * length_size_ ||
            decode(bytes.data() + free_block + length_size_, length_size_) > data_size - free_block)
            return "free space runs past the end of " + where;
        if (!seen.insert(free_block).second)
            return "the free space list of " + where + " loops";
        free_block = decode(bytes.data() + free_block, length_size_);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- reading

bool FileChecks::read(std::uint64_t address, std::uint64_t size, std::vector<std::uint8_t> &into) const {
    return address <= UINT64_MAX - base_ && read_absolute(base_ + address, size, into);
}

bool FileChecks::undefined(std::uint64_t address) const {
    return address == (address_size_ >= 8 ? UINT64_MAX : (std::uint64_t(1) << (8 * address_size_)) - 1);
}

bool FileChecks::read_absolute(std::uint64_t offset, std::uint64_t size, std::vector<std::uint8_t> &into) const {
    return driver_->read_checked(offset, size, into);
}

std::uint64_t FileChecks::decode(const std::uint8_t *at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        if (i >= 8 && at[i] != 0)
            return UINT64_MAX;
        if (i < 8)
            value = (value << 8) | at[i];
    }
    return value;
}

}  // namespace zor::hdf5
