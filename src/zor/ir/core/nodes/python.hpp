// Python helpers shared by every extension module of zor.ir.
//
// Hot paths talk to the CPython and NumPy C APIs directly; nanobind objects
// serve as owning references (nb::object) and for module definition.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace zor::py {

namespace nb = nanobind;

// Throws the Python error that is currently set (a null result of a C API call).
[[noreturn]] void throw_error();

// A str from UTF-8 made by str() below; bytes it stands for come back as
// they were (surrogate escapes).
nb::object text(const std::string &utf8);

// Sets `type` with `message` and throws it.
[[noreturn]] void raise(PyObject *type, const std::string &message);

// Takes ownership of a new reference; a null pointer means a Python error is set.
inline nb::object steal(PyObject *object) {
    if (!object)
        throw_error();
    return nb::steal(object);
}

inline nb::object attr(PyObject *object, PyObject *name) {
    return steal(PyObject_GetAttr(object, name));
}

// object.method() and object.method(argument).
inline nb::object call_method(PyObject *object, PyObject *method) {
    return steal(PyObject_CallMethodNoArgs(object, method));
}
inline nb::object call_method(PyObject *object, PyObject *method, PyObject *argument) {
    return steal(PyObject_CallMethodOneArg(object, method, argument));
}

// A Python integer as a C long long; OverflowError beyond its range.
long long as_long_long(PyObject *value);

inline void set_attr(PyObject *object, PyObject *name, PyObject *value) {
    if (PyObject_SetAttr(object, name, value) != 0)
        throw_error();
}

// Truth test, comparison and text form as the interpreter does them; the
// text form is UTF-8, with the surrogate escapes of undecodable path bytes
// turned back into those bytes.
bool truthy(PyObject *object);
bool compare(PyObject *a, PyObject *b, int op);
std::string str(PyObject *object);

// Refuses anything but an exact dict, in the interpreter's words for a typed
// argument: "Argument 'data' has incorrect type (expected dict, got list)".
void require_exact_dict(PyObject *data, const char *argument = "data");

// Calls a C++ body from a C entry point: Python errors stay set, C++
// exceptions become the matching Python exceptions, nothing escapes.
template <typename Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

// Creates a module's table of interned names (or other objects kept for
// the life of the process) on its first execution; later executions of the
// module reuse it.
template <typename Table, typename Make>
const Table &create_once(const Table *&slot, Make &&make) {
    if (!slot)
        slot = new Table(make());
    return *slot;
}

// Interned attribute names and the NumPy callables used on hot paths. They
// are created once per process and deliberately never released, so that no
// destructor runs after the interpreter has gone.
struct Names {
    PyObject *input_type, *output_type, *input, *output, *type, *metadata;
    PyObject *shape, *ndim, *copy, *dtype, *keys, *to_dict, *from_dict;
    PyObject *np_array, *np_asarray, *np_atleast_1d, *np_float32;
    PyObject *dtype_keyword;  // the tuple ("dtype",) for keyword calls
};
const Names &names();

// Interns `text` for the life of the process.
PyObject *intern(const char *text);

// Imports NumPy's C API into the calling module and fills the name cache;
// every module calls it first when it is executed.
void init(nb::module_ &module);

// np.array([value]): a one-element array. A Python int takes the fast path
// (NumPy's default integer type); anything else goes through NumPy itself.
nb::object one_element_array(PyObject *value);

// np.array(value).
nb::object array(PyObject *value);

// np.atleast_1d(np.asarray(value, dtype=np.float32)); an array that already
// qualifies (float32 in the native byte order, at least one dimension) is
// returned as the same object.
nb::object float32_array_1d(PyObject *value);

// np.asarray(value, dtype=np.float32): a native-endian float32 array, the
// same object when `value` is one.
nb::object float32_array(PyObject *value);

// tuple(int(x) for x in values).
nb::object int_tuple(PyObject *values);

// A new dictionary {key: value}.
nb::object single_entry_dict(PyObject *key, PyObject *value);

// The `shape` of an array-like as a tuple and its `ndim` as an integer,
// read straight from the array struct for NumPy arrays and through the
// attributes otherwise (so duck-typed arrays and their errors behave as in
// Python).
nb::object shape_tuple(PyObject *object);
Py_ssize_t ndim_of(PyObject *object);
// shape[index] as a Python object.
nb::object shape_at(PyObject *object, Py_ssize_t index);

// Fills `input_type` / `output_type` with {key: value} when still None;
// `make` builds the value only when it is needed.
template <typename Make>
void fill_port(PyObject *self, PyObject *field_name, PyObject *key, Make &&make) {
    nb::object current = attr(self, field_name);
    if (!current.is_none())
        return;
    nb::object value = make();
    set_attr(self, field_name, single_entry_dict(key, value.ptr()).ptr());
}

// Opening checks of hooks that derive an output from a given input_type:
// the "input" key must be present (`prefix` + " input_type dict must contain
// 'input' key, got keys: [...]"), and, when `require_value`, the entry must
// not be None (`prefix` + " input_type['input'] cannot be None").
nb::object input_entry(PyObject *input_type, const char *prefix, bool require_value);

// Message helpers.
std::string join(std::initializer_list<std::string_view> parts);

}  // namespace zor::py
