#include "core/format/format.hpp"
#include "core/nodes/numpy.hpp"

#include <algorithm>

namespace zor::format {

namespace {

PyObject *format_error_type = nullptr;  // the module's class, never released

}  // namespace

// ---------------------------------------------------------------- reading

void set_format_error(PyObject *type) {
    Py_INCREF(type);
    format_error_type = type;
}

PyObject *format_error() { return format_error_type; }

void refuse(const std::string &member, const std::string &problem, const std::string &file) {
    std::string message = py::join({"Invalid ZOR-IR file: '", member, "' ", problem, " in ", file});
    // Member names come from the file: what is not UTF-8 is shown replaced.
    nb::object text = py::steal(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    PyErr_SetObject(format_error_type, text.ptr());
    throw nb::python_error();
}

void refuse(const std::string &member, const std::string &problem, const std::string &file, PyObject *cause) {
    try {
        refuse(member, problem, file);
    } catch (nb::python_error &error) {
        PyException_SetCause(error.value().ptr(), Py_NewRef(cause));
        throw;
    }
}

nb::object key_of(const std::string &name) {
    PyObject *text = PyUnicode_DecodeUTF8(name.data(), Py_ssize_t(name.size()), nullptr);
    if (text)
        return py::steal(text);
    PyErr_Clear();
    return py::steal(PyBytes_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
}

namespace {

nb::object decoded(PyObject *item) {
    if (PyBytes_Check(item))
        return py::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(item), PyBytes_GET_SIZE(item), nullptr));
    return nb::borrow(item);
}

// [decoded(x) for x in value]
nb::object decoded_list(PyObject *value) {
    nb::object items = py::steal(PySequence_List(value));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        if (PyBytes_Check(item))
            PyList_SetItem(items.ptr(), i, decoded(item).release().ptr());
    }
    return items;
}

}  // namespace

nb::object dictionary_value(nb::object value) {
    if (PyBytes_Check(value.ptr()))
        return decoded(value.ptr());
    if (PyArray_Check(value.ptr()) &&
        PyArray_DESCR(reinterpret_cast<PyArrayObject *>(value.ptr()))->kind == 'S')
        return decoded_list(value.ptr());
    return value;
}

nb::object pair_list(PyObject *src, PyObject *dst) {
    nb::object firsts = decoded_list(src), seconds = decoded_list(dst);
    Py_ssize_t count = std::min(PyList_GET_SIZE(firsts.ptr()), PyList_GET_SIZE(seconds.ptr()));
    nb::object pairs = py::steal(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyList_SET_ITEM(pairs.ptr(), i,
                        py::steal(PyTuple_Pack(2, PyList_GET_ITEM(firsts.ptr(), i),
                                               PyList_GET_ITEM(seconds.ptr(), i)))
                            .release()
                            .ptr());
    return pairs;
}

}  // namespace zor::format
