#include "core/codec/chunk_codec.hpp"
#include "core/codec/checksums.hpp"
#include "core/codec/deflate.hpp"
#include "core/nodes/python.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

namespace zor::hdf5 {

namespace {

// A byte plane whose byte values are this close to uniform (bits per byte)
// cannot shrink by more than about 1% as literals: unless it repeats
// itself, it is stored.
constexpr double kIncompressibleEntropy = 7.9;
// Each plane is judged on a sample of this many bytes, taken from four places.
constexpr std::size_t kTrialPieces = 4, kTrialPiece = 1024;

[[noreturn]] void zlib_failed(const z_stream &stream, int status) {
    if (status == Z_MEM_ERROR)
        throw std::bad_alloc();
    py::raise(PyExc_RuntimeError, "Unable to compress a chunk (zlib: " +
                                      std::string(stream.msg ? stream.msg : std::to_string(status)) + ")");
}

void require(const z_stream &stream, int status, int expected = Z_OK) {
    if (status != expected)
        zlib_failed(stream, status);
}

// The most a deflate stream of `planes` planes takes: no plane's blocks
// take more than its bytes, 5 in every 65,535 (stored blocks; literals are
// only used when smaller; zlib's worst is below 1 in 4,096) and 64 for the
// ends of its blocks and a realignment.
std::size_t deflate_bound(std::size_t bytes, std::size_t planes) { return bytes + bytes / 1024 + 64 * planes + 64; }

double entropy(const ByteCounts &counts, std::size_t length) {
    double bits = 0;
    for (std::uint64_t count : counts)
        if (count) {
            const double p = double(count) / double(length);
            bits -= p * std::log2(p);
        }
    return bits;
}

// The second byte of a zlib header names the level class (for information
// only) and makes the header a multiple of 31.
std::uint8_t zlib_flags(int level) {
    constexpr std::uint8_t kFlags[] = {0x01, 0x5e, 0x9c, 0xda};
    return kFlags[level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3];
}

// Shuffle: plane b holds byte b of every element of `Size` bytes, in order.
template <std::size_t Size>
void shuffle(const std::uint8_t *chunk, std::size_t bytes, std::uint8_t *planes) {
    const std::size_t count = bytes / Size;
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t b = 0; b < Size; ++b)
            planes[b * count + i] = chunk[i * Size + b];
}

}  // namespace

ChunkEncoder::Deflater::Deflater(int level) {
    require(stream, deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY));
}

std::uint8_t *ChunkEncoder::Deflater::run(const std::uint8_t *in, std::size_t length, std::uint8_t *out,
                                          std::size_t room, int flush) {
    require(stream, deflateReset(&stream));
    stream.next_in = const_cast<Bytef *>(in);
    stream.avail_in = uInt(length);
    stream.next_out = out;
    stream.avail_out = uInt(room);
    require(stream, deflate(&stream, flush), flush == Z_FINISH ? Z_STREAM_END : Z_OK);
    // A flush that filled its room may have more to give.
    if (stream.avail_in != 0 || (flush != Z_FINISH && stream.avail_out == 0))
        zlib_failed(stream, Z_BUF_ERROR);
    return out + (room - stream.avail_out);
}

ChunkEncoder::ChunkEncoder(int deflate_level, bool checksum, std::size_t element_size, std::size_t chunk_bytes)
    : level_(deflate_level),
      checksum_(checksum),
      element_size_(element_size),
      chunk_bytes_(chunk_bytes),
      padded_(chunk_bytes),
      shuffled_(shuffles(deflate_level, element_size) ? chunk_bytes : 0),
      stored_(deflate_bound(chunk_bytes, element_size) + 4),
      sample_(kTrialPieces * kTrialPiece),
      trial_(deflate_bound(sample_.size(), 1)),
      searcher_(deflate_level),
      trial_searcher_(1) {}

ChunkEncoder::Bytes ChunkEncoder::encode(const std::uint8_t *data, std::size_t length) {
    const std::uint8_t *chunk = data;
    if (length < chunk_bytes_) {
        std::memcpy(padded_.data(), data, length);
        std::memset(padded_.data() + length, 0, chunk_bytes_ - length);
        chunk = padded_.data();
    }
    std::size_t size = chunk_bytes_;
    if (level_ == 0) {
        std::memcpy(stored_.data(), chunk, chunk_bytes_);
    } else if (!shuffles(level_, element_size_)) {
        size = deflate_planes(chunk, 1);
    } else {
        switch (element_size_) {  // the common sizes unrolled
            case 2: shuffle<2>(chunk, chunk_bytes_, shuffled_.data()); break;
            case 4: shuffle<4>(chunk, chunk_bytes_, shuffled_.data()); break;
            case 8: shuffle<8>(chunk, chunk_bytes_, shuffled_.data()); break;
            default: shuffle<16>(chunk, chunk_bytes_, shuffled_.data()); break;
        }
        size = deflate_planes(shuffled_.data(), element_size_);
    }
    if (checksum_) {
        const std::uint32_t sum = fletcher32(stored_.data(), size);
        for (int shift = 0; shift < 32; shift += 8)
            stored_[size++] = std::uint8_t(sum >> shift);
    }
    return {stored_.data(), size};
}

// A zlib stream (header, deflate blocks, Adler-32 of the planes) in which
// each plane is coded as suits it.
std::size_t ChunkEncoder::deflate_planes(const std::uint8_t *chunk, std::size_t planes) {
    stored_[0] = 0x78;  // deflate, 32 KiB window
    stored_[1] = zlib_flags(level_);
    DeflateStream stream(stored_.data() + 2);
    const std::size_t plane_bytes = chunk_bytes_ / planes;
    for (std::size_t p = 0; p < planes; ++p) {
        const std::uint8_t *plane = chunk + p * plane_bytes;
        const Coding coding = plane_coding(plane, plane_bytes);
        if (coding == Coding::search) {
            stream.resume(search(plane, plane_bytes, stream.align()));
            continue;
        }
        if (coding == Coding::literals) {
            const LiteralCode code(count_bytes(plane, plane_bytes));
            if (code.block_bits() < DeflateStream::stored_bits(plane_bytes)) {
                stream.literal_block(plane, plane_bytes, code);
                continue;
            }
        }
        stream.stored_blocks(plane, plane_bytes);
    }
    std::uint8_t *end = stream.finish();
    const std::uint32_t sum = adler32(chunk, chunk_bytes_);
    for (int shift = 24; shift >= 0; shift -= 8)
        *end++ = std::uint8_t(sum >> shift);
    return std::size_t(end - stored_.data());
}

// zlib's quickest search for repeats on the sample decides whether the
// search at the requested level is worth its time: it wins on runs and
// repeated values (zeros, quantised weights) and on patterns whose bytes are
// evenly spread (ramps, gradients, tiled tables); elsewhere literals alone,
// several times faster, code noisy bytes such as the exponents of trained
// weights, and near-uniform bytes without repeats are stored.
ChunkEncoder::Coding ChunkEncoder::plane_coding(const std::uint8_t *plane, std::size_t length) {
    const std::size_t piece = std::min(kTrialPiece, length / kTrialPieces);
    sample_.resize(piece * kTrialPieces);
    for (std::size_t i = 0; i < kTrialPieces; ++i)
        std::memcpy(sample_.data() + i * piece, plane + i * (length / kTrialPieces), piece);
    const ByteCounts counts = count_bytes(sample_.data(), sample_.size());
    const bool uniform = entropy(counts, sample_.size()) >= kIncompressibleEntropy;
    const std::uint8_t *trial_end = trial_searcher_.run(sample_.data(), sample_.size(), trial_.data(), trial_.size(),
                                                        Z_FINISH);
    const std::uint64_t trial_bits = 8 * std::uint64_t(trial_end - trial_.data());
    // The search is slow: it must save a 32nd of the best without it.
    const std::uint64_t stored = DeflateStream::stored_bits(sample_.size());
    const std::uint64_t without = uniform ? stored : std::min(LiteralCode(counts).block_bits(), stored);
    if (trial_bits < without - without / 32)
        return Coding::search;
    return uniform ? Coding::stored : Coding::literals;
}

std::uint8_t *ChunkEncoder::search(const std::uint8_t *plane, std::size_t length, std::uint8_t *out) {
    // Room for the rest: the final block, Adler-32 and the checksum.
    const std::size_t room = std::size_t(stored_.data() + stored_.size() - out) - 2 - 4 - 4;
    return searcher_.run(plane, length, out, room, Z_SYNC_FLUSH);  // a sync flush ends on a byte boundary
}

}  // namespace zor::hdf5
