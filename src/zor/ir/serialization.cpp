// zor.ir.serialization: graphs to HDF5 files and back.
//
// write, read and read_version work on the HDF5 C library directly (the
// native walks of core/native_walk); _write_recursive and _read_recursive
// take h5py groups (core/h5py_walk). Both run the rules of core/format.
#include "core/io/files.hpp"
#include "core/format/format.hpp"
#include "core/format/h5py_walk.hpp"
#include "core/guard/driver.hpp"
#include "core/codec/filters.hpp"
#include "core/format/native_walk.hpp"
#include "core/nodes/nodes.hpp"
#include "doc/serialization.hpp"

#include <array>
#include <optional>
#include <string>

#include <fcntl.h>

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace h5 = zor::hdf5;
namespace fmt = zor::format;
namespace files = zor::files;
namespace doc = zor::doc::serialization;

struct Names {
    PyObject *version, *version_key, *graph_key, *h5py, *name, *file, *filename, *str_to_node, *graph_type_name,
        *dataset_layout;
};
const Names *names_cache = nullptr;

const Names &names() {
    return py::create_once(names_cache, [] {
        return Names{py::intern("__version__"), py::intern("version"), py::intern("graph"),
                     py::intern("h5py"), py::intern("name"), py::intern("file"), py::intern("filename"),
                     py::intern("str_to_node"), py::intern("Graph"), py::intern("DatasetLayout")};
    });
}

[[noreturn]] void raise_from(PyObject *type, const std::string &message, const nb::python_error &cause) {
    nb::object error = py::steal(PyObject_CallFunction(type, "s", message.c_str()));
    PyException_SetCause(error.ptr(), Py_NewRef(cause.value().ptr()));
    PyException_SetContext(error.ptr(), Py_NewRef(cause.value().ptr()));
    PyErr_SetObject(type, error.ptr());
    throw nb::python_error();
}

// Runs `body`; an OSError from it (the file cannot be opened or read as
// HDF5), or HDF5 failing to allocate what the file made it ask for, becomes
// ZORFormatError "Cannot read file as HDF5: <path>", caused by it.
template <typename Body>
nb::object as_format_error(const std::string &label, Body &&body) {
    try {
        return body();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError) && !(error.matches(PyExc_MemoryError) && h5::raised_by_library(error)))
            throw;
        raise_from(fmt::format_error(), "Cannot read file as HDF5: " + label, error);
    }
}

// A function's parameters: PyArg_ParseTupleAndKeywords' format, all "O"
// (the options after "$" are keyword-only), and the keyword names.
struct Signature {
    const char *format;
    const char *keywords[6];
};

// The parsed arguments of a module function, in the order of its signature;
// an option not given is null.
using Arguments = std::array<PyObject *, 5>;

// A yes/no option, tested for truth as Python's `if` does; off when not given.
bool option_set(PyObject *option) { return option && py::truthy(option); }

// ---------------------------------------------------------------- write

// write's compression option: None (off), "gzip" (level 4) or ("gzip", level)
// with a level from 1 to 9; the deflate level, 0 when off.
int deflate_level(PyObject *compression) {
    constexpr int kDefaultLevel = 4;
    if (!compression || compression == Py_None)
        return 0;
    auto is_gzip = [](PyObject *name) { return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "gzip") == 0; };
    if (is_gzip(compression))
        return kDefaultLevel;
    if (PyTuple_Check(compression) && PyTuple_GET_SIZE(compression) == 2 && is_gzip(PyTuple_GET_ITEM(compression, 0))) {
        PyObject *level = PyTuple_GET_ITEM(compression, 1);
        int overflow = 0;
        long value = PyLong_Check(level) && !PyBool_Check(level) ? PyLong_AsLongAndOverflow(level, &overflow) : 0;
        if (!overflow && value >= 1 && value <= 9)
            return int(value);
    }
    nb::object shown = py::steal(PyObject_Repr(compression));
    py::raise(PyExc_ValueError,
              "compression must be None, 'gzip' or ('gzip', level) with a level from 1 to 9, got " + py::str(shown.ptr()));
}

nb::object write_graph(PyObject *module, const Arguments &args) {
    PyObject *graph = args[1];
    const h5::ArrayFilters filters{deflate_level(args[2]), option_set(args[3])};
    files::Path path = files::writable_path(args[0]);
    const bool durable = !args[4] || py::truthy(args[4]);
    nb::object data = py::call_method(graph, py::names().to_dict);
    py::require_exact_dict(data.ptr(), "data");
    fmt::Plan plan = fmt::plan_tree(data.ptr(), "/graph");
    nb::object version = py::attr(module, names().version);
    if (!PyUnicode_Check(version.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(version.ptr())->tp_name);
        py::throw_error();
    }

    files::Replacement replacement(path, durable);
    // Through our file driver: a failed write is raised by us, and every
    // handle still closes cleanly on the way out (core/driver).
    h5::File file(H5Fcreate(replacement.destination().c_str(), H5F_ACC_TRUNC, h5::Writer::file_creation().get(),
                            h5::driver_access(replacement.descriptor(), path.native).get()),
                  "Unable to create file");
    const h5::DriverFile &driver = h5::driver_file(file.get());
    {
        h5::Writer writer(filters, &driver);
        h5::Object root(H5Gopen2(file.get(), "/", H5P_DEFAULT), "Unable to open the root group");
        writer.write_text(root, names().version_key, version.ptr());
        fmt::write_plan(writer, plan, writer.create_group(root, names().graph_key));
    }
    h5::check(H5Fflush(file.get(), H5F_SCOPE_LOCAL), "Unable to write file");
    driver.raise_if_failed();
    file.close("Unable to close file");
    replacement.commit();
    return nb::none();
}

// ---------------------------------------------------------------- read

// A file opened for reading, with its root group. The file is opened here,
// so that the system's refusal (a missing permission) is reported as the
// system gives it, and HDF5 reads it through our file driver.
struct ReadFile {
    zor::posix::Descriptor descriptor;
    h5::File file;
    h5::Object root;

    explicit ReadFile(const files::Path &path)
        : descriptor(opened(path)),
          file(H5Fopen(path.native.c_str(), H5F_ACC_RDONLY, h5::driver_access(descriptor.get(), path.native).get()),
               "Unable to open file"),
          root(H5Gopen2(file.get(), "/", H5P_DEFAULT), "Unable to open the root group") {}

    static zor::posix::Descriptor opened(const files::Path &path) {
        zor::posix::Descriptor fd(::open(path.native.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            zor::posix::raise_os_error(errno, path.native);
        return fd;
    }
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
    return object;
}

// A name of the package, looked up at every read: node modules register late.
nb::object package_attribute(PyObject *module, PyObject *name) {
    std::string module_name = py::str(py::steal(PyModule_GetNameObject(module)).ptr());
    nb::object package = py::steal(PyImport_ImportModule(module_name.substr(0, module_name.rfind('.')).c_str()));
    return py::attr(package.ptr(), name);
}

// The class registered under `type_name` in the package's registry.
nb::object registered_class(PyObject *module, PyObject *type_name) {
    nb::object registry = package_attribute(module, names().str_to_node);
    return py::steal(PyObject_CallOneArg(registry.ptr(), type_name));
}

// read's max_array_bytes option: an integer of at least 0, or None for no
// limit; 4 GiB when not given.
std::optional<std::uint64_t> max_array_bytes(PyObject *option) {
    if (!option)
        return h5::kMaxArrayBytes;
    if (option == Py_None)
        return std::nullopt;
    if (!PyLong_Check(option) || PyBool_Check(option)) {
        PyErr_Format(PyExc_TypeError, "max_array_bytes must be None or an integer, got %.200s", Py_TYPE(option)->tp_name);
        py::throw_error();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(option, &overflow);
    if (overflow > 0)  // more than any array can take
        return std::nullopt;
    if (overflow < 0 || value < 0)
        py::raise(PyExc_ValueError, "max_array_bytes must be at least 0, got " + py::str(option));
    return std::uint64_t(value);
}

// read(path, *, mmap=False, layout=False, max_array_bytes=4 GiB); with
// layout, the layout of the stored graph instead (zor.ir.read_layout):
// records of the package's DatasetLayout.
nb::object read_graph(PyObject *module, const Arguments &args) {
    files::Path path = files::existing_file(args[0]);
    const std::string &label = path.label;
    const bool layout = option_set(args[2]);
    const std::optional<std::uint64_t> array_limit = max_array_bytes(args[3]);
    nb::object record = layout ? package_attribute(module, names().dataset_layout) : nb::object();
    return as_format_error(label, [&] {
        nb::object data;
        {
            ReadFile file(path);
            h5::Reader reader(file.file, array_limit);
            if (option_set(args[1]) && !layout)
                reader.map_arrays(file.file);
            fmt::require_sound_group(reader, file.root, "/", label);
            if (!reader.has_link(file.root, "graph"))
                missing("'graph' group", label);
            if (!reader.has_link(file.root, "version"))
                missing("'version'", label);
            h5::Object graph = root_member(reader, file, "graph", fmt::ObjectKind::Group, label);
            if (layout)
                return h5::read_layout(reader, std::move(graph), "/graph", label, record.ptr());
            data = fmt::read_tree(reader, std::move(graph), "/graph", label);
        }
        PyObject *type_name = PyDict_GetItemWithError(data.ptr(), py::names().type);
        if (!type_name && PyErr_Occurred())
            py::throw_error();
        nb::object cls = registered_class(module, type_name ? type_name : names().graph_type_name);
        return py::call_method(cls.ptr(), py::names().from_dict, data.ptr());
    });
}

nb::object read_version(PyObject *, const Arguments &args) {
    files::Path path = files::existing_file(args[0]);
    const std::string &label = path.label;
    nb::object value = as_format_error(label, [&] {
        ReadFile file(path);
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

nb::object write_recursive(PyObject *module, const Arguments &args) {
    PyObject *group = args[0], *data = args[1];
    py::require_exact_dict(data, "data");
    fmt::Plan plan = fmt::plan_tree(data, py::str(py::attr(group, names().name).ptr()));
    zor::h5py_walk::Writer writer(py::attr(module, names().h5py).ptr());
    fmt::write_plan(writer, plan, nb::borrow(group));
    return nb::none();
}

nb::object read_recursive(PyObject *module, const Arguments &args) {
    PyObject *group_argument = args[0];
    zor::h5py_walk::Reader reader(py::attr(module, names().h5py).ptr());
    nb::object group = nb::borrow(group_argument);
    if (reader.kind(group) != fmt::ObjectKind::Group) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "group",
                     "h5py.Group", Py_TYPE(group_argument)->tp_name);
        py::throw_error();
    }
    std::string root_path = py::str(py::attr(group_argument, names().name).ptr());
    nb::object file = py::attr(group_argument, names().file);
    std::string label = py::str(py::attr(file.ptr(), names().filename).ptr());
    return fmt::read_tree(reader, std::move(group), root_path, label);
}

// ---------------------------------------------------------------- entry points

// The C entry point of a module function: parses its arguments by
// `signature`, silences HDF5's error printing and runs `Body`.
template <const Signature &signature, nb::object (*Body)(PyObject *module, const Arguments &)>
PyObject *entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    return py::guarded([&]() -> PyObject * {
        h5::silence_errors();
        Arguments parsed{};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, signature.format, const_cast<char **>(signature.keywords),
                                         &parsed[0], &parsed[1], &parsed[2], &parsed[3], &parsed[4]))
            py::throw_error();
        return Body(module, parsed).release().ptr();
    });
}

constexpr Signature kWrite{"OO|$OOO:write", {"path", "graph", "compression", "checksum", "durable", nullptr}};
constexpr Signature kRead{"O|$OOO:read", {"path", "mmap", "layout", "max_array_bytes", nullptr}};
constexpr Signature kReadVersion{"O:read_version", {"path", nullptr}};
constexpr Signature kWriteRecursive{"OO:_write_recursive", {"group", "data", nullptr}};
constexpr Signature kReadRecursive{"O:_read_recursive", {"group", nullptr}};

#define ZOR_FUNCTION(name, signature, body, doc)                                                                 \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<signature, body>)),                  \
     METH_VARARGS | METH_KEYWORDS, doc}

// In the order the module defines them.
PyMethodDef functions[] = {
    ZOR_FUNCTION("_write_recursive", kWriteRecursive, write_recursive, doc::kWriteRecursiveDoc),
    ZOR_FUNCTION("_read_recursive", kReadRecursive, read_recursive, doc::kReadRecursiveDoc),
    ZOR_FUNCTION("write", kWrite, write_graph, doc::kWriteDoc),
    ZOR_FUNCTION("read", kRead, read_graph, doc::kReadDoc),
    ZOR_FUNCTION("read_version", kReadVersion, read_version, doc::kReadVersionDoc),
};

}  // namespace

NB_MODULE(serialization, m) {
    zor::nodes::open_module(m, doc::kModuleDoc, {"pathlib", "Any", "Dict", "Union", "h5py", "np", "Graph", "Node"});
    h5::silence_errors();
    h5::disable_plugins();
    h5::register_bounded_deflate();
    m.attr("__version__") = "0.0.1";
    m.attr("__hdf5_version__") = nb::str(h5::library_version().c_str());
    // HDF5's count of open files and objects, for the tests: its symbols are
    // hidden in this module, so nothing outside can call it.
    m.def("__hdf5_obj_count__", [](hid_t file, unsigned types) { return H5Fget_obj_count(file, types); });
    nb::object error = py::steal(PyErr_NewExceptionWithDoc("zor.ir.serialization.ZORFormatError",
                                                           doc::kFormatErrorDoc, PyExc_Exception, nullptr));
    m.attr("ZORFormatError") = error;
    fmt::set_format_error(error.ptr());
    nb::object module_name = m.attr("__name__");
    for (PyMethodDef &function : functions)
        m.attr(function.ml_name) = py::steal(PyCFunction_NewEx(&function, m.ptr(), module_name.ptr()));
}
