// The encoding of one chunk of a filtered dataset, as HDF5's built-in
// filters decode it: shuffle (bytes grouped by their position in the
// element), deflate (a zlib stream), then Fletcher-32 (four bytes appended,
// little-endian). write(compression=..., checksum=...) encodes chunks here and
// hands them to H5Dwrite_chunk, so that it can choose how to deflate each
// byte plane (stored, literals only, or zlib's search for repeats); any
// HDF5 reader (h5py included) decodes them with its own filters.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zor::hdf5 {

class ChunkEncoder {
public:
    // `deflate_level` 1 to 9 deflates, after shuffling where shuffles() says;
    // 0 does neither.
    ChunkEncoder(int deflate_level, bool checksum, std::size_t element_size, std::size_t chunk_bytes);

    // Whether chunks are shuffled before they are deflated: only elements
    // wider than a byte have planes to group. The dataset's filter pipeline
    // must say the same, or its chunks do not decode.
    static bool shuffles(int deflate_level, std::size_t element_size) { return deflate_level > 0 && element_size > 1; }

    struct Bytes {
        const std::uint8_t *data;
        std::size_t size;
    };
    // The stored form of a chunk whose first `length` bytes are `data` (an
    // edge chunk holds fewer; the rest of it is zeros). Valid until the next call.
    Bytes encode(const std::uint8_t *data, std::size_t length);

private:
    // A raw zlib deflate stream at the requested level; it stays where it
    // was opened (zlib keeps its address).
    struct Deflater {
        z_stream stream{};
        explicit Deflater(int level);
        ~Deflater() { deflateEnd(&stream); }
        // Deflates `length` bytes afresh into the `room` bytes at `out`, ended
        // by `flush` (Z_FINISH or Z_SYNC_FLUSH); returns the end of the output.
        std::uint8_t *run(const std::uint8_t *in, std::size_t length, std::uint8_t *out, std::size_t room, int flush);
        Deflater(const Deflater &) = delete;
        Deflater &operator=(const Deflater &) = delete;
    };
    enum class Coding { stored, literals, search };

    // Deflates the chunk's planes into stored_ as one zlib stream; returns its size.
    std::size_t deflate_planes(const std::uint8_t *chunk, std::size_t planes);
    // How to code one byte plane, judged on a sample of it.
    Coding plane_coding(const std::uint8_t *plane, std::size_t length);
    // zlib's blocks for a plane at `out`, ended on a byte boundary; returns their end.
    std::uint8_t *search(const std::uint8_t *plane, std::size_t length, std::uint8_t *out);

    int level_;
    bool checksum_;
    std::size_t element_size_, chunk_bytes_;
    // Sized once; stored_ has room for a chunk's stream and its checksum.
    std::vector<std::uint8_t> padded_, shuffled_, stored_, sample_, trial_;
    Deflater searcher_, trial_searcher_;
};

}  // namespace zor::hdf5
