// read(path, mmap=True): which datasets the native reader views in a memory
// map of the file instead of copying them (see core/file_map).
#include "core/format/native_walk.hpp"

namespace zor::hdf5 {

using format::Element;

namespace {

constexpr bool kBigEndianHost = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

bool in_host_order(const Element &element) { return element.size == 1 || element.big_endian == kBigEndianHost; }

// The bytes of `shape` elements of `element_size`, or 0 when they cannot be
// counted (a hostile extent): such a dataset is left to HDF5.
std::uint64_t byte_count(const format::Shape &shape, std::uint64_t element_size) {
    std::uint64_t bytes = element_size;
    for (hsize_t dim : shape.dims) {
        if (dim && bytes > UINT64_MAX / dim)
            return 0;
        bytes *= dim;
    }
    return bytes;
}

}  // namespace

void Reader::map_arrays(const File &file) { map_.emplace(file.get()); }

// A dataset is viewed in place when its bytes in the file are exactly the
// array H5Dread would make: a big number array, stored contiguously and
// unfiltered, allocated, in the host's byte order, of the very type it is
// read as (H5Tequal: no conversion, no padding).
std::optional<haddr_t> Reader::mapped_offset(const Object &dataset, const Element &element,
                                             const format::Shape &shape) {
    if (!map_ || !element.number() || shape.scalar || !in_host_order(element))
        return std::nullopt;
    const std::uint64_t bytes = byte_count(shape, element.size);
    if (bytes < format::kBigArray)
        return std::nullopt;
    PropertyList creation(H5Dget_create_plist(dataset.get()), "Unable to read dataset properties");
    if (H5Pget_layout(creation.get()) != H5D_CONTIGUOUS ||
        check(H5Pget_nfilters(creation.get()), "Unable to read dataset properties") != 0)
        return std::nullopt;
    Type file_type(H5Dget_type(dataset.get()), "Unable to read datatype");
    if (check(H5Tequal(file_type.get(), types_.of(element)), "Unable to compare datatypes") <= 0)
        return std::nullopt;
    const haddr_t offset = H5Dget_offset(dataset.get());
    if (offset == HADDR_UNDEF || H5Dget_storage_size(dataset.get()) != bytes)
        return std::nullopt;
    return offset;
}

std::optional<std::string> Reader::mapping_problem(const Object &dataset, const Element &element,
                                                   const format::Shape &shape) {
    std::optional<haddr_t> offset = mapped_offset(dataset, element, shape);
    if (!offset)
        return std::nullopt;
    const std::uint64_t bytes = byte_count(shape, element.size);
    if (*offset > map_->size() || bytes > map_->size() - *offset)
        return py::join({"has its data beyond the end of the file (", std::to_string(bytes), " bytes at offset ",
                         std::to_string(*offset), ", the file holds ", std::to_string(map_->size()), ")"});
    return std::nullopt;
}

}  // namespace zor::hdf5
