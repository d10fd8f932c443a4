// zor.ir.serialization: graphs to HDF5 files and back.
//
// write, read and read_version work on the HDF5 C library directly.
// _write_recursive and _read_recursive take h5py groups and reach HDF5
// through h5py's Python API (h5py carries its own copy of the library, so
// identifiers cannot be shared). Both sides run the same rules: the value
// kinds, the element types and the reading checks of core/format.
#include "core/format.hpp"
#include "core/hdf5.hpp"
#include "core/nodes.hpp"
#include "core/numpy.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace h5 = zor::hdf5;
namespace fmt = zor::format;
using fmt::Element;

// ---------------------------------------------------------------- names

struct Names {
    PyObject *version, *pathlib, *path_type, *is_dir, *parent, *exists, *is_file, *is_symlink;
    PyObject *os, *path, *split, *join, *replace, *stat, *chmod, *realpath, *st_mode;
    PyObject *version_key, *graph_key;
    PyObject *h5py, *group_type, *dataset_type, *string_dtype, *create_group, *create_dataset;
    PyObject *data_dtype_keywords, *data_keywords, *info_keywords;
    PyObject *id, *links, *iterate, *get_info, *type, *name, *file, *filename;
    PyObject *get_create_plist, *get_layout, *get_external_count, *get_type, *shape;
    PyObject *get_class, *get_size, *get_order, *get_sign, *is_variable_str, *get_cset;
    PyObject *get_nmembers, *get_member_name, *get_member_value, *get_member_type;
    PyObject *str_to_node, *graph_type_name, *access, *write_access;
};
const Names *names_cache = nullptr;  // interned once per process, never released

const Names &names() {
    if (!names_cache) {
        auto *n = new Names{};
#define ZOR_NAME(field) n->field = py::intern(#field)
        ZOR_NAME(pathlib); ZOR_NAME(is_dir); ZOR_NAME(parent); ZOR_NAME(exists);
        ZOR_NAME(is_file); ZOR_NAME(is_symlink); ZOR_NAME(os); ZOR_NAME(path);
        ZOR_NAME(split); ZOR_NAME(join); ZOR_NAME(replace); ZOR_NAME(stat);
        ZOR_NAME(chmod); ZOR_NAME(realpath); ZOR_NAME(st_mode); ZOR_NAME(h5py);
        ZOR_NAME(string_dtype); ZOR_NAME(create_group); ZOR_NAME(create_dataset); ZOR_NAME(id);
        ZOR_NAME(links); ZOR_NAME(iterate); ZOR_NAME(get_info); ZOR_NAME(type);
        ZOR_NAME(name); ZOR_NAME(file); ZOR_NAME(filename); ZOR_NAME(get_create_plist);
        ZOR_NAME(get_layout); ZOR_NAME(get_external_count); ZOR_NAME(get_type); ZOR_NAME(shape);
        ZOR_NAME(get_class); ZOR_NAME(get_size); ZOR_NAME(get_order); ZOR_NAME(get_sign);
        ZOR_NAME(is_variable_str); ZOR_NAME(get_cset); ZOR_NAME(get_nmembers); ZOR_NAME(get_member_name);
        ZOR_NAME(get_member_value); ZOR_NAME(get_member_type); ZOR_NAME(str_to_node); ZOR_NAME(access);
#undef ZOR_NAME
        n->write_access = py::intern("W_OK");
        n->version = py::intern("__version__");
        n->path_type = py::intern("Path");
        n->version_key = py::intern("version");
        n->graph_key = py::intern("graph");
        n->group_type = py::intern("Group");
        n->dataset_type = py::intern("Dataset");
        n->graph_type_name = py::intern("Graph");
        n->data_dtype_keywords = py::steal(Py_BuildValue("(ss)", "data", "dtype")).release().ptr();
        n->data_keywords = py::steal(Py_BuildValue("(s)", "data")).release().ptr();
        n->info_keywords = py::steal(Py_BuildValue("(s)", "info")).release().ptr();
        names_cache = n;
    }
    return *names_cache;
}

nb::object call(PyObject *object, PyObject *method) {
    return py::steal(PyObject_CallMethodNoArgs(object, method));
}

nb::object call(PyObject *object, PyObject *method, PyObject *argument) {
    return py::steal(PyObject_CallMethodOneArg(object, method, argument));
}

long long as_integer(const nb::object &value) {
    long long result = PyLong_AsLongLong(value.ptr());
    if (result == -1 && PyErr_Occurred())
        py::throw_error();
    return result;
}

// ---------------------------------------------------------------- h5py writer

class H5pyWriter {
public:
    using Group = nb::object;

    explicit H5pyWriter(PyObject *module)
        : string_dtype_(call(py::attr(module, names().h5py).ptr(), names().string_dtype)) {}

    Group create_group(const Group &parent, PyObject *key) {
        return call(parent.ptr(), names().create_group, key);
    }

    void write_text(const Group &parent, PyObject *key, PyObject *text) {
        create_dataset(parent, key, text, string_dtype_.ptr());
    }

    void write_array(const Group &parent, PyObject *key, PyObject *array, const Element &) {
        create_dataset(parent, key, array,
                       reinterpret_cast<PyObject *>(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(array))));
    }

    void write_texts(const Group &parent, PyObject *key, PyObject *texts) {
        create_dataset(parent, key, texts, string_dtype_.ptr());
    }

    // h5py picks the type of a Python number: int64, float64, its boolean.
    void write_number(const Group &parent, PyObject *key, const fmt::Entry &entry) {
        nb::object value = py::steal(entry.store == fmt::Store::Integer ? PyLong_FromLongLong(entry.integer)
                                     : entry.store == fmt::Store::Real  ? PyFloat_FromDouble(entry.real)
                                                                         : PyBool_FromLong(long(entry.integer)));
        create_dataset(parent, key, value.ptr(), nullptr);
    }

private:
    // parent.create_dataset(key, data=data[, dtype=dtype])
    void create_dataset(const Group &parent, PyObject *key, PyObject *data, PyObject *dtype) {
        PyObject *args[] = {parent.ptr(), key, data, dtype};
        py::steal(PyObject_VectorcallMethod(names().create_dataset, args, 2,
                                            dtype ? names().data_dtype_keywords : names().data_keywords));
    }

    nb::object string_dtype_;
};

// ---------------------------------------------------------------- h5py reader

// Answers core/format's questions about an h5py TypeID.
struct H5pyType {
    nb::object type;

    long long number(PyObject *method) const { return as_integer(call(type.ptr(), method)); }
    nb::object at(PyObject *method, int index) const {
        return call(type.ptr(), method, py::steal(PyLong_FromLong(index)).ptr());
    }

    int type_class() const { return int(number(names().get_class)); }
    std::size_t size() const { return std::size_t(number(names().get_size)); }
    bool big_endian() const { return number(names().get_order) == H5T_ORDER_BE; }
    bool is_signed() const { return number(names().get_sign) == H5T_SGN_2; }
    bool variable_string() const { return py::truthy(call(type.ptr(), names().is_variable_str).ptr()); }
    bool utf8() const { return number(names().get_cset) == H5T_CSET_UTF8; }
    int member_count() const { return int(number(names().get_nmembers)); }
    std::string member_name(int index) const {
        nb::object name = at(names().get_member_name, index);
        char *data;
        Py_ssize_t length;
        if (PyBytes_AsStringAndSize(name.ptr(), &data, &length) != 0)
            py::throw_error();
        return std::string(data, length);
    }
    long long enum_value(int index) const { return as_integer(at(names().get_member_value, index)); }
    H5pyType member(int index) const { return {at(names().get_member_type, index)}; }
};

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

PyMethodDef collect_link_def = {"collect_link", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(collect_link)),
                                METH_FASTCALL, nullptr};

class H5pyReader {
public:
    using Object = nb::object;
    struct Member {
        std::string name;
        fmt::Link link;
        nb::object raw_name;  // the name as h5py gives it (bytes)
    };

    explicit H5pyReader(PyObject *module) {
        nb::object h5py = py::attr(module, names().h5py);
        group_type_ = py::attr(h5py.ptr(), names().group_type);
        dataset_type_ = py::attr(h5py.ptr(), names().dataset_type);
        visited_ = py::steal(PySet_New(nullptr));
    }

    // In ascending byte order of the names, as the native walk lists them.
    std::vector<Member> members(const Object &group) {
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

    Member member(const Object &group, const char *name) {
        nb::object raw = py::steal(PyBytes_FromString(name));
        nb::object info = call(links_of(group).ptr(), names().get_info, raw.ptr());
        return describe(raw, py::attr(info.ptr(), names().type));
    }

    bool has_link(const Object &group, const char *name) {
        nb::object raw = py::steal(PyBytes_FromString(name));
        return py::truthy(call(links_of(group).ptr(), names().exists, raw.ptr()).ptr());
    }

    Object open(const Object &group, const Member &member) {
        return py::steal(PyObject_GetItem(group.ptr(), member.raw_name.ptr()));
    }

    fmt::ObjectKind kind(const Object &object) {
        if (is_instance(object, group_type_))
            return fmt::ObjectKind::Group;
        if (is_instance(object, dataset_type_))
            return fmt::ObjectKind::Dataset;
        return fmt::ObjectKind::Other;
    }

    // h5py's object identifiers compare equal for the same object in a file.
    bool first_visit(const Member &, const Object &group) {
        nb::object id = py::attr(group.ptr(), names().id);
        int seen = PySet_Contains(visited_.ptr(), id.ptr());
        if (seen < 0 || PySet_Add(visited_.ptr(), id.ptr()) != 0)
            py::throw_error();
        return seen == 0;
    }

    fmt::Storage storage(const Object &dataset, const Element &) {
        nb::object creation = call(py::attr(dataset.ptr(), names().id).ptr(), names().get_create_plist);
        if (as_integer(call(creation.ptr(), names().get_layout)) == H5D_VIRTUAL)
            return fmt::Storage::Virtual;
        if (as_integer(call(creation.ptr(), names().get_external_count)) > 0)
            return fmt::Storage::External;
        return fmt::Storage::InFile;
    }

    H5pyType type_of(const Object &dataset) {
        return {call(py::attr(dataset.ptr(), names().id).ptr(), names().get_type)};
    }

    fmt::Shape shape(const Object &dataset) {
        nb::object extent = py::attr(dataset.ptr(), names().shape);
        fmt::Shape shape;
        if (extent.is_none()) {
            shape.null = true;
            return shape;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extent.ptr()); ++i)
            shape.dims.push_back(hsize_t(as_integer(nb::borrow(PyTuple_GET_ITEM(extent.ptr(), i)))));
        shape.scalar = shape.dims.empty();
        return shape;
    }

    // h5py carries a newer HDF5, which checks heaps as it loads them.
    std::optional<std::string> data_problem(const Object &, const Element &, const fmt::Shape &) {
        return std::nullopt;
    }

    std::optional<std::string> group_problem(const Object &) { return std::nullopt; }

    // dataset[()], h5py's reading of the whole dataset.
    nb::object read(const Object &dataset, const Element &, const fmt::Shape &) {
        nb::object everything = py::steal(PyTuple_New(0));
        return py::steal(PyObject_GetItem(dataset.ptr(), everything.ptr()));
    }

private:
    static nb::object links_of(const Object &group) {
        return py::attr(py::attr(group.ptr(), names().id).ptr(), names().links);
    }

    static Member describe(nb::object raw_name, const nb::object &link_type) {
        char *data;
        Py_ssize_t length;
        if (PyBytes_AsStringAndSize(raw_name.ptr(), &data, &length) != 0)
            py::throw_error();
        auto type = static_cast<H5L_type_t>(as_integer(link_type));
        return {std::string(data, length), h5::link_kind(type), std::move(raw_name)};
    }

    static bool is_instance(const Object &object, const nb::object &type) {
        int result = PyObject_IsInstance(object.ptr(), type.ptr());
        if (result < 0)
            py::throw_error();
        return result == 1;
    }

    nb::object group_type_, dataset_type_, visited_;
};

// ---------------------------------------------------------------- paths

nb::object to_path(PyObject *module, PyObject *path) {
    nb::object pathlib = py::attr(module, names().pathlib);
    return py::steal(PyObject_CallOneArg(py::attr(pathlib.ptr(), names().path_type).ptr(), path));
}

bool ask(const nb::object &path, PyObject *method) { return py::truthy(call(path.ptr(), method).ptr()); }

// A path as the C library takes it: the file system's encoding of its text.
std::string file_system_path(PyObject *path) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded))
        py::throw_error();
    nb::object owner = py::steal(encoded);
    return std::string(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded));
}

// read and read_version: the path must name an existing regular file.
nb::object existing_file(PyObject *module, PyObject *argument) {
    nb::object path = to_path(module, argument);
    if (!ask(path, names().exists))
        py::raise(PyExc_FileNotFoundError, "ZOR-IR file not found: " + py::str(path.ptr()));
    if (!ask(path, names().is_file))
        py::raise(PyExc_ValueError, "Path is not a file: " + py::str(path.ptr()));
    return path;
}

[[noreturn]] void raise_from(PyObject *type, const std::string &message, const nb::python_error &cause) {
    nb::object error = py::steal(PyObject_CallFunction(type, "s", message.c_str()));
    PyException_SetCause(error.ptr(), Py_NewRef(cause.value().ptr()));
    PyException_SetContext(error.ptr(), Py_NewRef(cause.value().ptr()));
    PyErr_SetObject(type, error.ptr());
    throw nb::python_error();
}

// Runs `body`; an OSError from it (HDF5 cannot open or read the file)
// becomes ZORFormatError "Cannot read file as HDF5: <path>", caused by it.
template <typename Body>
nb::object as_format_error(const std::string &label, Body &&body) {
    try {
        return body();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        raise_from(fmt::format_error(), "Cannot read file as HDF5: " + label, error);
    }
}

// A file opened for reading, with its root group.
struct ReadFile {
    h5::File file;
    h5::Object root;

    ReadFile(const nb::object &path, const std::string &label)
        : file(H5Fopen(file_system_path(path.ptr()).c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), "Unable to open file",
               label),
          root(H5Gopen2(file.get(), "/", H5P_DEFAULT), "Unable to open the root group") {}
};

[[noreturn]] void missing(const char *what, const std::string &label) {
    py::raise(fmt::format_error(), py::join({"Invalid ZOR-IR file: missing ", what, " in ", label}));
}

// Opens the root member `name`, which must be a hard link to an object of `kind`.
h5::Object root_member(h5::Reader &reader, const ReadFile &file, const char *name, fmt::ObjectKind kind,
                       const std::string &label) {
    std::string path = py::join({"/", name});
    h5::Reader::Member member = reader.member(file.root, name);
    fmt::require_hard(member.link, path, label);
    h5::Object object = reader.open(file.root, member);
    if (reader.kind(object) != kind)
        fmt::refuse(path, kind == fmt::ObjectKind::Group ? "is not a group" : "is not a dataset", label);
    reader.first_visit(member, object);
    return object;
}

// ---------------------------------------------------------------- write

// Writes a file beside its target and moves it over the target only once it
// is complete, so that a failed write leaves an existing file untouched.
class Replacement {
public:
    Replacement(const nb::object &path, const std::string &label)
        : os_(py::steal(PyImport_Import(names().os))) {
        nb::object os_path = py::attr(os_.ptr(), names().path);
        // A symbolic link keeps pointing at the file it names.
        target_ = ask(path, names().is_symlink) ? call(os_path.ptr(), names().realpath, path.ptr())
                                                : py::steal(PyObject_Str(path.ptr()));
        // Opening the file for writing would respect its protection; so does this.
        if (py::truthy(call(os_path.ptr(), names().exists, target_.ptr()).ptr())) {
            nb::object writable = py::attr(os_.ptr(), names().write_access);
            PyObject *args[] = {os_.ptr(), target_.ptr(), writable.ptr()};
            if (!py::truthy(py::steal(PyObject_VectorcallMethod(names().access, args, 3, nullptr)).ptr())) {
                PyErr_SetObject(PyExc_PermissionError,
                                py::steal(Py_BuildValue("(isN)", EACCES, std::strerror(EACCES),
                                                        PyUnicode_DecodeFSDefault(label.c_str()))).ptr());
                py::throw_error();
            }
        }
        std::random_device random;
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x%08x.tmp", random(), random());
        nb::object split = call(os_path.ptr(), names().split, target_.ptr());
        nb::object name = py::steal(PyUnicode_FromFormat(".%U%s", PyTuple_GET_ITEM(split.ptr(), 1), suffix));
        PyObject *parts[] = {os_path.ptr(), PyTuple_GET_ITEM(split.ptr(), 0), name.ptr()};
        temporary_ = py::steal(PyObject_VectorcallMethod(names().join, parts, 3, nullptr));
        temporary_bytes_ = file_system_path(temporary_.ptr());
    }

    const std::string &temporary() const { return temporary_bytes_; }

    // Gives the new file the replaced file's permissions and moves it in place.
    void commit() {
        nb::object status = nb::steal(PyObject_CallMethodOneArg(os_.ptr(), names().stat, target_.ptr()));
        if (status.is_valid()) {
            nb::object mode = py::steal(PyNumber_And(py::attr(status.ptr(), names().st_mode).ptr(),
                                                     py::steal(PyLong_FromLong(07777)).ptr()));
            PyObject *args[] = {os_.ptr(), temporary_.ptr(), mode.ptr()};
            py::steal(PyObject_VectorcallMethod(names().chmod, args, 3, nullptr));
        } else if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();  // a new file keeps the permissions it was created with
        } else {
            py::throw_error();
        }
        PyObject *args[] = {os_.ptr(), temporary_.ptr(), target_.ptr()};
        py::steal(PyObject_VectorcallMethod(names().replace, args, 3, nullptr));
    }

    void discard() noexcept { std::remove(temporary_bytes_.c_str()); }

private:
    nb::object os_, target_, temporary_;
    std::string temporary_bytes_;
};

void write_graph(PyObject *module, PyObject *path_argument, PyObject *graph) {
    nb::object path = to_path(module, path_argument);
    std::string label = py::str(path.ptr());
    if (ask(path, names().is_dir))
        py::raise(PyExc_ValueError, "Path is a directory, not a file: " + label);
    nb::object parent = py::attr(path.ptr(), names().parent);
    if (!ask(parent, names().exists))
        py::raise(PyExc_ValueError, "Parent directory does not exist: " + py::str(parent.ptr()));

    nb::object data = call(graph, py::names().to_dict);
    zor::nodes::require_exact_dict(data.ptr(), "data");
    fmt::Plan plan = fmt::plan_tree(data.ptr(), "/graph");
    nb::object version = py::attr(module, names().version);
    if (!PyUnicode_Check(version.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(version.ptr())->tp_name);
        py::throw_error();
    }

    Replacement replacement(path, label);
    try {
        h5::File file(H5Fcreate(replacement.temporary().c_str(), H5F_ACC_EXCL,
                                h5::Writer::file_creation().get(), H5P_DEFAULT),
                      "Unable to create file", label);
        {
            h5::Writer writer;
            h5::Object root(H5Gopen2(file.get(), "/", H5P_DEFAULT), "Unable to open the root group");
            writer.write_text(root, names().version_key, version.ptr());
            fmt::write_plan(writer, plan, writer.create_group(root, names().graph_key));
        }
        file.close("Unable to close file", label);
        replacement.commit();
    } catch (...) {
        replacement.discard();
        throw;
    }
}

// ---------------------------------------------------------------- read

nb::object read_graph(PyObject *module, PyObject *path_argument) {
    nb::object path = existing_file(module, path_argument);
    std::string label = py::str(path.ptr());
    return as_format_error(label, [&] {
        nb::object data;
        {
            ReadFile file(path, label);
            h5::Reader reader(file.file);
            fmt::require_sound_group(reader, file.root, "/", label);
            if (!reader.has_link(file.root, "graph"))
                missing("'graph' group", label);
            if (!reader.has_link(file.root, "version"))
                missing("'version'", label);
            h5::Object graph = root_member(reader, file, "graph", fmt::ObjectKind::Group, label);
            data = fmt::read_tree(reader, std::move(graph), "/graph", label);
        }
        PyObject *type_name = PyDict_GetItemWithError(data.ptr(), py::names().type);
        if (!type_name && PyErr_Occurred())
            py::throw_error();
        // The registry of the package, looked up at every read: node modules register late.
        std::string module_name = py::str(py::steal(PyModule_GetNameObject(module)).ptr());
        nb::object package = py::steal(PyImport_ImportModule(module_name.substr(0, module_name.rfind('.')).c_str()));
        nb::object registry = py::attr(package.ptr(), names().str_to_node);
        nb::object cls = py::steal(PyObject_CallOneArg(registry.ptr(), type_name ? type_name : names().graph_type_name));
        return call(cls.ptr(), py::names().from_dict, data.ptr());
    });
}

nb::object read_version(PyObject *module, PyObject *path_argument) {
    nb::object path = existing_file(module, path_argument);
    std::string label = py::str(path.ptr());
    nb::object value = as_format_error(label, [&] {
        ReadFile file(path, label);
        h5::Reader reader(file.file);
        fmt::require_sound_group(reader, file.root, "/", label);
        if (!reader.has_link(file.root, "version"))
            missing("'version'", label);
        h5::Object version = root_member(reader, file, "version", fmt::ObjectKind::Dataset, label);
        return fmt::read_dataset(reader, version, "/version", label, false);
    });
    if (PyBytes_Check(value.ptr()))
        return py::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr()), nullptr));
    if (PyUnicode_Check(value.ptr()))
        return value;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.ptr())->tp_name);
    py::throw_error();
}

// ---------------------------------------------------------------- h5py walks

void write_recursive(PyObject *module, PyObject *group, PyObject *data) {
    zor::nodes::require_exact_dict(data, "data");
    fmt::Plan plan = fmt::plan_tree(data, py::str(py::attr(group, names().name).ptr()));
    H5pyWriter writer(module);
    fmt::write_plan(writer, plan, nb::borrow(group));
}

nb::object read_recursive(PyObject *module, PyObject *group_argument) {
    H5pyReader reader(module);
    nb::object group = nb::borrow(group_argument);
    if (reader.kind(group) != fmt::ObjectKind::Group) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "group",
                     "h5py.Group", Py_TYPE(group_argument)->tp_name);
        py::throw_error();
    }
    std::string root_path = py::str(py::attr(group_argument, names().name).ptr());
    nb::object file = py::attr(group_argument, names().file);
    std::string label = py::str(py::attr(file.ptr(), names().filename).ptr());
    reader.first_visit({}, group);
    return fmt::read_tree(reader, std::move(group), root_path, label);
}

// ---------------------------------------------------------------- entry points

template <typename Body>
PyObject *entry(Body &&body) noexcept {
    return py::guarded([&]() -> PyObject * {
        h5::silence_errors();
        return body();
    });
}

void parse(PyObject *args, PyObject *kwargs, const char *format, const char *const *keywords, PyObject **first,
           PyObject **second = nullptr) {
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(keywords), first, second))
        py::throw_error();
}

PyObject *write_entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    return entry([&] {
        static const char *const keywords[] = {"path", "graph", nullptr};
        PyObject *path, *graph;
        parse(args, kwargs, "OO:write", keywords, &path, &graph);
        write_graph(module, path, graph);
        return Py_NewRef(Py_None);
    });
}

PyObject *read_entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    return entry([&] {
        static const char *const keywords[] = {"path", nullptr};
        PyObject *path;
        parse(args, kwargs, "O:read", keywords, &path);
        return read_graph(module, path).release().ptr();
    });
}

PyObject *read_version_entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    return entry([&] {
        static const char *const keywords[] = {"path", nullptr};
        PyObject *path;
        parse(args, kwargs, "O:read_version", keywords, &path);
        return read_version(module, path).release().ptr();
    });
}

PyObject *write_recursive_entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    return entry([&] {
        static const char *const keywords[] = {"group", "data", nullptr};
        PyObject *group, *data;
        parse(args, kwargs, "OO:_write_recursive", keywords, &group, &data);
        write_recursive(module, group, data);
        return Py_NewRef(Py_None);
    });
}

PyObject *read_recursive_entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    return entry([&] {
        static const char *const keywords[] = {"group", nullptr};
        PyObject *group;
        parse(args, kwargs, "O:_read_recursive", keywords, &group);
        return read_recursive(module, group).release().ptr();
    });
}

const char *const kModuleDoc = R"(HDF5 serialization for ZOR-IR graphs.

ZOR-IR uses HDF5 (conventional extension .zor) for portable, self-describing
serialization: all NumPy arrays, metadata and graph structure are preserved.

File layout:
    /version   scalar variable-length UTF-8 string: the format version
    /graph     group: the written object's to_dict(), one member per entry

Value kinds, first match:
    None                     not stored
    str                      scalar variable-length UTF-8 string
    NumPy array or scalar    dataset of its own dtype (0-d: scalar dataspace);
                             an object array of str/bytes: UTF-8 strings
    dict                     subgroup
    [] and [(a, b), ...]     pair group: string datasets src and dst
    [str, ...], (str, ...)   one-dimensional variable-length UTF-8 strings
    other list or tuple      np.array(value), stored as an array
    bool, int, float         scalar boolean enumeration, int64, float64
    anything else            str(value), as a string

Keys must be non-empty text other than '.', without '/' or NUL characters.
write() builds the file beside its target and moves it over the target only
when it is complete. Reading refuses what would lead outside the file (soft
and external links, external raw storage, virtual datasets), datatypes it
does not know, and heaps too corrupt for HDF5 to follow safely, with
ZORFormatError.
)";

const char *const kWriteDoc = R"(write(path: Union[str, pathlib.Path], graph: Node) -> None

Save ZOR-IR graph to HDF5 file.

The file is written beside the target under a temporary name and moved over
the target once complete: a failed write leaves an existing file untouched.

Args:
    path: Output file path (conventionally with .zor extension).
    graph: Graph to serialize (any object whose to_dict() returns a dict).

Raises:
    ValueError: If file path is invalid, or a key or text cannot be stored.
    OSError: If file cannot be written.
)";

const char *const kReadDoc = R"(read(path: Union[str, pathlib.Path]) -> Graph

Load ZOR-IR graph from HDF5 file.

Args:
    path: Input file path.

Returns:
    Deserialized graph (the class registered under the stored "type").

Raises:
    FileNotFoundError: If file does not exist.
    ZORFormatError: If file is not a valid ZOR-IR file.
)";

const char *const kReadVersionDoc = R"(read_version(path: Union[str, pathlib.Path]) -> str

Read ZOR-IR format version from file without loading graph.

Args:
    path: Input file path.

Returns:
    Version string (e.g., "0.0.1").

Raises:
    FileNotFoundError: If file does not exist.
    ZORFormatError: If file is not a valid ZOR-IR file.
)";

const char *const kWriteRecursiveDoc = R"(_write_recursive(group: h5py.Group, dict data: Dict[str, Any]) -> None

Write dictionary to HDF5 group iteratively (avoids recursion limit).

Uses an explicit stack to avoid Python's recursion limit on deeply nested data.
Every key and value is checked before the group is touched.
)";

const char *const kReadRecursiveDoc = R"(_read_recursive(group: h5py.Group) -> Dict[str, Any]

Read HDF5 group to dictionary iteratively (avoids recursion limit).

Uses an explicit stack to avoid Python's recursion limit on deeply nested data.
)";

const char *const kFormatErrorDoc = "Raised when a ZOR-IR file is malformed or corrupt.";

#define ZOR_FUNCTION(name, function, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_VARARGS | METH_KEYWORDS, doc}

// In the order the module defines them.
PyMethodDef functions[] = {
    ZOR_FUNCTION("_write_recursive", write_recursive_entry, kWriteRecursiveDoc),
    ZOR_FUNCTION("_read_recursive", read_recursive_entry, kReadRecursiveDoc),
    ZOR_FUNCTION("write", write_entry, kWriteDoc),
    ZOR_FUNCTION("read", read_entry, kReadDoc),
    ZOR_FUNCTION("read_version", read_version_entry, kReadVersionDoc),
};

}  // namespace

NB_MODULE(serialization, m) {
    py::init(m);
    h5::silence_errors();
    h5::disable_plugins();
    m.doc() = kModuleDoc;
    zor::nodes::bind_imports(m, {"pathlib", "Any", "Dict", "Union", "h5py", "np", "Graph", "Node"});
    m.attr("__version__") = "0.0.1";
    m.attr("__hdf5_version__") = nb::str(h5::library_version().c_str());
    // HDF5's count of open files and objects, for the tests: its symbols are
    // hidden in this module, so nothing outside can call it.
    m.def("__hdf5_obj_count__", [](hid_t file, unsigned types) { return H5Fget_obj_count(file, types); });
    nb::object error = py::steal(
        PyErr_NewExceptionWithDoc("zor.ir.serialization.ZORFormatError", kFormatErrorDoc, PyExc_Exception, nullptr));
    m.attr("ZORFormatError") = error;
    fmt::set_format_error(error.ptr());
    nb::object module_name = m.attr("__name__");
    for (PyMethodDef &function : functions)
        m.attr(function.ml_name) = py::steal(PyCFunction_NewEx(&function, m.ptr(), module_name.ptr()));
}
