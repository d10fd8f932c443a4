#include "core/hdf5.hpp"
#include "core/numpy.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace zor::hdf5 {

namespace py = zor::py;
using format::Element;

namespace {

struct Frame {
    std::string function;
    std::string description;
    hid_t major;
    hid_t minor;
};

herr_t collect_frame(unsigned, const H5E_error2_t *error, void *data) {
    auto *frames = static_cast<std::vector<Frame> *>(data);
    frames->push_back({error->func_name ? error->func_name : "",
                       error->desc ? error->desc : "", error->maj_num, error->min_num});
    return 0;
}

// The errno that HDF5's file drivers quote in their messages ("errno = 13"),
// or 0.
int quoted_errno(const std::vector<Frame> &frames) {
    for (const Frame &frame : frames) {
        std::size_t at = frame.description.find("errno = ");
        if (at != std::string::npos)
            return std::atoi(frame.description.c_str() + at + 8);
    }
    return 0;
}

// Which Python exception an HDF5 failure raises. The library failing to do
// its work on a file is an OSError (with the errno when the OS reported
// one); running out of memory is a MemoryError.
PyObject *exception_kind(const std::vector<Frame> &frames) {
    for (const Frame &frame : frames)
        if (frame.minor == H5E_CANTALLOC || frame.minor == H5E_NOSPACE)
            return PyExc_MemoryError;
    return PyExc_OSError;
}

std::string stack_text(const std::vector<Frame> &frames) {
    std::string text = "HDF5 error stack:";
    for (const Frame &frame : frames)
        text += py::join({"\n  ", frame.function, "(): ", frame.description});
    return text;
}

}  // namespace

void silence_errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

void disable_plugins() { check(H5PLset_loading_state(0), "Unable to switch off HDF5 plugin loading"); }

std::string library_version() {
    unsigned major = 0, minor = 0, release = 0;
    check(H5get_libversion(&major, &minor, &release), "Unable to read the HDF5 version");
    return py::join({std::to_string(major), ".", std::to_string(minor), ".", std::to_string(release)});
}

void fail(const std::string &what, const std::string &filename) {
    std::vector<Frame> frames;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_frame, &frames);
    H5Eclear2(H5E_DEFAULT);

    // The innermost frame says what actually went wrong.
    std::string message = what;
    if (!frames.empty() && !frames.back().description.empty())
        message += " (" + frames.back().description + ")";

    PyObject *kind = exception_kind(frames);
    nb::object error;
    int code = quoted_errno(frames);
    if (kind == PyExc_OSError && code != 0) {
        // OSError(errno, text, filename) picks the subclass (PermissionError...).
        std::string reason = what + " (" + std::strerror(code) + ")";
        nb::object name = filename.empty() ? nb::none() : py::steal(PyUnicode_DecodeFSDefault(filename.c_str()));
        error = py::steal(PyObject_CallFunction(kind, "isO", code, reason.c_str(), name.ptr()));
    } else {
        error = py::steal(PyObject_CallFunction(kind, "s", message.c_str()));
    }
    nb::object cause = py::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", stack_text(frames).c_str()));
    PyException_SetCause(error.ptr(), cause.release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// ---------------------------------------------------------------- types

namespace {

// Single strings and short string arrays convert through a small buffer:
// HDF5's default is a 1 MiB buffer, zero-filled for every transfer.
constexpr std::size_t kSmallBuffer = 64 * 1024;
constexpr std::size_t kSmallBufferStrings = kSmallBuffer / 16;  // 16 bytes per string in transit

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
    }
    py::raise(PyExc_SystemError, "unknown element type");
}

PropertyList property_list(hid_t cls) { return PropertyList(H5Pcreate(cls), "Unable to create a property list"); }

PropertyList small_transfer_buffer() {
    PropertyList transfer = property_list(H5P_DATASET_XFER);
    check(H5Pset_buffer(transfer.get(), kSmallBuffer, nullptr, nullptr), "Unable to set the transfer buffer");
    return transfer;
}

}  // namespace

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

Writer::Writer()
    : group_creation_(property_list(H5P_GROUP_CREATE)),
      dataset_creation_(property_list(H5P_DATASET_CREATE)),
      small_transfer_(small_transfer_buffer()),
      scalar_(H5Screate(H5S_SCALAR), "Unable to create a dataspace") {
    // Like h5py: no timestamps, so a file's bytes depend on its content only.
    check(H5Pset_obj_track_times(group_creation_.get(), 0), "Unable to set group properties");
    check(H5Pset_obj_track_times(dataset_creation_.get(), 0), "Unable to set dataset properties");
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
}

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
long long Datatype::enum_value(int index) const {
    Type base(H5Tget_super(type.get()), "Unable to read datatype");
    if (H5Tget_size(base.get()) > sizeof(long long))
        return -1;
    long long value = 0;
    check(H5Tget_member_value(type.get(), unsigned(index), &value), "Unable to read datatype");
    check(H5Tconvert(base.get(), H5T_NATIVE_LLONG, 1, &value, nullptr, H5P_DEFAULT), "Unable to read datatype");
    return value;
}

Datatype Datatype::member(int index) const {
    return {Type(H5Tget_member_type(type.get(), unsigned(index)), "Unable to read datatype")};
}

format::Link link_kind(H5L_type_t type) {
    switch (type) {
        case H5L_TYPE_HARD: return format::Link::Hard;
        case H5L_TYPE_SOFT: return format::Link::Soft;
        case H5L_TYPE_EXTERNAL: return format::Link::External;
        default: return format::Link::Other;
    }
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
            {name, link_kind(info->type), info->type == H5L_TYPE_HARD ? info->u.address : HADDR_UNDEF});
        return 0;
    } catch (const std::bad_alloc &) {
        listing->out_of_memory = true;
        return -1;
    }
}

// Frees the strings HDF5 allocated for a read, on every path.
struct Reclaim {
    hid_t type, space;
    void *buffer;
    ~Reclaim() { H5Treclaim(type, space, H5P_DEFAULT, buffer); }
};

nb::object bytes(const char *text) { return py::steal(PyBytes_FromString(text ? text : "")); }

nb::object object_array(const format::Shape &shape, const std::vector<char *> &strings) {
    std::vector<npy_intp> dims(shape.dims.begin(), shape.dims.end());
    nb::object array = py::steal(PyArray_SimpleNew(int(dims.size()), dims.data(), NPY_OBJECT));
    auto **items = static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())));
    for (std::size_t i = 0; i < strings.size(); ++i) {
        PyObject *previous = items[i];  // NumPy's initial fill
        items[i] = bytes(strings[i]).release().ptr();
        Py_XDECREF(previous);
    }
    return array;
}

}  // namespace

Reader::Reader(const File &file) : small_transfer_(small_transfer_buffer()), checks_(file.get()) {}

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
    return {name, link_kind(info.type), info.type == H5L_TYPE_HARD ? info.u.address : HADDR_UNDEF};
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

// Old-style groups are checked before HDF5 walks their links (see core/file_checks).
std::optional<std::string> Reader::group_problem(const Object &group) {
    H5O_info_t info;
    check(H5Oget_info2(group.get(), &info, H5O_INFO_BASIC), "Unable to read group properties");
    return checks_.group_problem(info.addr);
}

bool Reader::first_visit(const Member &member, const Object &) { return visited_.insert(member.address).second; }

// The object header message type of an external file list.
constexpr unsigned kExternalFileListMessage = 7;

format::Storage Reader::storage(const Object &dataset, const Element &element) {
    // HDF5 hands out the creation properties of a variable-length dataset
    // only after converting its fill value, following the fill value's heap
    // reference unchecked; the object header tells what is needed instead.
    if (element.kind == Element::Text) {
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
// in memory (a hostile extent).
std::size_t element_count(const format::Shape &shape) {
    std::size_t count = 1;
    for (hsize_t dim : shape.dims) {
        if (dim && count > PTRDIFF_MAX / sizeof(char *) / dim)
            return SIZE_MAX;
        count *= std::size_t(dim);
    }
    return count;
}

}  // namespace

// Variable-length strings are read by HDF5 only once every element's heap
// reference has been checked against the file (see core/file_checks).
std::optional<std::string> Reader::data_problem(const Object &dataset, const Element &element,
                                                const format::Shape &shape) {
    if (element.kind != Element::Text)
        return std::nullopt;
    const std::size_t count = element_count(shape);
    if (count == 0 || count == SIZE_MAX)  // nothing to read, or read_texts refuses
        return std::nullopt;
    // Compact, chunked, virtual and never-written data have no offset: none can be checked.
    const haddr_t offset = H5Dget_offset(dataset.get());
    if (offset == HADDR_UNDEF)
        return "has variable-length strings outside contiguous storage";
    Type file_type(H5Dget_type(dataset.get()), "Unable to read datatype");
    Type base(H5Tget_super(file_type.get()), "Unable to read datatype");
    return checks_.strings_problem(offset, H5Dget_storage_size(dataset.get()), count, H5Tget_size(base.get()));
}

// The value h5py's dataset[()] gives: a NumPy scalar or array, bytes for a
// scalar string, an object array of bytes for variable-length strings.
nb::object Reader::read(const Object &dataset, const Element &element, const format::Shape &shape) {
    if (element.kind == Element::Text)
        return read_texts(dataset, element, shape);
    nb::object dtype = format::dtype_of(element);
    std::vector<npy_intp> dims(shape.dims.begin(), shape.dims.end());
    nb::object array = py::steal(PyArray_NewFromDescr(&PyArray_Type,
                                                      reinterpret_cast<PyArray_Descr *>(dtype.release().ptr()),
                                                      int(dims.size()), dims.data(), nullptr, nullptr, 0, nullptr));
    auto *raw = reinterpret_cast<PyArrayObject *>(array.ptr());
    if (PyArray_SIZE(raw) > 0)
        check(H5Dread(dataset.get(), types_.of(element), H5S_ALL, H5S_ALL, H5P_DEFAULT, PyArray_DATA(raw)),
              "Unable to read dataset");
    return shape.scalar ? py::steal(PyArray_Return(reinterpret_cast<PyArrayObject *>(array.release().ptr()))) : array;
}

nb::object Reader::read_texts(const Object &dataset, const Element &element, const format::Shape &shape) {
    const std::size_t count = element_count(shape);
    if (count == SIZE_MAX)
        throw std::bad_alloc();
    std::vector<char *> strings(count, nullptr);
    if (count == 0)
        return object_array(shape, strings);
    hid_t type = types_.of(element);
    Space space(H5Dget_space(dataset.get()), "Unable to read dataspace");
    Reclaim reclaim{type, space.get(), strings.data()};
    hid_t transfer = count <= kSmallBufferStrings ? small_transfer_.get() : H5P_DEFAULT;
    check(H5Dread(dataset.get(), type, H5S_ALL, H5S_ALL, transfer, strings.data()), "Unable to read dataset");
    return shape.scalar ? bytes(strings[0]) : object_array(shape, strings);
}

}  // namespace zor::hdf5
