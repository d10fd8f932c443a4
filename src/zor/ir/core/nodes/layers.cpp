#include "core/nodes/layers.hpp"
#include "core/nodes/numpy.hpp"

namespace zor::layers {

using py::steal;

nb::object pending_input(PyObject *self) {
    const py::Names &n = py::names();
    nb::object input_type = py::attr(self, n.input_type);
    if (input_type.is_none() || !py::attr(self, n.output_type).is_none())
        return {};
    return input_type;
}

void set_output(PyObject *self, const nb::object &extents) {
    const py::Names &n = py::names();
    py::set_attr(self, n.output_type, py::single_entry_dict(n.output, extents.ptr()).ptr());
}

InputShape input_shape(PyObject *input_type, const char *node, bool print_shape) {
    nb::object extents = py::input_entry(input_type, node, true);
    Py_ssize_t ndim = PyObject_Length(extents.ptr());
    if (ndim < 0)
        py::throw_error();
    if (ndim == 0) {
        std::string message = py::join({node, " requires input with at least 1 dimension"});
        if (print_shape)
            message += ", got shape " + py::str(steal(PySequence_Tuple(extents.ptr())).ptr());
        py::raise(PyExc_ValueError, message);
    }
    return {std::move(extents), ndim};
}

nb::object float32_zeros(PyObject *count) {
    npy_intp length = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    if (length == -1 && PyErr_Occurred())
        py::throw_error();
    return steal(PyArray_Zeros(1, &length, PyArray_DescrFromType(NPY_FLOAT32), 0));
}

void require_bias(PyObject *bias, PyObject *count, bool print_shape) {
    if (py::ndim_of(bias) == 1 && !py::compare(py::shape_at(bias, 0).ptr(), count, Py_NE))
        return;
    std::string message = py::join({"bias must be 1D with ", py::str(count), " elements"});
    if (print_shape)
        message += ", got shape " + py::str(py::shape_tuple(bias).ptr());
    py::raise(PyExc_ValueError, message);
}

void GlobalName::bind(nb::module_ &module, const char *name) {
    if (!name_)
        name_ = py::intern(name);
    // A module executed again (a fresh import) is the one callers now see.
    Py_XSETREF(namespace_, Py_NewRef(PyModule_GetDict(module.ptr())));
}

nb::object GlobalName::get() const {
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(namespace_, name_, &value);
    if (found < 0)
        py::throw_error();
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
        py::throw_error();
    }
    return steal(value);
}

}  // namespace zor::layers
