// Deflate blocks (RFC 1951) for byte planes in which repeats are rare: one
// dynamic Huffman block that codes every byte as a literal, or stored
// blocks. zlib's Huffman-only strategy makes the same block at about 150
// MB/s, because it still runs every byte through its match machinery; a
// table lookup per byte runs several times faster. Planes with repeats
// worth searching for are left to zlib, whose raw output a stream takes in
// between its own blocks (core/chunk_codec).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zor::hdf5 {

using ByteCounts = std::array<std::uint64_t, 256>;

ByteCounts count_bytes(const std::uint8_t *data, std::size_t length);

// The code of a literal block for bytes of these counts: a Huffman code
// over the 256 byte values and the end of the block. Its codes are at most
// 12 bits long (deflate allows 15), so that four fit one word as they are
// sent; what that costs is well below 1% on any plane.
class LiteralCode {
public:
    explicit LiteralCode(const ByteCounts &counts);
    // The block's size, header and end included.
    std::uint64_t block_bits() const { return bits_; }

private:
    friend class DeflateStream;
    static constexpr std::size_t kSymbols = 257, kLengthSymbols = 19;
    static constexpr unsigned kLongestCode = 12;
    std::array<std::uint8_t, kSymbols> length_{};
    std::array<std::uint16_t, kSymbols> code_{};  // bit-reversed: deflate sends codes from their first bit
    std::array<std::uint32_t, kSymbols> entry_{};  // length << 16 | code
    std::array<std::uint8_t, kLengthSymbols> length_code_length_{};
    std::array<std::uint16_t, kLengthSymbols> length_code_{};
    unsigned length_code_count_ = 0;  // sent in the header, in its permuted order
    std::uint64_t bits_ = 0;
};

// A raw deflate stream written into a buffer the caller has sized, with 8
// bytes of room past the stream's end; blocks are never final until finish().
class DeflateStream {
public:
    explicit DeflateStream(std::uint8_t *out) : out_(out) {}

    // Stored blocks cost 5 bytes in 65,535 (a bound, wherever they start).
    static std::uint64_t stored_bits(std::size_t length) { return 8 * (length + 5 * (length / 65535 + 1)); }

    void literal_block(const std::uint8_t *data, std::size_t length, const LiteralCode &code);
    void stored_blocks(const std::uint8_t *data, std::size_t length);
    // Brings the stream to a byte boundary (with an empty stored block when
    // it is not at one) and returns where its next byte goes, so that
    // another encoder can append blocks there; resume() takes the stream
    // back after them.
    std::uint8_t *align();
    void resume(std::uint8_t *next) { out_ = next; }
    // Ends the stream with an empty final block; returns its end.
    std::uint8_t *finish();

private:
    void put(std::uint32_t value, unsigned bits);
    void flush_whole_bytes();
    void pad_to_byte();
    void stored_header(std::size_t size);

    std::uint8_t *out_;
    std::uint64_t pending_ = 0;  // bits not yet in out_, the first in the lowest bit
    unsigned pending_bits_ = 0;  // fewer than 32 between calls
};

}  // namespace zor::hdf5
