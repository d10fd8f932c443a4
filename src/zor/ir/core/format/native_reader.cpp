#include "core/codec/filters.hpp"
#include "core/format/native_walk.hpp"
#include "core/nodes/numpy.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace zor::hdf5 {

namespace py = zor::py;
using format::Element;

// ---------------------------------------------------------------- reader

int Datatype::type_class() const { return H5Tget_class(type.get()); }
std::size_t Datatype::size() const { return H5Tget_size(type.get()); }
bool Datatype::big_endian() const { return H5Tget_order(type.get()) == H5T_ORDER_BE; }
bool Datatype::is_signed() const { return H5Tget_sign(type.get()) == H5T_SGN_2; }
bool Datatype::variable_string() const { return check(H5Tis_variable_str(type.get()), "Unable to read datatype") > 0; }
bool Datatype::utf8() const { return H5Tget_cset(type.get()) == H5T_CSET_UTF8; }
int Datatype::member_count() const { return check(H5Tget_nmembers(type.get()), "Unable to read datatype"); }

std::string Datatype::member_name(int index) const {
    char *name = H5Tget_member_name(type.get(), unsigned(index));
    if (!name)
        fail("Unable to read datatype");
    std::string result(name);
    H5free_memory(name);
    return result;
}

// An enumeration member's value, converted from the base integer type.
// H5Tget_member_value copies as many bytes as the enumeration's own size,
// which a file may set apart from its base type's: both must fit.
long long Datatype::enum_value(int index) const {
    Type base(H5Tget_super(type.get()), "Unable to read datatype");
    if (H5Tget_size(type.get()) > sizeof(long long) || H5Tget_size(base.get()) > sizeof(long long))
        return -1;
    long long value = 0;
    check(H5Tget_member_value(type.get(), unsigned(index), &value), "Unable to read datatype");
    check(H5Tconvert(base.get(), H5T_NATIVE_LLONG, 1, &value, nullptr, H5P_DEFAULT), "Unable to read datatype");
    return value;
}

Datatype Datatype::member(int index) const {
    return {Type(H5Tget_member_type(type.get(), unsigned(index)), "Unable to read datatype")};
}

std::size_t Datatype::member_offset(int index) const {
    // Fails only for an index out of range, which member_count() rules out.
    return H5Tget_member_offset(type.get(), unsigned(index));
}

Datatype Datatype::super_type() const { return {Type(H5Tget_super(type.get()), "Unable to read datatype")}; }

std::vector<hsize_t> Datatype::array_dims() const {
    std::vector<hsize_t> dims(std::size_t(check(H5Tget_array_ndims(type.get()), "Unable to read datatype")));
    check(H5Tget_array_dims2(type.get(), dims.data()), "Unable to read datatype");
    return dims;
}

namespace {

struct Listing {
    std::vector<Reader::Member> members;
    bool out_of_memory = false;
};

herr_t collect_member(hid_t, const char *name, const H5L_info_t *info, void *data) {
    auto *listing = static_cast<Listing *>(data);
    try {
        listing->members.push_back(
            {name, format::link_kind(info->type), info->type == H5L_TYPE_HARD ? info->u.address : HADDR_UNDEF});
        return 0;
    } catch (const std::bad_alloc &) {
        listing->out_of_memory = true;
        return -1;
    }
}

// Frees the strings or sequences HDF5 allocated for a read, on every path.
struct Reclaim {
    hid_t type, space;
    void *buffer;
    ~Reclaim() {
        H5Treclaim(type, space, H5P_DEFAULT, buffer);
    }
};

nb::object bytes(const char *text) { return py::steal(PyBytes_FromString(text ? text : "")); }

// An object array of `shape` whose items are make(i), in C order.
template <typename Make>
nb::object object_array(const format::Shape &shape, std::size_t count, Make &&make) {
    std::vector<npy_intp> dims(shape.dims.begin(), shape.dims.end());
    nb::object array = py::steal(PyArray_SimpleNew(int(dims.size()), dims.data(), NPY_OBJECT));
    auto **items = static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject *previous = items[i];  // NumPy's initial fill
        items[i] = make(i).release().ptr();
        Py_XDECREF(previous);
    }
    return array;
}

// A new array of `dtype` and `dims`.
nb::object new_array(nb::object dtype, const std::vector<npy_intp> &dims) {
    return py::steal(PyArray_NewFromDescr(&PyArray_Type, reinterpret_cast<PyArray_Descr *>(dtype.release().ptr()),
                                          int(dims.size()), const_cast<npy_intp *>(dims.data()), nullptr, nullptr,
                                          0, nullptr));
}

}  // namespace

Reader::Reader(const File &file, std::optional<std::uint64_t> max_array_bytes)
    : small_transfer_(small_transfer_buffer()),
      max_array_bytes_(max_array_bytes),
      checks_(file.get()) {}

std::vector<Reader::Member> Reader::members(const Object &group) {
    Listing listing;
    hsize_t index = 0;
    herr_t status = H5Literate(group.get(), H5_INDEX_NAME, H5_ITER_INC, &index, collect_member, &listing);
    if (listing.out_of_memory)
        throw std::bad_alloc();
    check(status, "Unable to list group members");
    return std::move(listing.members);
}

Reader::Member Reader::member(const Object &group, const char *name) {
    H5L_info_t info;
    check(H5Lget_info(group.get(), name, &info, H5P_DEFAULT), "Unable to read link");
    return {name, format::link_kind(info.type), info.type == H5L_TYPE_HARD ? info.u.address : HADDR_UNDEF};
}

bool Reader::has_link(const Object &group, const char *name) {
    return check(H5Lexists(group.get(), name, H5P_DEFAULT), "Unable to read link") > 0;
}

// By address, not by name: the name is never parsed as a path.
Reader::Object Reader::open(const Object &group, const Member &member) {
    return Object(H5Oopen_by_addr(group.get(), member.address), "Unable to open object");
}

format::ObjectKind Reader::kind(const Object &object) {
    switch (H5Iget_type(object.get())) {
        case H5I_GROUP: return format::ObjectKind::Group;
        case H5I_DATASET: return format::ObjectKind::Dataset;
        default: return format::ObjectKind::Other;
    }
}

// Groups are checked before HDF5 walks their links, and datasets before it
// walks their chunk index (see core/file_checks).
std::optional<std::string> Reader::group_problem(const Object &group) {
    H5O_info_t info;
    check(H5Oget_info2(group.get(), &info, H5O_INFO_BASIC), "Unable to read group properties");
    return checks_.group_problem(info.addr);
}

Reader::Identity Reader::identity(const Object &group) {
    H5O_info_t info;
    check(H5Oget_info2(group.get(), &info, H5O_INFO_BASIC), "Unable to read group properties");
    return info.addr;
}

std::optional<std::string> Reader::storage_problem(const Object &dataset) {
    H5O_info_t info;
    check(H5Oget_info2(dataset.get(), &info, H5O_INFO_BASIC), "Unable to read dataset properties");
    return checks_.chunk_index_problem(info.addr);
}

// The object header message type of an external file list.
constexpr unsigned kExternalFileListMessage = 7;

format::Storage Reader::storage(const Object &dataset, const Element &element) {
    // HDF5 hands out the creation properties of a variable-length dataset
    // only after converting its fill value, following the fill value's heap
    // reference unchecked; the object header tells what is needed instead.
    if (element.variable_length()) {
        H5O_info_t info;
        check(H5Oget_info2(dataset.get(), &info, H5O_INFO_HDR), "Unable to read dataset properties");
        bool external = info.hdr.mesg.present & (std::uint64_t(1) << kExternalFileListMessage);
        return external ? format::Storage::External : format::Storage::InFile;
    }
    PropertyList creation(H5Dget_create_plist(dataset.get()), "Unable to read dataset properties");
    if (H5Pget_layout(creation.get()) == H5D_VIRTUAL)
        return format::Storage::Virtual;
    if (check(H5Pget_external_count(creation.get()), "Unable to read dataset properties") > 0)
        return format::Storage::External;
    return format::Storage::InFile;
}

Datatype Reader::type_of(const Object &dataset) {
    return {Type(H5Dget_type(dataset.get()), "Unable to read datatype")};
}

format::Shape Reader::shape(const Object &dataset) {
    Space space(H5Dget_space(dataset.get()), "Unable to read dataspace");
    format::Shape shape;
    switch (H5Sget_simple_extent_type(space.get())) {
        case H5S_NULL: shape.null = true; break;
        case H5S_SCALAR: shape.scalar = true; break;
        case H5S_SIMPLE:
            shape.dims.resize(check(H5Sget_simple_extent_ndims(space.get()), "Unable to read dataspace"));
            check(H5Sget_simple_extent_dims(space.get(), shape.dims.data(), nullptr), "Unable to read dataspace");
            break;
        default: fail("Unable to read dataspace");
    }
    return shape;
}

namespace {

// The number of elements of `shape`, or SIZE_MAX when it cannot be counted
// in memory (a hostile extent): a pointer each must fit in an array.
std::size_t element_count(const format::Shape &shape) {
    const std::optional<std::uint64_t> pointers = format::bytes_of(shape.dims, sizeof(char *), PTRDIFF_MAX);
    return pointers ? std::size_t(*pointers / sizeof(char *)) : SIZE_MAX;
}

}  // namespace

// Variable-length strings and sequences are read by HDF5 only once every
// element's heap reference has been checked against the file (see core/file_checks).
std::optional<std::string> Reader::data_problem(const Object &dataset, const Element &element,
                                                const format::Shape &shape) {
    if (!element.variable_length())
        return bounds_problem(dataset, element, shape);
    const char *what = element.kind == Element::Text ? "strings" : "sequences";
    const std::size_t count = element_count(shape);
    if (count == 0 || count == SIZE_MAX)  // nothing to read, or reading refuses
        return std::nullopt;
    // Compact, chunked, virtual and never-written data have no offset: none can be checked.
    const haddr_t offset = H5Dget_offset(dataset.get());
    if (offset == HADDR_UNDEF)
        return py::join({"has variable-length ", what, " outside contiguous storage"});
    Type file_type(H5Dget_type(dataset.get()), "Unable to read datatype");
    Type base(H5Tget_super(file_type.get()), "Unable to read datatype");
    return checks_.strings_problem(offset, H5Dget_storage_size(dataset.get()), count, H5Tget_size(base.get()),
                                   what);
}

// A failed read of filtered data means the data is corrupt (HDF5 verifies
// Fletcher-32 checksums while reading) or a chunk could not be allocated
// (`out_of_memory`); any other failure is the library's.
void Reader::fail_reading(const Object &dataset, bool out_of_memory) {
    if (out_of_memory)
        fail("Unable to allocate a chunk", PyExc_MemoryError);
    try {
        fail("Unable to read dataset");
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        PropertyList creation(H5Dget_create_plist(dataset.get()), "Unable to read dataset properties");
        if (check(H5Pget_nfilters(creation.get()), "Unable to read dataset properties") > 0)
            throw format::CorruptData{std::move(error)};
        throw;
    }
}

// The value h5py's dataset[()] gives: a NumPy scalar or array (structured
// for compounds, of the base integer for enumerations, void for opaque data),
// bytes for a scalar string, an object array of bytes for variable-length
// strings and of arrays for variable-length sequences.
nb::object Reader::read(const Object &dataset, const Element &element, const format::Shape &shape) {
    if (element.kind == Element::Text)
        return read_texts(dataset, element, shape);
    if (element.kind == Element::Sequence)
        return read_sequences(dataset, shape);
    if (std::optional<haddr_t> offset = mapped_offset(dataset, element, shape))
        return map_->view(*offset, format::dtype_of(element), shape.dims);
    // Numbers and byte strings convert through the types of the element table;
    // the others through a memory type made after the file's.
    nb::object dtype;
    Type converted;
    hid_t memory = H5I_INVALID_HID;
    if (element.number() || element.kind == Element::Bytes) {
        dtype = format::dtype_of(element);
        memory = types_.of(element);
    } else {
        Datatype type = type_of(dataset);
        dtype = format::read_dtype(type, element);
        converted = memory_type(type, element);
        memory = converted.get();
    }
    nb::object array = new_array(std::move(dtype), std::vector<npy_intp>(shape.dims.begin(), shape.dims.end()));
    auto *raw = reinterpret_cast<PyArrayObject *>(array.ptr());
    if (PyArray_SIZE(raw) > 0) {
        const InflateLimit limit(chunk_bytes(dataset));
        if (H5Dread(dataset.get(), memory, H5S_ALL, H5S_ALL, H5P_DEFAULT, PyArray_DATA(raw)) < 0)
            fail_reading(dataset, limit.out_of_memory());
    }
    return shape.scalar ? py::steal(PyArray_Return(reinterpret_cast<PyArrayObject *>(array.release().ptr()))) : array;
}

// Enumerations, bitfields and opaque data are read as stored (HDF5 converts
// none of them to integers or bytes), bytes for bytes; compounds member by
// member into NumPy's layout of the same offsets and size (a boolean member
// takes one byte of its place).
Type Reader::memory_type(const Datatype &type, const Element &element) {
    const char *what = "Unable to make a memory datatype";
    switch (element.kind) {
        case Element::Enum:
        case Element::Bitfield:
        case Element::Opaque: return Type(H5Tcopy(type.type.get()), what);
        case Element::Compound: {
            Type memory(H5Tcreate(H5T_COMPOUND, type.size()), what);
            for (int i = 0; i < type.member_count(); ++i) {
                Datatype member = type.member(i);
                Type member_memory = memory_type(member, *format::classify(member, format::Within::Compound).element);
                check(H5Tinsert(memory.get(), type.member_name(i).c_str(), type.member_offset(i), member_memory.get()),
                      what);
            }
            return memory;
        }
        case Element::Array: {
            Datatype item = type.super_type();
            Type item_memory = memory_type(item, *format::classify(item, format::Within::Compound).element);
            std::vector<hsize_t> dims = type.array_dims();
            return Type(H5Tarray_create2(item_memory.get(), unsigned(dims.size()), dims.data()), what);
        }
        default: return Type(H5Tcopy(types_.of(element)), what);
    }
}

nb::object Reader::read_texts(const Object &dataset, const Element &element, const format::Shape &shape) {
    const std::size_t count = element_count(shape);
    if (count == SIZE_MAX)
        throw std::bad_alloc();
    std::vector<char *> strings(count, nullptr);
    auto text = [&](std::size_t i) { return bytes(strings[i]); };
    if (count == 0)
        return object_array(shape, count, text);
    hid_t type = types_.of(element);
    Space space(H5Dget_space(dataset.get()), "Unable to read dataspace");
    Reclaim reclaim{type, space.get(), strings.data()};
    hid_t transfer = count <= kSmallBufferStrings ? small_transfer_.get() : H5P_DEFAULT;
    check(H5Dread(dataset.get(), type, H5S_ALL, H5S_ALL, transfer, strings.data()), "Unable to read dataset");
    return shape.scalar ? bytes(strings[0]) : object_array(shape, count, text);
}

// Each sequence becomes a one-dimensional array of its items' dtype in the
// native byte order (HDF5 converts them); a scalar dataset gives its one
// array, as h5py does.
nb::object Reader::read_sequences(const Object &dataset, const format::Shape &shape) {
    const std::size_t count = element_count(shape);
    if (count == SIZE_MAX)
        throw std::bad_alloc();
    Element item = *format::classify(type_of(dataset).super_type(), format::Within::Sequence).element;
    item.big_endian = NPY_BYTE_ORDER == NPY_BIG_ENDIAN;
    std::vector<hvl_t> sequences(count, hvl_t{0, nullptr});
    auto sequence = [&](std::size_t i) {
        nb::object array = new_array(format::dtype_of(item), {npy_intp(sequences[i].len)});
        if (sequences[i].len)
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())), sequences[i].p,
                        sequences[i].len * item.size);
        return array;
    };
    if (count == 0)
        return object_array(shape, count, sequence);
    Type type(H5Tvlen_create(types_.of(item)), "Unable to make a memory datatype");
    Space space(H5Dget_space(dataset.get()), "Unable to read dataspace");
    Reclaim reclaim{type.get(), space.get(), sequences.data()};
    if (H5Dread(dataset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, sequences.data()) < 0)
        fail_reading(dataset);
    return shape.scalar ? sequence(0) : object_array(shape, count, sequence);
}

}  // namespace zor::hdf5
