// The two checksums a filtered chunk carries: zlib's Adler-32 at the end of
// its deflate stream, and HDF5's Fletcher-32 after the stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zor::hdf5 {

// Adler-32 (RFC 1950) of `length` bytes.
std::uint32_t adler32(const std::uint8_t *data, std::size_t length);

// HDF5's Fletcher-32 of `length` bytes.
std::uint32_t fletcher32(const std::uint8_t *data, std::size_t length);

}  // namespace zor::hdf5
