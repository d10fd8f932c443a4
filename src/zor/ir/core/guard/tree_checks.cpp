// The B-trees and the fractal heap that lead HDF5 to a group's links and a
// dataset's chunks, checked as HDF5 will walk them (see core/file_checks).
#include "core/guard/file_checks.hpp"
#include "core/nodes/python.hpp"

#include <cstring>
#include <unordered_set>

namespace zor::hdf5 {

namespace {

// No B-tree is deeper: one of this depth would index more entries than any
// file can hold.
constexpr std::uint64_t kMaxTreeDepth = 32;

// HDF5's heap IDs of links, and the v2 B-tree type of a group's name index.
constexpr std::uint64_t kLinkHeapIdSize = 7;
constexpr std::uint8_t kLinkNameIndex = 5;

std::string located(const char *what, std::uint64_t address) { return py::join({what, " at ", std::to_string(address)}); }
std::string number(std::uint64_t value) { return std::to_string(value); }

// The highest bit set in `value`, which is not 0.
std::uint64_t log2_of(std::uint64_t value) { return 63 - std::uint64_t(__builtin_clzll(value)); }

// The bytes HDF5 gives a count that goes up to `limit`, which is not 0 (H5VM_limit_enc_size).
std::uint64_t width_of(std::uint64_t limit) { return log2_of(limit) / 8 + 1; }

bool power_of_two(std::uint64_t value) { return value && !(value & (value - 1)); }

// The first rule broken, as "<where> <what>".
struct Rule {
    bool broken;
    std::string what;
};
std::optional<std::string> first_broken(const std::string &where, std::initializer_list<Rule> rules) {
    for (const Rule &rule : rules)
        if (rule.broken)
            return where + " " + rule.what;
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------- v1 B-trees

// A node: "TREE", its type, its level, the entries it uses (2), its left and
// right siblings' addresses, then keys and children in turn (2K children
// between 2K + 1 keys); HDF5 reads it whole. HDF5 descends from the root by
// the level each node gives, and walks each level from its leftmost node
// along right siblings (H5B_get_info). So, level by level: the levels go
// down by one, no node is reached twice, the siblings link exactly the
// level's nodes in order, and there are no more nodes than the file has
// room for.
std::optional<std::string> FileChecks::v1_tree_problem(std::uint64_t root, const V1Tree &tree,
                                                       std::vector<std::uint64_t> &leaves) const {
    const std::uint64_t header = 8 + 2 * address_size_, entry = tree.key_size + address_size_;
    const std::uint64_t node_size = header + tree.max_entries * entry + tree.key_size;
    std::vector<std::uint64_t> row{root};
    std::unordered_set<std::uint64_t> seen{root};
    std::vector<std::uint8_t> bytes;
    std::uint64_t level = 0, nodes = 0;
    auto sibling = [&](std::uint64_t found, std::size_t i, bool right) {
        const bool exists = right ? i + 1 < row.size() : i > 0;
        return exists ? found == row[right ? i + 1 : i - 1] : undefined(found);
    };
    for (bool top = true; !row.empty(); top = false) {
        std::vector<std::uint64_t> next;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string node = located("the B-tree node", row[i]);
            if (!read(row[i], node_size, bytes))
                return node + " lies outside the file";
            if (std::memcmp(bytes.data(), "TREE", 4) != 0 || bytes[4] != tree.node_type)
                return "there is no B-tree node at " + number(row[i]);
            if (top)
                level = bytes[5];
            const std::uint64_t entries = decode(bytes.data() + 6, 2);
            if (std::optional<std::string> problem = first_broken(
                    node, {{level > kMaxTreeDepth, "has " + number(level) + " levels below it"},
                           {bytes[5] != level, "is at level " + number(bytes[5]) + ", not " + number(level)},
                           {entries > tree.max_entries,
                            "holds " + number(entries) + " entries, more than " + number(tree.max_entries)},
                           {!sibling(address_at(bytes.data() + 8), i, false) ||
                                !sibling(address_at(bytes.data() + 8 + address_size_), i, true),
                            "does not link its neighbours on its level"},
                           {++nodes > driver_->size / node_size, "is one node more than the file can hold"}}))
                return problem;
            for (std::uint64_t e = 0; e < entries; ++e) {
                const std::uint64_t child = address_at(bytes.data() + header + e * entry + tree.key_size);
                if (level == 0)
                    leaves.push_back(child);
                else if (!seen.insert(child).second)
                    return located("the B-tree node", child) + " is reached twice";
                else
                    next.push_back(child);
            }
        }
        if (level == 0)
            break;
        row = std::move(next);
        --level;
    }
    return std::nullopt;
}

// A symbol table node: "SNOD", version 1, a reserved byte, the symbols it
// holds (2), then room for 2K entries: a name's offset in the local heap, an
// object header's address, a cache type (4), 4 reserved bytes and 16 bytes
// of scratch pad.
std::optional<std::string> FileChecks::symbol_nodes_problem(const std::vector<std::uint64_t> &nodes) const {
    const std::uint64_t capacity = 2 * std::uint64_t(symbol_k_);
    const std::uint64_t node_size = 8 + capacity * (length_size_ + address_size_ + 24);
    std::unordered_set<std::uint64_t> seen;
    std::vector<std::uint8_t> bytes;
    for (std::uint64_t node : nodes) {
        const std::string where = located("the symbol table node", node);
        if (!seen.insert(node).second)
            return where + " is reached twice";
        if (!read(node, node_size, bytes))
            return where + " lies outside the file";
        if (std::memcmp(bytes.data(), "SNOD", 4) != 0 || bytes[4] != 1)
            return "there is no symbol table node at " + number(node);
        const std::uint64_t symbols = decode(bytes.data() + 6, 2);
        if (symbols > capacity)
            return py::join({where, " holds ", number(symbols), " symbols, more than ", number(capacity)});
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- dense links

// A link info message: version 0, flags, [the largest creation order (8)
// when it is tracked], the addresses of the fractal heap and of the name
// index, [of the creation order index]. The links are dense when the heap's
// address is defined; a read lists and looks them up by name only.
std::optional<std::string> FileChecks::dense_links_problem(const Message &link_info) const {
    const std::vector<std::uint8_t> &data = link_info.data;
    const std::size_t at = 2 + (data.size() > 1 && (data[1] & 1) ? 8 : 0);
    if (data.size() < at + 2 * address_size_ || data[0] != 0)
        return "the link info message is damaged";
    const std::uint64_t heap = address_at(data.data() + at);
    if (undefined(heap))  // compact: the links are messages of the header
        return std::nullopt;
    if (std::optional<std::string> problem = fractal_heap_problem(heap))
        return problem;
    return v2_tree_problem(address_at(data.data() + at + address_size_), kLinkNameIndex, 4 + kLinkHeapIdSize);
}

// A fractal heap header: "FRHP", version 0, the heap IDs' size (2), the
// filters' encoded size (2), flags, the largest managed object (4), the
// next huge object ID (L), the huge objects' B-tree (A), free space (L), the
// free space manager (A), 8 sizes and counts (L each), then the doubling
// table: width (2), starting block size (L), largest direct block size (L),
// the heap's largest offset in bits (2), the root indirect block's first
// rows (2), the root block's address (A), its rows now (2); a checksum. HDF5
// sizes its tables of rows by these numbers unchecked.
std::optional<std::string> FileChecks::fractal_heap_problem(std::uint64_t address) const {
    const std::string where = located("the fractal heap", address);
    std::vector<std::uint8_t> bytes;
    if (!read(address, 26 + 12 * length_size_ + 3 * address_size_, bytes))
        return where + " lies outside the file";
    if (std::memcmp(bytes.data(), "FRHP", 4) != 0 || bytes[4] != 0)
        return "there is no fractal heap at " + number(address);
    std::size_t at = 5;
    auto take = [&](std::size_t width) {
        at += width;
        return decode(bytes.data() + at - width, width);
    };
    const std::uint64_t id_size = take(2), filters = take(2);
    take(1);
    const std::uint64_t largest_object = take(4);
    at += 10 * length_size_ + 2 * address_size_;
    const std::uint64_t width = take(2), start_block = take(length_size_), largest_block = take(length_size_);
    const std::uint64_t offset_bits = take(2), start_rows = take(2), root = take(address_size_), rows = take(2);
    const bool sizes_sound = power_of_two(width) && power_of_two(start_block) && start_block >= 64 &&
                             power_of_two(largest_block) && largest_block >= start_block &&
                             largest_block <= (std::uint64_t(1) << 31) && largest_object <= largest_block;
    if (std::optional<std::string> problem = first_broken(
            where, {{id_size != kLinkHeapIdSize, "has heap IDs of " + number(id_size) + " bytes, not a group's"},
                    {filters != 0, "is compressed"},
                    {!sizes_sound, "has impossible block sizes"}}))
        return problem;
    // The rows of the root indirect block: each row's blocks twice the size of the row before it (two
    // rows of the starting size), up to the heap's largest offset; direct blocks in the first rows.
    const std::uint64_t first_row_bits = log2_of(start_block) + log2_of(width);
    const std::uint64_t max_rows = offset_bits + 1 - std::min(first_row_bits, offset_bits + 1);
    const std::uint64_t direct_rows = log2_of(largest_block) - log2_of(start_block) + 2;
    std::vector<std::uint8_t> root_block;
    const bool root_sound = undefined(root) ||
                            (read(root, rows == 0 ? start_block : 4, root_block) &&
                             std::memcmp(root_block.data(), rows == 0 ? "FHDB" : "FHIB", 4) == 0);
    return first_broken(where, {{offset_bits > 8 * length_size_ || first_row_bits > offset_bits ||
                                     direct_rows > max_rows || start_rows > max_rows || rows > max_rows,
                                 "has an impossible number of rows"},
                                {!root_sound, "has no root block at " + number(root)}});
}

// ---------------------------------------------------------------- v2 B-trees

// A header: "BTHD", version 0, its type, node size (4), record size (2),
// depth (2), split and merge percentages, the root's address (A), records in
// the root (2), records in the tree (L), a checksum. Internal nodes:
// "BTIN", version 0, type, their records, then for each of records + 1
// children its address, its record count and (from depth 2 on) the records
// below it, in widths that follow from the node size; leaves: "BTLF",
// version 0, type, their records. A node's record count is in its parent
// (the root's in the header); HDF5 decodes that many records into room for
// as many as fit a node, and lists a group's links into a table as long as
// the header counts. So every node is reached once, holds no more than fit,
// and the counts add up to the header's.
std::optional<std::string> FileChecks::v2_tree_problem(std::uint64_t address, std::uint8_t type,
                                                       std::uint64_t record_size) const {
    constexpr std::uint64_t kPrefix = 10, kLargestNode = 1 << 16;  // signature, version, type, checksum
    const std::string where = located("the v2 B-tree", address);
    std::vector<std::uint8_t> bytes;
    if (!read(address, 18 + 2 * address_size_ + length_size_, bytes))
        return where + " lies outside the file";
    if (std::memcmp(bytes.data(), "BTHD", 4) != 0 || bytes[4] != 0)
        return "there is no v2 B-tree at " + number(address);
    const std::uint64_t node_size = decode(bytes.data() + 6, 4), records = decode(bytes.data() + 10, 2);
    const std::uint64_t depth = decode(bytes.data() + 12, 2), root = address_at(bytes.data() + 16);
    const std::uint64_t root_records = decode(bytes.data() + 16 + address_size_, 2);
    const std::uint64_t total = decode(bytes.data() + 18 + address_size_, length_size_);
    if (std::optional<std::string> problem = first_broken(
            where, {{bytes[5] != type, "is of type " + number(bytes[5]) + ", not " + number(type)},
                    {records != record_size, "has records of " + number(records) + " bytes"},
                    {node_size < kPrefix + 2 * record_size || node_size > kLargestNode,
                     "has nodes of " + number(node_size) + " bytes"},
                    {depth > kMaxTreeDepth, "is " + number(depth) + " levels deep"}}))
        return problem;

    // The records a node holds at each depth, and the width of the counts
    // in a child pointer, as HDF5 works them out (H5B2__hdr_init).
    std::vector<std::uint64_t> capacity{(node_size - kPrefix) / record_size}, below_width{0};
    const std::uint64_t count_width = width_of(capacity[0]);
    for (std::uint64_t d = 1, below = capacity[0]; d <= depth; ++d) {
        const std::uint64_t pointer = address_size_ + count_width + below_width[d - 1];
        const std::uint64_t fits = node_size < kPrefix + pointer ? 0 : (node_size - kPrefix - pointer) / (record_size + pointer);
        if (fits == 0 || __builtin_mul_overflow(fits + 1, below, &below) || __builtin_add_overflow(below, fits, &below))
            return where + " is too deep for its nodes";
        capacity.push_back(fits);
        below_width.push_back(width_of(below));
    }

    struct Node {
        std::uint64_t address, depth, records;
    };
    std::vector<Node> pending;
    if (!undefined(root))
        pending.push_back({root, depth, root_records});
    std::unordered_set<std::uint64_t> seen{root};
    std::uint64_t found = 0, nodes = 0;
    while (!pending.empty()) {
        const Node node = pending.back();
        pending.pop_back();
        const std::string at = located("the v2 B-tree node", node.address);
        if (node.records > capacity[node.depth])
            return py::join({at, " holds ", number(node.records), " records, more than ",
                             number(capacity[node.depth]), " fit"});
        if (!read(node.address, node_size, bytes))
            return at + " lies outside the file";
        if (std::memcmp(bytes.data(), node.depth ? "BTIN" : "BTLF", 4) != 0 || bytes[4] != 0 || bytes[5] != type)
            return "there is no v2 B-tree node at " + number(node.address);
        if (++nodes > driver_->size / node_size)
            return at + " is one node more than the file can hold";
        found += node.records;
        if (node.depth == 0)
            continue;
        const std::uint64_t pointer = address_size_ + count_width + (node.depth > 1 ? below_width[node.depth - 1] : 0);
        for (std::uint64_t c = 0; c <= node.records; ++c) {
            const std::uint8_t *child = bytes.data() + 6 + node.records * record_size + c * pointer;
            const std::uint64_t child_address = address_at(child);
            if (!seen.insert(child_address).second)
                return located("the v2 B-tree node", child_address) + " is reached twice";
            pending.push_back({child_address, node.depth - 1, decode(child + address_size_, count_width)});
        }
    }
    if (found != total)
        return py::join({where, " holds ", number(found), " records, not the ", number(total), " it counts"});
    return std::nullopt;
}

}  // namespace zor::hdf5
