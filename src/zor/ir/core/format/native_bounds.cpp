// read(): the memory a dataset's data may take, decided before any of it is
// allocated. Data stored as it is must lie in the file byte for byte: a
// contiguous dataset inside the file, each unfiltered chunk exactly a chunk.
// Data that is not (chunks decompressed, storage never written and read as
// the fill value) can claim more than the file holds: each chunk must be
// able to hold its claim within its filters' expansion, and the array stays
// within max_array_bytes.
#include "core/codec/filters.hpp"
#include "core/format/native_walk.hpp"

namespace zor::hdf5 {

using format::Element;

namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

// What H5Dchunk_iter reports of the chunks written, checked one by one.
struct Chunks {
    const Reader &reader;
    const std::vector<const Filter *> &filters;
    std::uint64_t chunk_bytes, spanned;
    std::uint64_t written = 0;
    std::optional<std::string> problem = {};
};

// A chunk is stored with the filters its mask leaves applied: those that
// change its size must be able to give back `chunk_bytes`; without them it
// is the chunk itself, plus what the others append. Of an unavailable
// filter nothing is known: HDF5 refuses to read what it was applied to.
// The index lists no more chunks than the dataset spans (HDF5 removes the
// chunks beyond an extent it shrinks).
int check_chunk(const hsize_t *, unsigned mask, haddr_t address, hsize_t size, void *data) {
    auto &chunks = *static_cast<Chunks *>(data);
    std::uint64_t trailer = 0, expansion = 1;
    for (std::size_t i = 0; i < chunks.filters.size(); ++i)
        if (!(mask & (1u << i))) {
            trailer += chunks.filters[i]->trailer;
            expansion *= chunks.filters[i]->expansion;
        }
    if (++chunks.written > chunks.spanned) {
        chunks.problem = py::join({"has an index of more chunks than the ", number(chunks.spanned), " it spans"});
        return H5_ITER_STOP;
    }
    std::uint64_t most = 0;  // the bytes the chunk can decode to
    if (size > trailer && __builtin_mul_overflow(size - trailer, expansion, &most))
        most = UINT64_MAX;
    chunks.problem = chunks.reader.outside_file("a chunk", address, size);
    if (!chunks.problem &&
        (expansion == 1 ? size != chunks.chunk_bytes + trailer : expansion != 0 && most < chunks.chunk_bytes))
        chunks.problem = py::join({"has a chunk of ", number(size), " bytes that cannot hold its ",
                                   number(chunks.chunk_bytes)});
    return chunks.problem ? H5_ITER_STOP : H5_ITER_CONT;
}

}  // namespace

std::optional<std::string> Reader::outside_file(const char *what, std::uint64_t offset, std::uint64_t bytes) const {
    const std::uint64_t file_size = checks_.file_size();
    if (offset <= file_size && bytes <= file_size - offset)
        return std::nullopt;
    return py::join({"has ", what, " beyond the end of the file (", number(bytes), " bytes at offset ", number(offset),
                     ", the file holds ", number(file_size), ")"});
}

std::optional<std::string> Reader::beyond_limit(std::uint64_t bytes) const {
    if (!max_array_bytes_ || bytes <= *max_array_bytes_)
        return std::nullopt;
    return py::join({"would take ", number(bytes), " bytes, more than max_array_bytes (", number(*max_array_bytes_),
                     ") allows for data that is compressed or never written"});
}

std::optional<std::string> Reader::bounds_problem(const Object &dataset, const Element &element,
                                                  const format::Shape &shape) {
    Type file_type(H5Dget_type(dataset.get()), "Unable to read datatype");
    const std::uint64_t type_size = H5Tget_size(file_type.get());
    const std::optional<std::uint64_t> claimed = format::bytes_of(shape.dims, element.size);
    const std::optional<std::uint64_t> stored_claim = format::bytes_of(shape.dims, type_size);
    if (!claimed || !stored_claim)
        return std::string("has more elements than memory can count");
    if (*claimed == 0)
        return std::nullopt;
    const haddr_t offset = H5Dget_offset(dataset.get());
    if (offset != HADDR_UNDEF) {  // contiguous, and written
        const hsize_t stored = H5Dget_storage_size(dataset.get());
        if (stored != *stored_claim)
            return py::join({"has ", number(stored), " bytes of data for ", number(*stored_claim), " bytes of elements"});
        return outside_file("its data", offset, stored);
    }
    PropertyList creation(H5Dget_create_plist(dataset.get()), "Unable to read dataset properties");
    switch (H5Pget_layout(creation.get())) {
        case H5D_COMPACT: return std::nullopt;  // in its object header, which HDF5 checks against the extent
        case H5D_CHUNKED: return chunks_problem(dataset, creation.get(), shape, type_size, *claimed);
        default: return beyond_limit(*claimed);  // contiguous, never written: the fill value
    }
}

std::optional<std::string> Reader::chunks_problem(const Object &dataset, hid_t creation, const format::Shape &shape,
                                                  std::uint64_t type_size, std::uint64_t claimed) {
    std::vector<const Filter *> filters;
    if (std::optional<std::string> problem = read_filters(creation, filters))
        return problem;
    std::vector<hsize_t> chunk(shape.dims.size());
    const int rank = check(H5Pget_chunk(creation, int(chunk.size()), chunk.data()), "Unable to read dataset properties");
    const std::optional<std::uint64_t> chunk_size = format::bytes_of(chunk, type_size);
    if (std::size_t(rank) != chunk.size() || !chunk_size || *chunk_size == 0 || *chunk_size > UINT32_MAX)
        return std::string("has impossible chunks");
    // The chunks the dataset spans. Unfiltered, all of them written, the file holds the data as it
    // is; otherwise it is held to the limit, which the index need not be walked to apply when the
    // file has no room for all of them.
    std::uint64_t spanned = 1, spanned_bytes = 0;
    for (std::size_t d = 0; d < chunk.size(); ++d)
        if (__builtin_mul_overflow(spanned, (shape.dims[d] + chunk[d] - 1) / chunk[d], &spanned))
            spanned = UINT64_MAX;
    const bool storable = !__builtin_mul_overflow(spanned, *chunk_size, &spanned_bytes) && spanned_bytes <= checks_.file_size();
    std::optional<std::string> beyond = beyond_limit(filters.empty() ? claimed : std::max(claimed, *chunk_size));
    if (beyond && (!filters.empty() || !storable))
        return beyond;
    Chunks chunks{*this, filters, *chunk_size, spanned};
    check(H5Dchunk_iter(dataset.get(), H5P_DEFAULT, check_chunk, &chunks), "Unable to read the chunk index");
    if (chunks.problem)
        return chunks.problem;
    return filters.empty() && chunks.written == spanned ? std::nullopt : beyond;
}

std::uint64_t Reader::chunk_bytes(const Object &dataset) {
    if (H5Dget_offset(dataset.get()) != HADDR_UNDEF)
        return 0;
    PropertyList creation(H5Dget_create_plist(dataset.get()), "Unable to read dataset properties");
    if (H5Pget_layout(creation.get()) != H5D_CHUNKED)
        return 0;
    Type file_type(H5Dget_type(dataset.get()), "Unable to read datatype");
    std::vector<hsize_t> chunk(check(H5Pget_chunk(creation.get(), 0, nullptr), "Unable to read dataset properties"));
    check(H5Pget_chunk(creation.get(), int(chunk.size()), chunk.data()), "Unable to read dataset properties");
    return format::bytes_of(chunk, H5Tget_size(file_type.get())).value_or(0);
}

}  // namespace zor::hdf5
