#include "core/format/h5py_walk.hpp"
#include "core/nodes/numpy.hpp"

namespace zor::h5py_walk {

namespace py = zor::py;
using format::Element;
using py::call_method;

namespace {

struct Names {
    PyObject *string_dtype, *create_group, *create_dataset, *group_type, *dataset_type;
    PyObject *data_dtype_keywords, *data_keywords, *info_keywords;
    PyObject *id, *links, *iterate, *get_info, *exists, *type, *shape;
    PyObject *get_create_plist, *get_layout, *get_external_count, *get_type;
    PyObject *get_class, *get_size, *get_order, *get_sign, *is_variable_str, *get_cset;
    PyObject *get_nmembers, *get_member_name, *get_member_value, *get_member_type;
    PyObject *get_member_offset, *get_super, *get_array_dims, *h5s, *all, *read, *mtype_keywords;
};
const Names *names_cache = nullptr;

const Names &names() {
    return py::create_once(names_cache, [] {
        auto tuple = [](const char *format, auto... items) {
            return py::steal(Py_BuildValue(format, items...)).release().ptr();
        };
        return Names{py::intern("string_dtype"), py::intern("create_group"), py::intern("create_dataset"),
                     py::intern("Group"), py::intern("Dataset"),
                     tuple("(ss)", "data", "dtype"), tuple("(s)", "data"), tuple("(s)", "info"),
                     py::intern("id"), py::intern("links"), py::intern("iterate"), py::intern("get_info"),
                     py::intern("exists"), py::intern("type"), py::intern("shape"),
                     py::intern("get_create_plist"), py::intern("get_layout"), py::intern("get_external_count"),
                     py::intern("get_type"), py::intern("get_class"), py::intern("get_size"),
                     py::intern("get_order"), py::intern("get_sign"), py::intern("is_variable_str"),
                     py::intern("get_cset"), py::intern("get_nmembers"), py::intern("get_member_name"),
                     py::intern("get_member_value"), py::intern("get_member_type"),
                     py::intern("get_member_offset"), py::intern("get_super"), py::intern("get_array_dims"),
                     py::intern("h5s"), py::intern("ALL"), py::intern("read"), tuple("(s)", "mtype")};
    });
}

nb::object index(long value) { return py::steal(PyLong_FromLong(value)); }

}  // namespace

// ---------------------------------------------------------------- writer

Writer::Writer(PyObject *h5py) : string_dtype_(call_method(h5py, names().string_dtype)) {}

Writer::Group Writer::create_group(const Group &parent, PyObject *key) {
    return call_method(parent.ptr(), names().create_group, key);
}

void Writer::write_text(const Group &parent, PyObject *key, PyObject *text) {
    create_dataset(parent, key, text, string_dtype_.ptr());
}

// The element's own dtype, not the array's: h5py would store the enumeration
// that the metadata of a dtype it read names, where the native writer stores integers.
void Writer::write_array(const Group &parent, PyObject *key, PyObject *array, const Element &element) {
    create_dataset(parent, key, array, format::dtype_of(element).ptr());
}

void Writer::write_texts(const Group &parent, PyObject *key, PyObject *texts) {
    create_dataset(parent, key, texts, string_dtype_.ptr());
}

void Writer::write_number(const Group &parent, PyObject *key, const format::Entry &entry) {
    nb::object value = py::steal(entry.store == format::Store::Integer ? PyLong_FromLongLong(entry.integer)
                                 : entry.store == format::Store::Real  ? PyFloat_FromDouble(entry.real)
                                                                       : PyBool_FromLong(long(entry.integer)));
    create_dataset(parent, key, value.ptr(), nullptr);
}

// parent.create_dataset(key, data=data[, dtype=dtype])
void Writer::create_dataset(const Group &parent, PyObject *key, PyObject *data, PyObject *dtype) {
    PyObject *args[] = {parent.ptr(), key, data, dtype};
    py::steal(PyObject_VectorcallMethod(names().create_dataset, args, 2,
                                        dtype ? names().data_dtype_keywords : names().data_keywords));
}

// ---------------------------------------------------------------- datatypes

namespace {

long long number(const nb::object &type, PyObject *method) {
    return py::as_long_long(call_method(type.ptr(), method).ptr());
}

}  // namespace

int Datatype::type_class() const { return int(number(type, names().get_class)); }
std::size_t Datatype::size() const { return std::size_t(number(type, names().get_size)); }
bool Datatype::big_endian() const { return number(type, names().get_order) == H5T_ORDER_BE; }
bool Datatype::is_signed() const { return number(type, names().get_sign) == H5T_SGN_2; }
bool Datatype::variable_string() const {
    return py::truthy(call_method(type.ptr(), names().is_variable_str).ptr());
}
bool Datatype::utf8() const { return number(type, names().get_cset) == H5T_CSET_UTF8; }
int Datatype::member_count() const { return int(number(type, names().get_nmembers)); }

std::string Datatype::member_name(int at) const {
    nb::object name = call_method(type.ptr(), names().get_member_name, index(at).ptr());
    char *data;
    Py_ssize_t length;
    if (PyBytes_AsStringAndSize(name.ptr(), &data, &length) != 0)
        py::throw_error();
    return std::string(data, length);
}

long long Datatype::enum_value(int at) const {
    return py::as_long_long(call_method(type.ptr(), names().get_member_value, index(at).ptr()).ptr());
}

Datatype Datatype::member(int at) const {
    return {call_method(type.ptr(), names().get_member_type, index(at).ptr())};
}

std::size_t Datatype::member_offset(int at) const {
    return std::size_t(py::as_long_long(call_method(type.ptr(), names().get_member_offset, index(at).ptr()).ptr()));
}

Datatype Datatype::super_type() const { return {call_method(type.ptr(), names().get_super)}; }

std::vector<hsize_t> Datatype::array_dims() const {
    nb::object dims = call_method(type.ptr(), names().get_array_dims);
    std::vector<hsize_t> result;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dims.ptr()); ++i)
        result.push_back(hsize_t(py::as_long_long(PyTuple_GET_ITEM(dims.ptr(), i))));
    return result;
}

// ---------------------------------------------------------------- reader

namespace {

// Collects (name, link type) pairs of h5py's link iteration into a list;
// h5py passes one LinkInfo object, updated for every link.
PyObject *collect_link(PyObject *list, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return py::guarded([&]() -> PyObject * {
        if (nargs != 2)
            py::raise(PyExc_TypeError, "collect_link() takes exactly two arguments");
        nb::object pair = py::steal(PyTuple_Pack(2, args[0], py::attr(args[1], names().type).ptr()));
        if (PyList_Append(list, pair.ptr()) != 0)
            py::throw_error();
        Py_RETURN_NONE;
    });
}

PyMethodDef collect_link_def = {
    "collect_link", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(collect_link)), METH_FASTCALL,
    nullptr};

nb::object links_of(const nb::object &group) {
    return py::attr(py::attr(group.ptr(), names().id).ptr(), names().links);
}

Reader::Member describe(nb::object raw_name, const nb::object &link_type) {
    char *data;
    Py_ssize_t length;
    if (PyBytes_AsStringAndSize(raw_name.ptr(), &data, &length) != 0)
        py::throw_error();
    return {std::string(data, length), format::link_kind(py::as_long_long(link_type.ptr())), std::move(raw_name)};
}

bool is_instance(const nb::object &object, const nb::object &type) {
    int result = PyObject_IsInstance(object.ptr(), type.ptr());
    if (result < 0)
        py::throw_error();
    return result == 1;
}

}  // namespace

Reader::Reader(PyObject *h5py)
    : group_type_(py::attr(h5py, names().group_type)),
      dataset_type_(py::attr(h5py, names().dataset_type)),
      all_(py::attr(py::attr(h5py, names().h5s).ptr(), names().all)),
      reading_(py::steal(PySet_New(nullptr))) {}

std::vector<Reader::Member> Reader::members(const Object &group) {
    nb::object found = py::steal(PyList_New(0));
    nb::object collector = py::steal(PyCFunction_New(&collect_link_def, found.ptr()));
    nb::object links = links_of(group);
    PyObject *args[] = {links.ptr(), collector.ptr(), Py_True};
    py::steal(PyObject_VectorcallMethod(names().iterate, args, 2, names().info_keywords));
    std::vector<Member> members;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(found.ptr()); ++i) {
        PyObject *pair = PyList_GET_ITEM(found.ptr(), i);
        members.push_back(describe(nb::borrow(PyTuple_GET_ITEM(pair, 0)), nb::borrow(PyTuple_GET_ITEM(pair, 1))));
    }
    return members;
}

Reader::Member Reader::member(const Object &group, const char *name) {
    nb::object raw = py::steal(PyBytes_FromString(name));
    nb::object info = call_method(links_of(group).ptr(), names().get_info, raw.ptr());
    return describe(raw, py::attr(info.ptr(), names().type));
}

bool Reader::has_link(const Object &group, const char *name) {
    nb::object raw = py::steal(PyBytes_FromString(name));
    return py::truthy(call_method(links_of(group).ptr(), names().exists, raw.ptr()).ptr());
}

Reader::Object Reader::open(const Object &group, const Member &member) {
    return py::steal(PyObject_GetItem(group.ptr(), member.raw_name.ptr()));
}

format::ObjectKind Reader::kind(const Object &object) {
    if (is_instance(object, group_type_))
        return format::ObjectKind::Group;
    if (is_instance(object, dataset_type_))
        return format::ObjectKind::Dataset;
    return format::ObjectKind::Other;
}

// h5py's object identifiers compare equal for the same object in a file.
Reader::Identity Reader::identity(const Object &group) { return py::attr(group.ptr(), names().id); }

// root.file.id.get_filesize(); once a walk.
std::uint64_t Reader::file_size(const Object &root) {
    nb::object file = py::attr(root.ptr(), py::intern("file"));
    nb::object id = py::attr(file.ptr(), names().id);
    return std::uint64_t(py::as_long_long(call_method(id.ptr(), py::intern("get_filesize")).ptr()));
}

bool Reader::reading(const Identity &group) const {
    int found = PySet_Contains(reading_.ptr(), group.ptr());
    if (found < 0)
        py::throw_error();
    return found == 1;
}

void Reader::enter(const Identity &group) {
    if (PySet_Add(reading_.ptr(), group.ptr()) != 0)
        py::throw_error();
}

void Reader::leave(const Identity &group) {
    if (PySet_Discard(reading_.ptr(), group.ptr()) < 0)
        py::throw_error();
}

format::Storage Reader::storage(const Object &dataset, const Element &) {
    nb::object creation = call_method(py::attr(dataset.ptr(), names().id).ptr(), names().get_create_plist);
    if (py::as_long_long(call_method(creation.ptr(), names().get_layout).ptr()) == H5D_VIRTUAL)
        return format::Storage::Virtual;
    if (py::as_long_long(call_method(creation.ptr(), names().get_external_count).ptr()) > 0)
        return format::Storage::External;
    return format::Storage::InFile;
}

Datatype Reader::type_of(const Object &dataset) {
    return {call_method(py::attr(dataset.ptr(), names().id).ptr(), names().get_type)};
}

format::Shape Reader::shape(const Object &dataset) {
    nb::object extent = py::attr(dataset.ptr(), names().shape);
    format::Shape shape;
    if (extent.is_none()) {
        shape.null = true;
        return shape;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extent.ptr()); ++i)
        shape.dims.push_back(hsize_t(py::as_long_long(PyTuple_GET_ITEM(extent.ptr(), i))));
    shape.scalar = shape.dims.empty();
    return shape;
}

nb::object Reader::read(const Object &dataset, const Element &element, const format::Shape &shape) {
    if (element.kind == Element::Opaque)
        return read_opaque(dataset, element, shape);
    nb::object everything = py::steal(PyTuple_New(0));
    return py::steal(PyObject_GetItem(dataset.ptr(), everything.ptr()));
}

// dataset.id.read(h5s.ALL, h5s.ALL, array, mtype=dataset.id.get_type())
nb::object Reader::read_opaque(const Object &dataset, const Element &element, const format::Shape &shape) {
    std::vector<npy_intp> dims(shape.dims.begin(), shape.dims.end());
    auto *descr = reinterpret_cast<PyArray_Descr *>(format::dtype_of(element).release().ptr());
    nb::object array = py::steal(PyArray_Zeros(int(dims.size()), dims.data(), descr, 0));
    nb::object id = py::attr(dataset.ptr(), names().id);
    nb::object type = call_method(id.ptr(), names().get_type);
    PyObject *args[] = {id.ptr(), all_.ptr(), all_.ptr(), array.ptr(), type.ptr()};
    py::steal(PyObject_VectorcallMethod(names().read, args, 4, names().mtype_keywords));
    return shape.scalar ? py::steal(PyArray_Return(reinterpret_cast<PyArrayObject *>(array.release().ptr()))) : array;
}

}  // namespace zor::h5py_walk
