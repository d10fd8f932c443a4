// Building node classes at import: each one is a real
// dataclasses.dataclass(eq=False) over zor.ir.node.Node, declared from a
// table of fields, with C++ hooks installed as method descriptors.
#pragma once

#include "core/nodes/python.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace zor::nodes {

namespace nb = nanobind;

// A field's default, as data.
struct Default {
    enum Kind { Required, None, Int, Float, Bool, Text, IntPair, NewDict } kind = Required;
    long long first = 0;
    long long second = 0;
    double real = 0.0;
    const char *text = nullptr;

    // A new Python object holding this default (IntPair: a tuple shared by
    // every instance, NewDict: a dataclasses.field with a dict factory).
    nb::object make() const;
};

constexpr Default required() { return {}; }
constexpr Default none() { return {Default::None}; }
constexpr Default integer(long long value) { return {Default::Int, value}; }
constexpr Default real(double value) { return {Default::Float, 0, 0, value}; }
constexpr Default boolean(bool value) { return {Default::Bool, value}; }
constexpr Default text(const char *value) { return {Default::Text, 0, 0, 0.0, value}; }
constexpr Default pair(long long a, long long b) { return {Default::IntPair, a, b}; }
constexpr Default new_dict() { return {Default::NewDict}; }

struct Field {
    const char *name;
    const char *annotation;
    Default value;
};

// The port fields that close every node's field list.
inline const Field input_type_field{"input_type", "Optional[Shape]", none()};
inline const Field output_type_field{"output_type", "Optional[Shape]", none()};
inline const Field metadata_field{"metadata", "Dict[str, Any]", new_dict()};

struct ClassDef {
    const char *name;
    const char *doc;
    std::vector<Field> fields;
    PyCFunction post_init;                  // METH_NOARGS
    const char *post_init_doc = nullptr;
    PyCFunction to_dict = nullptr;          // METH_NOARGS, or Node's generic form
    PyCFunctionFastWithKeywords from_dict = nullptr;  // class method, or Node's
};

// C entry points around C++ bodies; see py::guarded for error handling.
template <void (*Body)(PyObject *)>
PyObject *hook(PyObject *self, PyObject *) noexcept {
    return py::guarded([&]() -> PyObject * {
        Body(self);
        Py_RETURN_NONE;
    });
}

template <nb::object (*Body)(PyObject *)>
PyObject *getter(PyObject *self, PyObject *) noexcept {
    return py::guarded([&]() -> PyObject * { return Body(self).release().ptr(); });
}

// Parses the single argument `data` of from_dict (by position or keyword).
PyObject *single_argument(const char *function, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames);

template <nb::object (*Body)(PyObject *cls, PyObject *data)>
PyObject *class_method(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) noexcept {
    return py::guarded([&]() -> PyObject * {
        PyObject *data = single_argument("from_dict", args, nargs, kwnames);
        return Body(cls, data).release().ptr();
    });
}

// Defines the class in `module` and returns it.
nb::object define_class(nb::module_ &module, const ClassDef &def);

// Opens the execution of a module: NumPy's C API and the shared name cache
// (py::init), the module's documentation, and the names it imports at load.
void open_module(nb::module_ &module, const char *doc, std::initializer_list<const char *> imports);

// Binds the names a module imports at load ("np", "Node", "Optional", ...),
// each from where the package's modules take it (one table in nodes.cpp).
void bind_imports(nb::module_ &module, std::initializer_list<const char *> names);

// class Name(str, Enum) with the given (member, value) pairs.
nb::object define_str_enum(nb::module_ &module, const char *name, const char *doc,
                           std::initializer_list<std::pair<const char *, const char *>> members);

// Literal['a', 'b', ...] bound as a type alias.
nb::object define_literal(nb::module_ &module, const char *name,
                          std::initializer_list<const char *> values);

}  // namespace zor::nodes
