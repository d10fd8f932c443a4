// zor.ir.serialization: graphs to HDF5 files and back.
//
// write, read and read_version work on the HDF5 C library directly (the
// native walks of core/format/native_walk.hpp); _write_recursive and
// _read_recursive take h5py groups (core/format/h5py_walk). Both run the rules
// of core/format/format.
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
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace h5 = zor::hdf5;
namespace fmt = zor::format;
namespace files = zor::files;
namespace doc = zor::doc::serialization;

struct Names {
    PyObject *version, *version_key, *graph_key, *h5py, *name, *file, *filename, *str_to_node, *graph_type_name;
};
const Names *names_cache = nullptr;

const Names &names() {
    return py::create_once(names_cache, [] {
        return Names{py::intern("__version__"), py::intern("version"), py::intern("graph"),
                     py::intern("h5py"), py::intern("name"), py::intern("file"), py::intern("filename"),
                     py::intern("str_to_node"), py::intern("Graph")};
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

// The parsed arguments of a module function, in the order of its parameters;
// an option not given is null. Room for more than any function has, so that
// a new option is one more name in its parameters.
constexpr std::size_t kMaxArguments = 8;
using Arguments = std::array<PyObject *, kMaxArguments>;

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

// The package this module belongs to ("zor.ir"), or one of its modules.
nb::object package_module(PyObject *module, const char *member = nullptr) {
    std::string name = py::str(py::steal(PyModule_GetNameObject(module)).ptr());
    name.resize(name.rfind('.'));
    if (member)
        name = py::join({name, ".", member});
    return py::steal(PyImport_ImportModule(name.c_str()));
}

// The package's registry lookup, fetched at every read (`from . import
// str_to_node`): the package builds it after this module has loaded.
nb::object node_registry(PyObject *module) { return py::attr(package_module(module).ptr(), names().str_to_node); }

// The record of read(path, layout=True): zor.ir.types.DatasetLayout, taken
// at import and kept for the life of the process.
PyObject *dataset_layout = nullptr;

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
// layout, the layout of the stored graph instead (zor.ir.read_layout).
nb::object read_graph(PyObject *module, const Arguments &args) {
    files::Path path = files::existing_file(args[0]);
    const std::string &label = path.label;
    const bool layout = option_set(args[2]);
    const std::optional<std::uint64_t> array_limit = max_array_bytes(args[3]);
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
                return h5::read_layout(reader, std::move(graph), "/graph", label, dataset_layout);
            data = fmt::read_tree(reader, std::move(graph), "/graph", label);
        }
        PyObject *type_name = PyDict_GetItemWithError(data.ptr(), py::names().type);
        if (!type_name && PyErr_Occurred())
            py::throw_error();
        nb::object registry = node_registry(module);
        nb::object cls = py::steal(PyObject_CallOneArg(registry.ptr(), type_name ? type_name : names().graph_type_name));
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

// A module function, declared once: its parameters as inspect.signature shows
// them (those after "*" keyword-only; a default is what the body does with an
// option not given), from which CPython's parser and the signature follow;
// then its body and its documentation.
struct Function {
    const char *name;
    const char *parameters;
    nb::object (*body)(PyObject *module, const Arguments &);
    const char *doc;
};

// In the order the module defines them.
constexpr Function kFunctions[] = {
    {"_write_recursive", "group, data", write_recursive, doc::kWriteRecursiveDoc},
    {"_read_recursive", "group", read_recursive, doc::kReadRecursiveDoc},
    {"write", "path, graph, *, compression=None, checksum=False, durable=True", write_graph, doc::kWriteDoc},
    {"read", "path, *, mmap=False, layout=False, max_array_bytes=4294967296", read_graph, doc::kReadDoc},
    {"read_version", "path", read_version, doc::kReadVersionDoc},
};
constexpr std::size_t kFunctionCount = std::size(kFunctions);

constexpr std::size_t parameter_count(std::string_view parameters) {
    std::size_t count = 1;
    for (char c : parameters)
        count += c == ',';
    return count - (parameters.find('*') != std::string_view::npos);
}
static_assert([] {
    for (const Function &function : kFunctions)
        if (parameter_count(function.parameters) > kMaxArguments)
            return false;
    return true;
}(), "a function has more parameters than Arguments holds");

// What CPython's parser and method table take of a Function, made at import.
struct Parser {
    std::string format;                  // "OO|$OOO:write": all objects, "$" before the keyword-only
    std::vector<std::string> names;      // the parameters' names, in order
    std::vector<const char *> keywords;  // the same, null-terminated
    std::string doc;                     // "write($module, /, ...)\n--\n\n" and the documentation
};

Parser make_parser(const Function &function) {
    Parser parser;
    std::string_view rest = function.parameters;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(", ");
        const std::string_view parameter = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
        if (parameter == "*") {
            parser.format += "|$";
            continue;
        }
        parser.names.emplace_back(parameter.substr(0, parameter.find('=')));
        parser.format += 'O';
    }
    parser.format += std::string(":") + function.name;
    for (const std::string &name : parser.names)
        parser.keywords.push_back(name.c_str());
    parser.keywords.push_back(nullptr);
    // CPython takes a first line of this form as the text signature and
    // leaves the documentation after it as __doc__.
    parser.doc = py::join({function.name, "($module, /, ", function.parameters, ")\n--\n\n", function.doc});
    return parser;
}

const std::array<Parser, kFunctionCount> *parsers_cache = nullptr;

const std::array<Parser, kFunctionCount> &parsers() {
    return py::create_once(parsers_cache, [] {
        std::array<Parser, kFunctionCount> made;
        for (std::size_t i = 0; i < kFunctionCount; ++i)
            made[i] = make_parser(kFunctions[i]);
        return made;
    });
}

template <std::size_t... slot>
bool parse(PyObject *args, PyObject *kwargs, const Parser &parser, Arguments &parsed, std::index_sequence<slot...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, parser.format.c_str(), const_cast<char **>(parser.keywords.data()),
                                       &parsed[slot]...);
}

// The C entry point of kFunctions[index]: parses its arguments, silences
// HDF5's error printing and runs its body.
template <std::size_t index>
PyObject *entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    return py::guarded([&]() -> PyObject * {
        h5::silence_errors();
        Arguments parsed{};
        if (!parse(args, kwargs, parsers()[index], parsed, std::make_index_sequence<kMaxArguments>()))
            py::throw_error();
        return kFunctions[index].body(module, parsed).release().ptr();
    });
}

// The method table: CPython declares a function with keywords by the type
// of one without (its own _PyCFunction_CAST), hence the casts.
template <std::size_t... index>
std::array<PyMethodDef, kFunctionCount> method_table(std::index_sequence<index...>) {
    return {PyMethodDef{kFunctions[index].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<index>)),
                        METH_VARARGS | METH_KEYWORDS, parsers()[index].doc.c_str()}...};
}

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
    dataset_layout = py::attr(package_module(m.ptr(), "types").ptr(), py::intern("DatasetLayout")).release().ptr();
    nb::object module_name = m.attr("__name__");
    // Kept for the life of the process, as CPython requires of a method table.
    static auto *methods = new std::array<PyMethodDef, kFunctionCount>(method_table(std::make_index_sequence<kFunctionCount>()));
    for (PyMethodDef &function : *methods)
        m.attr(function.ml_name) = py::steal(PyCFunction_NewEx(&function, m.ptr(), module_name.ptr()));
}
