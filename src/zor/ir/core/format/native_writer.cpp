#include "core/codec/chunk_codec.hpp"
#include "core/format/native_walk.hpp"
#include "core/nodes/numpy.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace zor::hdf5 {

namespace py = zor::py;
using format::Element;

// ---------------------------------------------------------------- types

namespace {

Type copy(hid_t type) { return Type(H5Tcopy(type), "Unable to copy datatype"); }

hid_t integer(const Element &e) {
    const bool s = e.kind == Element::Int, be = e.big_endian;
    switch (e.size) {
        case 1: return s ? (be ? H5T_STD_I8BE : H5T_STD_I8LE) : (be ? H5T_STD_U8BE : H5T_STD_U8LE);
        case 2: return s ? (be ? H5T_STD_I16BE : H5T_STD_I16LE) : (be ? H5T_STD_U16BE : H5T_STD_U16LE);
        case 4: return s ? (be ? H5T_STD_I32BE : H5T_STD_I32LE) : (be ? H5T_STD_U32BE : H5T_STD_U32LE);
        default: return s ? (be ? H5T_STD_I64BE : H5T_STD_I64LE) : (be ? H5T_STD_U64BE : H5T_STD_U64LE);
    }
}

Type real(std::size_t size, bool big_endian) {
    if (size == 8)
        return copy(big_endian ? H5T_IEEE_F64BE : H5T_IEEE_F64LE);
    Type type = copy(big_endian ? H5T_IEEE_F32BE : H5T_IEEE_F32LE);
    if (size == 2) {  // IEEE half precision, laid out as h5py makes it
        const char *what = "Unable to make the half-precision type";
        check(H5Tset_fields(type.get(), 15, 10, 5, 0, 10), what);
        check(H5Tset_size(type.get(), 2), what);
        check(H5Tset_ebias(type.get(), 15), what);
    }
    return type;
}

Type make(const Element &e) {
    switch (e.kind) {
        case Element::Bool: {
            Type type(H5Tenum_create(H5T_NATIVE_INT8), "Unable to make the boolean type");
            for (signed char value : {0, 1})
                check(H5Tenum_insert(type.get(), value ? "TRUE" : "FALSE", &value), "Unable to make the boolean type");
            return type;
        }
        case Element::Int:
        case Element::Uint: return copy(integer(e));
        case Element::Float: return real(e.size, e.big_endian);
        case Element::Complex: {
            const std::size_t part = e.size / 2;
            Type member = real(part, e.big_endian);
            Type type(H5Tcreate(H5T_COMPOUND, e.size), "Unable to make a complex type");
            check(H5Tinsert(type.get(), "r", 0, member.get()), "Unable to make a complex type");
            check(H5Tinsert(type.get(), "i", part, member.get()), "Unable to make a complex type");
            return type;
        }
        case Element::Bytes:
        case Element::Text: {
            Type type = copy(H5T_C_S1);
            const char *what = "Unable to make a string type";
            if (e.kind == Element::Bytes) {
                check(H5Tset_size(type.get(), e.size), what);
                check(H5Tset_strpad(type.get(), H5T_STR_NULLPAD), what);
            } else {
                check(H5Tset_size(type.get(), H5T_VARIABLE), what);
            }
            check(H5Tset_cset(type.get(), e.utf8 ? H5T_CSET_UTF8 : H5T_CSET_ASCII), what);
            return type;
        }
        case Element::Enum:
        case Element::Bitfield:
        case Element::Opaque:
        case Element::Compound:
        case Element::Array:
        case Element::Sequence: break;  // read only, with the file's own types
    }
    py::raise(PyExc_SystemError, "unknown element type");
}

PropertyList property_list(hid_t cls) { return PropertyList(H5Pcreate(cls), "Unable to create a property list"); }

}  // namespace

PropertyList small_transfer_buffer() {
    PropertyList transfer = property_list(H5P_DATASET_XFER);
    check(H5Pset_buffer(transfer.get(), kSmallBuffer, nullptr, nullptr), "Unable to set the transfer buffer");
    return transfer;
}

hid_t Types::of(const Element &element) {
    auto found = cache_.find(element.key());
    if (found == cache_.end())
        found = cache_.emplace(element.key(), make(element)).first;
    return found->second.get();
}

// ---------------------------------------------------------------- writer

namespace {

std::string utf8(PyObject *text) {
    Py_ssize_t length = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &length);
    if (!data)
        py::throw_error();
    return std::string(data, length);
}

// The UTF-8 form cached inside a str, or a bytes object's own buffer; both
// live as long as the object.
const char *text_data(PyObject *text) {
    if (PyBytes_Check(text))
        return PyBytes_AS_STRING(text);
    const char *data = PyUnicode_AsUTF8(text);
    if (!data)
        py::throw_error();
    return data;
}

std::vector<hsize_t> dims_of(PyArrayObject *array) {
    const npy_intp *shape = PyArray_DIMS(array);
    return std::vector<hsize_t>(shape, shape + PyArray_NDIM(array));
}

Space dataspace(const std::vector<hsize_t> &dims, bool scalar) {
    if (scalar)
        return Space(H5Screate(H5S_SCALAR), "Unable to create a dataspace");
    return Space(H5Screate_simple(int(dims.size()), dims.data(), nullptr), "Unable to create a dataspace");
}

Object created(hid_t id, const char *what, const std::string &name) {
    if (id < 0)
        fail(py::join({what, " '", name, "'"}));
    return Object(id, what);
}

}  // namespace

Writer::Writer(ArrayFilters filters, const DriverFile *file)
    : filters_(filters),
      file_(file),
      group_creation_(property_list(H5P_GROUP_CREATE)),
      dataset_creation_(property_list(H5P_DATASET_CREATE)),
      small_transfer_(small_transfer_buffer()),
      scalar_(H5Screate(H5S_SCALAR), "Unable to create a dataspace") {
    // Like h5py: no timestamps, so a file's bytes depend on its content only.
    check(H5Pset_obj_track_times(group_creation_.get(), 0), "Unable to set group properties");
    check(H5Pset_obj_track_times(dataset_creation_.get(), 0), "Unable to set dataset properties");
    // Files must read back with this library's own filters.
    if (filters_.deflate_level && check(H5Zfilter_avail(H5Z_FILTER_DEFLATE), "Unable to query filters") <= 0)
        py::raise(PyExc_RuntimeError, "This HDF5 library has no deflate filter: compression is not available");
    // Like h5py: group links record their name's character set.
    for (H5T_cset_t cset : {H5T_CSET_ASCII, H5T_CSET_UTF8}) {
        PropertyList links = property_list(H5P_LINK_CREATE);
        check(H5Pset_create_intermediate_group(links.get(), 1), "Unable to set link properties");
        check(H5Pset_char_encoding(links.get(), cset), "Unable to set link properties");
        group_links_[cset == H5T_CSET_UTF8] = std::move(links);
    }
}

PropertyList Writer::file_creation() {
    PropertyList plist = property_list(H5P_FILE_CREATE);
    check(H5Pset_obj_track_times(plist.get(), 0), "Unable to set file properties");
    return plist;
}

Writer::Group Writer::create_group(const Group &parent, PyObject *key) {
    std::string name = utf8(key);
    hid_t links = group_links_[!PyUnicode_IS_ASCII(key)].get();
    return created(H5Gcreate2(parent.get(), name.c_str(), links, group_creation_.get(), H5P_DEFAULT),
                   "Unable to create group", name);
}

void Writer::write_text(const Group &parent, PyObject *key, PyObject *text) {
    const char *data = text_data(text);
    write(parent, key, types_.of(Element{Element::Text}), scalar_.get(), small_transfer_.get(), &data);
}

void Writer::write_array(const Group &parent, PyObject *key, PyObject *array_object, const Element &element) {
    // HDF5 reads the array's own buffer; only a non-contiguous array is copied.
    nb::object array = py::steal(reinterpret_cast<PyObject *>(
        PyArray_GETCONTIGUOUS(reinterpret_cast<PyArrayObject *>(array_object))));
    auto *contiguous = reinterpret_cast<PyArrayObject *>(array.ptr());
    if (filters_.any() && filtered(array.ptr(), element))
        return write_filtered(parent, key, array.ptr(), element);
    Space space = dataspace(dims_of(contiguous), PyArray_NDIM(contiguous) == 0);
    write(parent, key, types_.of(element), space.get(), H5P_DEFAULT,
          PyArray_SIZE(contiguous) ? PyArray_DATA(contiguous) : nullptr);
}

void Writer::write_texts(const Group &parent, PyObject *key, PyObject *texts) {
    std::vector<hsize_t> dims;
    std::vector<const char *> data;
    if (PyArray_Check(texts)) {
        nb::object array = py::steal(reinterpret_cast<PyObject *>(
            PyArray_GETCONTIGUOUS(reinterpret_cast<PyArrayObject *>(texts))));
        auto *contiguous = reinterpret_cast<PyArrayObject *>(array.ptr());
        dims = dims_of(contiguous);
        auto **items = static_cast<PyObject **>(PyArray_DATA(contiguous));
        for (npy_intp i = 0; i < PyArray_SIZE(contiguous); ++i)
            data.push_back(text_data(items[i]));
    } else {
        dims = {hsize_t(PyList_GET_SIZE(texts))};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts); ++i)
            data.push_back(text_data(PyList_GET_ITEM(texts, i)));
    }
    Space space = dataspace(dims, dims.empty());
    hid_t transfer = data.size() <= kSmallBufferStrings ? small_transfer_.get() : H5P_DEFAULT;
    write(parent, key, types_.of(Element{Element::Text}), space.get(), transfer, data.empty() ? nullptr : data.data());
}

// The types h5py gives Python numbers: int64, float64 and its boolean.
void Writer::write_number(const Group &parent, PyObject *key, const format::Entry &entry) {
    if (entry.store == format::Store::Integer)
        return write(parent, key, H5T_NATIVE_INT64, scalar_.get(), H5P_DEFAULT, &entry.integer);
    if (entry.store == format::Store::Real)
        return write(parent, key, H5T_NATIVE_DOUBLE, scalar_.get(), H5P_DEFAULT, &entry.real);
    const signed char flag = static_cast<signed char>(entry.integer);
    write(parent, key, types_.of(Element{Element::Bool, 1}), scalar_.get(), H5P_DEFAULT, &flag);
}

// Creates the dataset `key` in `parent` and writes `data` (nullptr: no
// elements), which is laid out as `type`.
void Writer::write(const Group &parent, PyObject *key, hid_t type, hid_t space, hid_t transfer, const void *data) {
    std::string name = utf8(key);
    Object dataset = created(
        H5Dcreate2(parent.get(), name.c_str(), type, space, H5P_DEFAULT, dataset_creation_.get(), H5P_DEFAULT),
        "Unable to create dataset", name);
    if (data && H5Dwrite(dataset.get(), type, H5S_ALL, H5S_ALL, transfer, data) < 0)
        fail(py::join({"Unable to write dataset '", name, "'"}));
    if (file_)
        file_->raise_if_failed();
}

// ---------------------------------------------------------------- filtered arrays

namespace {

constexpr std::size_t kChunkBytes = 1 << 20;

// Chunks of about kChunkBytes: whole trailing dimensions, part of one
// dimension, single steps along the ones before it. Each chunk is then one
// contiguous run of the C-ordered array, and the runs follow each other.
std::vector<hsize_t> chunk_dims(const std::vector<hsize_t> &dims, std::size_t element_size) {
    std::vector<hsize_t> chunk(dims.size());
    hsize_t room = std::max<hsize_t>(1, kChunkBytes / element_size);  // elements
    for (std::size_t d = dims.size(); d-- > 0;) {
        if (dims[d] > room) {  // split here, in steps of equal size: no chunk is mostly padding
            const hsize_t steps = (dims[d] + room - 1) / room;
            chunk[d] = (dims[d] + steps - 1) / steps;
        } else {
            chunk[d] = dims[d];
        }
        room = std::max<hsize_t>(1, room / chunk[d]);
    }
    return chunk;
}

}  // namespace

bool Writer::filtered(PyObject *array, const Element &element) const {
    if (element.kind == Element::Bytes || element.kind == Element::Text)
        return false;
    auto *numbers = reinterpret_cast<PyArrayObject *>(array);
    return PyArray_NDIM(numbers) > 0 && std::uint64_t(PyArray_NBYTES(numbers)) >= format::kBigArray;
}

void Writer::write_filtered(const Group &parent, PyObject *key, PyObject *array_object, const Element &element) {
    auto *array = reinterpret_cast<PyArrayObject *>(array_object);
    const std::vector<hsize_t> dims = dims_of(array);
    const std::size_t element_size = std::size_t(PyArray_ITEMSIZE(array));
    const std::vector<hsize_t> chunk = chunk_dims(dims, element_size);

    PropertyList creation(H5Pcopy(dataset_creation_.get()), "Unable to copy dataset properties");
    const char *what = "Unable to set the dataset's filters";
    check(H5Pset_chunk(creation.get(), int(chunk.size()), chunk.data()), what);
    if (filters_.deflate_level) {
        if (ChunkEncoder::shuffles(filters_.deflate_level, element_size))
            check(H5Pset_shuffle(creation.get()), what);
        check(H5Pset_deflate(creation.get(), unsigned(filters_.deflate_level)), what);
    }
    if (filters_.checksum)
        check(H5Pset_fletcher32(creation.get()), what);
    std::string name = utf8(key);
    Space space = dataspace(dims, false);
    Object dataset = created(H5Dcreate2(parent.get(), name.c_str(), types_.of(element), space.get(), H5P_DEFAULT,
                                        creation.get(), H5P_DEFAULT),
                             "Unable to create dataset", name);

    // Chunks split dimension `split` and take the dimensions after it whole.
    std::size_t split = 0;
    for (std::size_t d = 0; d < dims.size(); ++d)
        if (chunk[d] != dims[d])
            split = d;
    std::uint64_t outer = 1, inner = element_size, chunk_bytes = element_size;
    for (std::size_t d = 0; d < dims.size(); ++d) {
        chunk_bytes *= chunk[d];
        if (d < split)
            outer *= dims[d];
        else if (d > split)
            inner *= dims[d];
    }

    ChunkEncoder encoder(filters_.deflate_level, filters_.checksum, element_size, std::size_t(chunk_bytes));
    const auto *data = static_cast<const std::uint8_t *>(PyArray_DATA(array));
    std::vector<hsize_t> offset(dims.size(), 0);
    for (std::uint64_t run = 0; run < outer; ++run) {
        for (offset[split] = 0; offset[split] < dims[split]; offset[split] += chunk[split]) {
            const std::size_t length = std::size_t(std::min(chunk[split], dims[split] - offset[split]) * inner);
            const ChunkEncoder::Bytes stored = encoder.encode(data, length);
            if (H5Dwrite_chunk(dataset.get(), H5P_DEFAULT, 0, offset.data(), stored.size, stored.data) < 0)
                fail(py::join({"Unable to write dataset '", name, "'"}));
            if (file_)
                file_->raise_if_failed();
            data += length;
        }
        for (std::size_t d = split; d-- > 0;) {  // the next step along the dimensions before `split`
            if (++offset[d] < dims[d])
                break;
            offset[d] = 0;
        }
    }
}

}  // namespace zor::hdf5
