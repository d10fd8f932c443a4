// read(path, mmap=True): which datasets the native reader views in a memory
// map of the file instead of copying them (see core/guard/file_map).
#include "core/format/native_walk.hpp"

namespace zor::hdf5 {

using format::Element;

namespace {

constexpr bool kBigEndianHost = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

bool in_host_order(const Element &element) { return element.size == 1 || element.big_endian == kBigEndianHost; }

}  // namespace

void Reader::map_arrays(const File &file) { map_.emplace(file.get()); }

// A dataset is viewed in place when its bytes in the file are exactly the
// array H5Dread would make: a big number array, stored contiguously and
// unfiltered, allocated, in the host's byte order, of the very type it is
// read as (H5Tequal: no conversion, no padding). Its bytes lie in the file:
// bounds_problem holds every contiguous dataset to the size the map has.
std::optional<haddr_t> Reader::mapped_offset(const Object &dataset, const Element &element,
                                             const format::Shape &shape) {
    if (!map_ || !element.number() || shape.scalar || !in_host_order(element))
        return std::nullopt;
    // A dataset whose bytes cannot be counted (a hostile extent) is left to HDF5.
    const std::uint64_t bytes = format::bytes_of(shape.dims, element.size).value_or(0);
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

}  // namespace zor::hdf5
