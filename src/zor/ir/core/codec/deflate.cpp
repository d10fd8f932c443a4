#include "core/codec/deflate.hpp"

#include <algorithm>
#include <cstring>

namespace zor::hdf5 {

namespace {

// The order in which a dynamic block's header sends the lengths of the code
// of code lengths.
constexpr std::uint8_t kLengthCodeOrder[] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Huffman code lengths for symbols of these weights (0: unused), none
// longer than `limit`. Weights are halved until the plain Huffman code
// fits: equal weights give lengths of log2 of the symbols, well inside the limit.
template <std::size_t N>
std::array<std::uint8_t, N> huffman_lengths(std::array<std::uint64_t, N> weight, unsigned limit) {
    std::array<std::uint8_t, N> lengths{};
    for (;;) {
        std::array<std::uint16_t, N> leaves;  // used symbols, lightest first
        std::size_t count = 0;
        for (std::size_t s = 0; s < N; ++s)
            if (weight[s])
                leaves[count++] = std::uint16_t(s);
        if (count < 2) {
            if (count == 1)
                lengths[leaves[0]] = 1;
            return lengths;
        }
        std::sort(leaves.begin(), leaves.begin() + count, [&weight](std::uint16_t a, std::uint16_t b) {
            return weight[a] < weight[b] || (weight[a] == weight[b] && a < b);
        });
        // Nodes 0..count-1 are the leaves in that order, then the joined
        // nodes as they are made; these come out in order of weight too, so
        // the two lightest are always at the fronts of the two runs.
        std::array<std::uint64_t, 2 * N> node_weight;
        std::array<std::uint16_t, 2 * N> parent;
        for (std::size_t i = 0; i < count; ++i)
            node_weight[i] = weight[leaves[i]];
        std::size_t next_leaf = 0, next_joined = count, end = count;
        auto lightest = [&] {
            if (next_leaf < count && (next_joined == end || node_weight[next_leaf] <= node_weight[next_joined]))
                return next_leaf++;
            return next_joined++;
        };
        while (end < 2 * count - 1) {
            const std::size_t a = lightest(), b = lightest();
            node_weight[end] = node_weight[a] + node_weight[b];
            parent[a] = parent[b] = std::uint16_t(end++);
        }
        std::array<std::uint16_t, 2 * N> depth;  // a parent always comes after its children
        depth[end - 1] = 0;
        unsigned deepest = 0;
        for (std::size_t i = end - 1; i-- > 0;) {
            depth[i] = std::uint16_t(depth[parent[i]] + 1);
            deepest = std::max<unsigned>(deepest, depth[i]);
        }
        if (deepest <= limit) {
            for (std::size_t i = 0; i < count; ++i)
                lengths[leaves[i]] = std::uint8_t(depth[i]);
            return lengths;
        }
        for (std::uint64_t &w : weight)
            w = (w + 1) / 2;
    }
}

// Deflate's canonical codes for these lengths, bit-reversed for sending.
template <std::size_t N>
std::array<std::uint16_t, N> canonical_codes(const std::array<std::uint8_t, N> &lengths) {
    unsigned with_length[16] = {}, next[16] = {};
    for (std::uint8_t length : lengths)
        ++with_length[length];
    with_length[0] = 0;
    for (unsigned bits = 1, code = 0; bits < 16; ++bits)
        next[bits] = code = (code + with_length[bits - 1]) << 1;
    std::array<std::uint16_t, N> codes{};
    for (std::size_t s = 0; s < N; ++s) {
        if (!lengths[s])
            continue;
        unsigned code = next[lengths[s]]++, reversed = 0;
        for (unsigned bit = 0; bit < lengths[s]; ++bit, code >>= 1)
            reversed = reversed << 1 | (code & 1);
        codes[s] = std::uint16_t(reversed);
    }
    return codes;
}

template <int Bytes>
void store(std::uint8_t *out, std::uint64_t bits) {  // little-endian; compilers make it one store
    for (int i = 0; i < Bytes; ++i)
        out[i] = std::uint8_t(bits >> (8 * i));
}
constexpr auto store32 = store<4>;
constexpr auto store64 = store<8>;

}  // namespace

ByteCounts count_bytes(const std::uint8_t *data, std::size_t length) {
    // Eight tables, so that a run of one byte value does not wait on one
    // counter; 32-bit counters, emptied into the result every 2^32 bytes.
    constexpr std::size_t kTables = 8, kRun = std::size_t(1) << 32;
    ByteCounts counts{};
    while (length > 0) {
        const std::size_t run = std::min(length, kRun - kTables);
        std::uint32_t tables[kTables][256] = {};
        std::size_t i = 0;
        for (; i + kTables <= run; i += kTables)
            for (std::size_t t = 0; t < kTables; ++t)
                ++tables[t][data[i + t]];
        for (; i < run; ++i)
            ++tables[0][data[i]];
        for (std::size_t b = 0; b < 256; ++b)
            for (std::size_t t = 0; t < kTables; ++t)
                counts[b] += tables[t][b];
        data += run;
        length -= run;
    }
    return counts;
}

// The header sends the 257 literal lengths, then two distance codes of one
// bit: no distance is ever sent, but inflaters want a complete code. Both
// go through the code of code lengths, which has at least the two lengths
// 1 and 0 or another (257 literals cannot all have one length).
LiteralCode::LiteralCode(const ByteCounts &counts) {
    std::array<std::uint64_t, kSymbols> weight;
    std::copy(counts.begin(), counts.end(), weight.begin());
    weight[256] = 1;  // the end of the block
    length_ = huffman_lengths(weight, kLongestCode);
    code_ = canonical_codes(length_);
    for (std::size_t s = 0; s < kSymbols; ++s)
        entry_[s] = std::uint32_t(length_[s]) << 16 | code_[s];

    std::array<std::uint64_t, kLengthSymbols> length_counts{};
    for (std::uint8_t length : length_)
        ++length_counts[length];
    length_counts[1] += 2;
    length_code_length_ = huffman_lengths(length_counts, 7);
    length_code_ = canonical_codes(length_code_length_);
    length_code_count_ = kLengthSymbols;
    while (length_code_count_ > 4 && !length_code_length_[kLengthCodeOrder[length_code_count_ - 1]])
        --length_code_count_;

    bits_ = 3 + 5 + 5 + 4 + 3 * length_code_count_ + 2 * length_code_length_[1] + length_[256];
    for (std::uint8_t length : length_)
        bits_ += length_code_length_[length];
    for (std::size_t b = 0; b < 256; ++b)
        bits_ += counts[b] * length_[b];
}

void DeflateStream::put(std::uint32_t value, unsigned bits) {
    pending_ |= std::uint64_t(value) << pending_bits_;
    pending_bits_ += bits;
    if (pending_bits_ >= 32) {
        store32(out_, pending_);
        out_ += 4;
        pending_ >>= 32;
        pending_bits_ -= 32;
    }
}

void DeflateStream::flush_whole_bytes() {
    for (; pending_bits_ >= 8; pending_bits_ -= 8) {
        *out_++ = std::uint8_t(pending_);
        pending_ >>= 8;
    }
}

void DeflateStream::pad_to_byte() {
    while (pending_bits_ > 0) {
        *out_++ = std::uint8_t(pending_);
        pending_ >>= 8;
        pending_bits_ = pending_bits_ > 8 ? pending_bits_ - 8 : 0;
    }
}

void DeflateStream::stored_header(std::size_t size) {
    put(0, 3);  // not the last block, stored
    pad_to_byte();
    const std::uint8_t header[] = {std::uint8_t(size), std::uint8_t(size >> 8), std::uint8_t(~size),
                                   std::uint8_t(~size >> 8)};
    out_ = std::copy(std::begin(header), std::end(header), out_);
}

void DeflateStream::literal_block(const std::uint8_t *data, std::size_t length, const LiteralCode &code) {
    put(0, 1);  // not the last block
    put(2, 2);  // dynamic Huffman codes
    put(LiteralCode::kSymbols - 257, 5);
    put(2 - 1, 5);  // distance codes
    put(code.length_code_count_ - 4, 4);
    for (unsigned i = 0; i < code.length_code_count_; ++i)
        put(code.length_code_length_[kLengthCodeOrder[i]], 3);
    auto put_length = [&](std::uint8_t length) { put(code.length_code_[length], code.length_code_length_[length]); };
    for (std::uint8_t length : code.length_)
        put_length(length);
    put_length(1);
    put_length(1);

    // The bytes themselves, four at a time: four codes of at most 12 bits
    // and fewer than 8 bits pending fit one 64-bit word, which is stored
    // whole (the buffer has room past the stream's end).
    flush_whole_bytes();
    std::uint64_t pending = pending_;
    unsigned pending_bits = pending_bits_;
    std::uint8_t *out = out_;
    const std::uint32_t *entry = code.entry_.data();
    auto append = [&](std::uint64_t codes, unsigned bits) {
        pending |= codes << pending_bits;
        pending_bits += bits;
        store64(out, pending);
        out += pending_bits >> 3;
        pending >>= pending_bits & ~7u;
        pending_bits &= 7;
    };
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        const std::uint32_t e0 = entry[data[i]], e1 = entry[data[i + 1]], e2 = entry[data[i + 2]],
                            e3 = entry[data[i + 3]];
        const unsigned at1 = e0 >> 16, at2 = at1 + (e1 >> 16), at3 = at2 + (e2 >> 16);
        append((e0 & 0xffff) | std::uint64_t(e1 & 0xffff) << at1 | std::uint64_t(e2 & 0xffff) << at2 |
                   std::uint64_t(e3 & 0xffff) << at3,
               at3 + (e3 >> 16));
    }
    for (; i < length; ++i)
        append(entry[data[i]] & 0xffff, entry[data[i]] >> 16);
    pending_ = pending;
    pending_bits_ = pending_bits;
    out_ = out;
    put(code.code_[256], code.length_[256]);
}

void DeflateStream::stored_blocks(const std::uint8_t *data, std::size_t length) {
    while (length > 0) {
        const std::size_t size = std::min<std::size_t>(length, 65535);
        stored_header(size);
        out_ = std::copy(data, data + size, out_);
        data += size;
        length -= size;
    }
}

std::uint8_t *DeflateStream::align() {
    if (pending_bits_ % 8)
        stored_header(0);  // an empty stored block ends on a byte boundary
    pad_to_byte();
    return out_;
}

std::uint8_t *DeflateStream::finish() {
    put(1, 1);  // the last block
    put(1, 2);  // fixed Huffman codes
    put(0, 7);  // whose end-of-block code is seven zero bits
    pad_to_byte();
    return out_;
}

}  // namespace zor::hdf5
