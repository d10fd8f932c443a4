#include "core/codec/filters.hpp"
#include "core/nodes/python.hpp"

#include <zlib.h>

#include <climits>

namespace zor::hdf5 {

namespace {

// Every filter HDF5 has built in. The reader applies the first three, in
// this order (the order h5py and write apply them; any of them may be left
// out). Deflate's longest match (258 bytes) costs at least two bits:
// 1032-fold.
constexpr Filter kFilters[] = {
    {H5Z_FILTER_SHUFFLE, "shuffle", true, 1, 0},
    {H5Z_FILTER_DEFLATE, "deflate", true, 1032, 0},
    {H5Z_FILTER_FLETCHER32, "fletcher32", true, 1, 4},
    {H5Z_FILTER_NBIT, "nbit", false, 0, 0},
    {H5Z_FILTER_SCALEOFFSET, "scaleoffset", false, 0, 0},
    {H5Z_FILTER_SZIP, "szip", false, 0, 0},
};
constexpr Filter kUnavailable{H5Z_FILTER_NONE, "unavailable", false, 0, 0};

// The size a deflated chunk must inflate to (0 outside of a read), and
// whether allocating it failed.
std::uint64_t inflate_limit = 0;
bool inflate_out_of_memory = false;

// HDF5's filter interface: the buffer `*buf` of `*buf_size` bytes holds
// `nbytes` of input; the filter replaces it and returns the output's size,
// 0 on failure. Buffers come from HDF5's allocator. It only decodes: write
// encodes its chunks itself (core/chunk_codec) and stores them with
// H5Dwrite_chunk, so HDF5 never encodes with it (it is registered as able
// to, so that datasets can still be created with deflate).
size_t bounded_deflate(unsigned flags, size_t values, const unsigned value[], size_t nbytes, size_t *buf_size,
                       void **buf) {
    if (!(flags & H5Z_FLAG_REVERSE) || values != 1 || value[0] > 9 || nbytes > UINT_MAX || inflate_limit == 0 ||
        inflate_limit > UINT_MAX)
        return 0;
    auto *out = static_cast<Bytef *>(H5allocate_memory(inflate_limit, false));
    if (!out) {
        inflate_out_of_memory = true;
        return 0;
    }
    z_stream stream{};
    stream.next_in = static_cast<Bytef *>(*buf);
    stream.avail_in = uInt(nbytes);
    stream.next_out = out;
    stream.avail_out = uInt(inflate_limit);
    const bool done = inflateInit(&stream) == Z_OK && inflate(&stream, Z_FINISH) == Z_STREAM_END &&
                      stream.total_out == inflate_limit;
    inflateEnd(&stream);
    if (!done) {
        H5free_memory(out);
        return 0;
    }
    H5free_memory(*buf);
    *buf = out;
    *buf_size = inflate_limit;
    return inflate_limit;
}

}  // namespace

std::optional<std::string> read_filters(hid_t creation, std::vector<const Filter *> &filters) {
    const char *what = "Unable to read dataset properties";
    const int count = check(H5Pget_nfilters(creation), what);
    std::vector<std::string> names;
    bool sound = true;
    const Filter *last = nullptr;  // of the table
    for (int i = 0; i < count; ++i) {
        std::size_t values = 0;  // of its parameters, none wanted
        const H5Z_filter_t id = check(H5Pget_filter2(creation, unsigned(i), nullptr, &values, nullptr, 0, nullptr,
                                                     nullptr),
                                      what);
        const Filter *filter = &kUnavailable;
        for (const Filter &known : kFilters)
            if (known.id == id)
                filter = &known;
        if (filter->applied) {
            sound = sound && (!last || last < filter);
            last = filter;
        } else if (filter != &kUnavailable || check(H5Zfilter_avail(id), what) > 0) {
            sound = false;
        }
        filters.push_back(filter);
        names.push_back(filter != &kUnavailable ? filter->name : "filter " + std::to_string(id));  // a file's own name may not be text
    }
    if (sound)
        return std::nullopt;
    std::string listed;
    for (const std::string &name : names)
        listed += (listed.empty() ? "" : ", ") + name;
    return "has filters the reader does not apply (" + listed + ")";
}

InflateLimit::InflateLimit(std::uint64_t bytes) : previous_(inflate_limit) {
    inflate_limit = bytes;
    inflate_out_of_memory = false;
}

InflateLimit::~InflateLimit() { inflate_limit = previous_; }

bool InflateLimit::out_of_memory() const { return inflate_out_of_memory; }

void register_bounded_deflate() {
    static const H5Z_class2_t bounded{H5Z_CLASS_T_VERS, H5Z_FILTER_DEFLATE, 1, 1, "deflate", nullptr, nullptr,
                                      bounded_deflate};
    check(H5Zregister(&bounded), "Unable to register the deflate filter");
}

}  // namespace zor::hdf5
