#define PY_ARRAY_UNIQUE_SYMBOL ZOR_ARRAY_API
#include "core/nodes/python.hpp"

#include <numpy/arrayobject.h>

namespace zor::py {

void throw_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "a C API call failed without setting an error");
    throw nb::python_error();
}

nb::object text(const std::string &utf8) {
    return steal(PyUnicode_DecodeUTF8(utf8.data(), Py_ssize_t(utf8.size()), "surrogateescape"));
}

void raise(PyObject *type, const std::string &message) {
    PyErr_SetObject(type, text(message).ptr());
    throw nb::python_error();
}

bool truthy(PyObject *object) {
    int result = PyObject_IsTrue(object);
    if (result < 0)
        throw_error();
    return result == 1;
}

bool compare(PyObject *a, PyObject *b, int op) {
    int result = PyObject_RichCompareBool(a, b, op);
    if (result < 0)
        throw_error();
    return result == 1;
}

long long as_long_long(PyObject *value) {
    long long result = PyLong_AsLongLong(value);
    if (result == -1 && PyErr_Occurred())
        throw_error();
    return result;
}

std::string str(PyObject *object) {
    nb::object shown = steal(PyObject_Str(object));
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(shown.ptr(), &size))
        return std::string(data, size);
    // Lone surrogates: a path from undecodable bytes, kept as those bytes.
    PyErr_Clear();
    nb::object encoded = steal(PyUnicode_AsEncodedString(shown.ptr(), "utf-8", "surrogateescape"));
    return std::string(PyBytes_AS_STRING(encoded.ptr()), std::size_t(PyBytes_GET_SIZE(encoded.ptr())));
}

void require_exact_dict(PyObject *data, const char *argument) {
    if (PyDict_CheckExact(data))
        return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argument, "dict", Py_TYPE(data)->tp_name);
    throw_error();
}

std::string join(std::initializer_list<std::string_view> parts) {
    std::string result;
    for (std::string_view part : parts)
        result += part;
    return result;
}

PyObject *intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw_error();
    return name;
}

namespace {

Names *cache = nullptr;

PyObject *numpy_attr(PyObject *numpy, const char *name) {
    return steal(PyObject_GetAttrString(numpy, name)).release().ptr();
}

}  // namespace

const Names &names() { return *cache; }

void init(nb::module_ &) {
    if (PyArray_API == nullptr && _import_array() < 0)
        throw_error();
    if (cache)
        return;
    nb::object numpy = steal(PyImport_ImportModule("numpy"));
    auto *fresh = new Names{
        intern("input_type"), intern("output_type"), intern("input"), intern("output"),
        intern("type"), intern("metadata"), intern("shape"), intern("ndim"), intern("copy"),
        intern("dtype"), intern("keys"), intern("to_dict"), intern("from_dict"),
        numpy_attr(numpy.ptr(), "array"), numpy_attr(numpy.ptr(), "asarray"),
        numpy_attr(numpy.ptr(), "atleast_1d"), numpy_attr(numpy.ptr(), "float32"), nullptr};
    fresh->dtype_keyword = steal(PyTuple_Pack(1, fresh->dtype)).release().ptr();
    cache = fresh;
}

nb::object one_element_array(PyObject *value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow && !(number == -1 && PyErr_Occurred())) {
            npy_intp length = 1;
            nb::object result = steal(PyArray_SimpleNew(1, &length, NPY_DEFAULT_INT));
            auto *array = reinterpret_cast<PyArrayObject *>(result.ptr());
            if (PyArray_SETITEM(array, static_cast<char *>(PyArray_DATA(array)), value) < 0)
                throw_error();
            return result;
        }
        PyErr_Clear();
    }
    nb::object list = steal(PyList_New(1));
    Py_INCREF(value);
    PyList_SET_ITEM(list.ptr(), 0, value);
    return array(list.ptr());
}

nb::object array(PyObject *value) {
    return steal(PyObject_CallOneArg(names().np_array, value));
}

nb::object float32_array(PyObject *value) {
    // np.asarray copies an array of another byte order into the native one.
    if (PyArray_CheckExact(value) &&
        PyArray_TYPE(reinterpret_cast<PyArrayObject *>(value)) == NPY_FLOAT32 &&
        PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject *>(value)))
        return nb::borrow(value);
    PyObject *args[] = {value, names().np_float32};
    return steal(PyObject_Vectorcall(names().np_asarray, args, 1, names().dtype_keyword));
}

nb::object float32_array_1d(PyObject *value) {
    nb::object converted = float32_array(value);
    if (PyArray_Check(converted.ptr()) &&
        PyArray_NDIM(reinterpret_cast<PyArrayObject *>(converted.ptr())) > 0)
        return converted;
    return steal(PyObject_CallOneArg(names().np_atleast_1d, converted.ptr()));
}

nb::object int_tuple(PyObject *values) {
    if (PyArray_CheckExact(values)) {
        auto *array = reinterpret_cast<PyArrayObject *>(values);
        // Integer elements come out of the array as Python ints already.
        if (PyArray_NDIM(array) == 1 && PyArray_ISINTEGER(array)) {
            npy_intp size = PyArray_DIM(array, 0);
            nb::object result = steal(PyTuple_New(size));
            for (npy_intp i = 0; i < size; ++i)
                PyTuple_SET_ITEM(result.ptr(), i,
                                 steal(PyArray_GETITEM(array, static_cast<const char *>(PyArray_GETPTR1(array, i))))
                                     .release()
                                     .ptr());
            return result;
        }
    }
    nb::object items = steal(PySequence_List(values));
    Py_ssize_t size = PyList_GET_SIZE(items.ptr());
    nb::object result = steal(PyTuple_New(size));
    for (Py_ssize_t i = 0; i < size; ++i)
        PyTuple_SET_ITEM(result.ptr(), i, steal(PyNumber_Long(PyList_GET_ITEM(items.ptr(), i))).release().ptr());
    return result;
}

nb::object single_entry_dict(PyObject *key, PyObject *value) {
    nb::object result = steal(PyDict_New());
    if (PyDict_SetItem(result.ptr(), key, value) != 0)
        throw_error();
    return result;
}

nb::object shape_tuple(PyObject *object) {
    if (PyArray_Check(object)) {
        auto *array = reinterpret_cast<PyArrayObject *>(object);
        int ndim = PyArray_NDIM(array);
        nb::object result = steal(PyTuple_New(ndim));
        for (int i = 0; i < ndim; ++i)
            PyTuple_SET_ITEM(result.ptr(), i, steal(PyLong_FromSsize_t(PyArray_DIM(array, i))).release().ptr());
        return result;
    }
    return attr(object, names().shape);
}

Py_ssize_t ndim_of(PyObject *object) {
    if (PyArray_Check(object))
        return PyArray_NDIM(reinterpret_cast<PyArrayObject *>(object));
    nb::object ndim = attr(object, names().ndim);
    Py_ssize_t result = PyNumber_AsSsize_t(ndim.ptr(), PyExc_OverflowError);
    if (result == -1 && PyErr_Occurred())
        throw_error();
    return result;
}

nb::object shape_at(PyObject *object, Py_ssize_t index) {
    if (PyArray_Check(object)) {
        auto *array = reinterpret_cast<PyArrayObject *>(object);
        if (index < PyArray_NDIM(array))
            return steal(PyLong_FromSsize_t(PyArray_DIM(array, index)));
    }
    nb::object shape = attr(object, names().shape);
    return steal(PySequence_GetItem(shape.ptr(), index));
}

nb::object input_entry(PyObject *input_type, const char *prefix, bool require_value) {
    int present = PySequence_Contains(input_type, names().input);
    if (present < 0)
        throw_error();
    if (!present) {
        nb::object keys = steal(PySequence_List(steal(PyObject_CallMethodNoArgs(input_type, names().keys)).ptr()));
        raise(PyExc_ValueError,
              join({prefix, " input_type dict must contain 'input' key, got keys: ", str(keys.ptr())}));
    }
    nb::object entry = steal(PyObject_GetItem(input_type, names().input));
    if (require_value && entry.is_none())
        raise(PyExc_ValueError, join({prefix, " input_type['input'] cannot be None"}));
    return entry;
}

}  // namespace zor::py
