#include "core/chunk_codec.hpp"
#include "core/python.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <string>

namespace zor::hdf5 {

namespace {

// A byte plane whose byte values are this close to uniform (bits per byte)
// cannot shrink by more than about 1%: it is stored, not searched.
constexpr double kIncompressibleEntropy = 7.9;
// Each plane is judged on a sample of this many bytes, taken from four places.
constexpr std::size_t kTrialPieces = 4, kTrialPiece = 2048;

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

// Deflate's worst case with a few switches of level: stored blocks cost 5
// bytes in 65535, each switch ends a block.
std::size_t deflate_bound(std::size_t bytes, std::size_t switches) { return bytes + bytes / 1024 + 64 * switches + 64; }

double byte_entropy(const std::uint8_t *data, std::size_t length) {
    std::size_t counts[256] = {};
    for (std::size_t i = 0; i < length; ++i)
        ++counts[data[i]];
    double bits = 0;
    for (std::size_t count : counts)
        if (count) {
            const double p = double(count) / double(length);
            bits -= p * std::log2(p);
        }
    return bits;
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

// Fletcher's checksum over big-endian 16-bit words (an odd last byte is the
// high byte of a word), both sums modulo 65535. HDF5 folds carries instead
// of reducing, so a non-zero multiple of 65535 comes out as 65535, not 0;
// sum2 goes in the high half.
std::uint32_t fletcher32(const std::uint8_t *data, std::size_t length) {
    constexpr std::size_t kWordsBetweenReductions = 4096;  // keeps sum2 well inside 64 bits
    std::uint64_t sum1 = 0, sum2 = 0;
    bool nonzero = false;
    const std::size_t words = length / 2;
    for (std::size_t start = 0; start < words; start += kWordsBetweenReductions) {
        const std::size_t end = std::min(words, start + kWordsBetweenReductions);
        for (std::size_t i = start; i < end; ++i) {
            const std::uint32_t word = std::uint32_t(data[2 * i]) << 8 | data[2 * i + 1];
            nonzero |= word != 0;
            sum1 += word;
            sum2 += sum1;
        }
        sum1 %= 65535;
        sum2 %= 65535;
    }
    if (length % 2) {
        const std::uint32_t word = std::uint32_t(data[length - 1]) << 8;
        nonzero |= word != 0;
        sum1 = (sum1 + word) % 65535;
        sum2 = (sum2 + sum1) % 65535;
    }
    auto folded = [nonzero](std::uint64_t sum) { return std::uint32_t(sum == 0 && nonzero ? 65535 : sum); };
    return folded(sum2) << 16 | folded(sum1);
}

ChunkEncoder::Deflater::Deflater(int level) {
    require(stream, deflateInit2(&stream, level, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY));
}

ChunkEncoder::ChunkEncoder(int deflate_level, bool checksum, std::size_t element_size, std::size_t chunk_bytes)
    : level_(deflate_level),
      checksum_(checksum),
      element_size_(element_size),
      chunk_bytes_(chunk_bytes),
      padded_(chunk_bytes),
      shuffled_(deflate_level && element_size > 1 ? chunk_bytes : 0),
      stored_(deflate_bound(chunk_bytes, element_size) + 4),
      sample_(kTrialPieces * kTrialPiece),
      trial_(deflate_bound(sample_.size(), 1)),
      deflater_(deflate_level),
      trial_deflater_(deflate_level) {}

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
    } else if (element_size_ == 1) {
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

// One zlib stream over the planes, each deflated with the parameters that
// suit it: deflateParams ends a block wherever they change.
std::size_t ChunkEncoder::deflate_planes(const std::uint8_t *chunk, std::size_t planes) {
    z_stream &stream = deflater_.stream;
    require(stream, deflateReset(&stream));
    stream.next_out = stored_.data();
    stream.avail_out = uInt(stored_.size() - 4);
    const std::size_t plane_bytes = chunk_bytes_ / planes;
    for (std::size_t p = 0; p < planes; ++p) {
        const std::uint8_t *plane = chunk + p * plane_bytes;
        auto [level, strategy] = plane_parameters(plane, plane_bytes);
        require(stream, deflateParams(&stream, level, strategy));
        stream.next_in = const_cast<Bytef *>(plane);
        stream.avail_in = uInt(plane_bytes);
        require(stream, deflate(&stream, Z_NO_FLUSH));
        if (stream.avail_in != 0)
            zlib_failed(stream, Z_BUF_ERROR);
    }
    require(stream, deflate(&stream, Z_FINISH), Z_STREAM_END);
    return stream.total_out;
}

// Near-uniform bytes are stored. Otherwise the sample decides between the
// requested level's search for repeats and Huffman coding alone, which
// wins, faster, on noisy bytes such as the high mantissa bits of trained
// weights, where repeats are rare and short.
std::pair<int, int> ChunkEncoder::plane_parameters(const std::uint8_t *plane, std::size_t length) {
    const std::size_t piece = std::min(kTrialPiece, length / kTrialPieces);
    sample_.resize(piece * kTrialPieces);
    for (std::size_t i = 0; i < kTrialPieces; ++i)
        std::memcpy(sample_.data() + i * piece, plane + i * (length / kTrialPieces), piece);
    if (byte_entropy(sample_.data(), sample_.size()) >= kIncompressibleEntropy)
        return {0, Z_DEFAULT_STRATEGY};
    const std::size_t search = trial_size(Z_DEFAULT_STRATEGY);
    return {level_, trial_size(Z_HUFFMAN_ONLY) < search ? Z_HUFFMAN_ONLY : Z_DEFAULT_STRATEGY};
}

std::size_t ChunkEncoder::trial_size(int strategy) {
    z_stream &stream = trial_deflater_.stream;
    require(stream, deflateReset(&stream));
    require(stream, deflateParams(&stream, level_, strategy));
    stream.next_in = sample_.data();
    stream.avail_in = uInt(sample_.size());
    stream.next_out = trial_.data();
    stream.avail_out = uInt(trial_.size());
    require(stream, deflate(&stream, Z_FINISH), Z_STREAM_END);
    return stream.total_out;
}

}  // namespace zor::hdf5
