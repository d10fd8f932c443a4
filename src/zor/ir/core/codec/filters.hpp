// The filters a read lets HDF5 apply to chunked data, and how far each can
// expand what the file stores.
//
// HDF5 decodes scale-offset and n-bit chunks by the element counts of their
// parameters without looking at the bytes it was given (and reads past
// them), checks a Fletcher-32 checksum of fewer than 4 bytes by reading
// before them, and its own deflate
// filter inflates as far as the stream goes, doubling its buffer: a chunk of
// 16 elements may inflate to gigabytes. So a read applies only the filters
// of the table below, in their order, and HDF5's deflate filter is replaced
// by one that inflates a chunk into exactly the chunk's bytes and no more.
// (In the table's order, Fletcher-32 is checked first, on the stored chunk,
// whose size the reader checks.)
#pragma once

#include "core/format/hdf5.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zor::hdf5 {

struct Filter {
    H5Z_filter_t id;
    const char *name;
    bool applied;  // by the reader
    std::uint64_t expansion;  // the most bytes decoding makes of one stored byte; 0: unknown
    std::uint64_t trailer;    // the bytes encoding appends (Fletcher-32's checksum)
};

// The filters of a dataset's creation properties `creation`, in the order
// they were applied when it was written; what is wrong when HDF5 would
// apply one the reader does not, or those it does come in another order. A
// filter HDF5 does not have is listed as unavailable: reading data it was
// applied to fails (no plugin is ever loaded for it).
std::optional<std::string> read_filters(hid_t creation, std::vector<const Filter *> &filters);

// While one lives, a deflated chunk must inflate to exactly `bytes` (the
// chunk's size): the deflate filter allocates that much, and refuses a
// stream that ends sooner or goes on. Outside of one it refuses every chunk.
// (HDF5 drops what a filter reports, so the filter tells its limit when it
// could not allocate the chunk.)
class InflateLimit {
public:
    explicit InflateLimit(std::uint64_t bytes);
    ~InflateLimit();
    InflateLimit(const InflateLimit &) = delete;
    InflateLimit &operator=(const InflateLimit &) = delete;

    // Whether allocating a chunk failed while this limit was set.
    bool out_of_memory() const;

private:
    std::uint64_t previous_;
};

// Replaces HDF5's deflate filter by the bounded one (once, as the module loads).
void register_bounded_deflate();

}  // namespace zor::hdf5
