#include "core/nodes/table_nodes.hpp"
#include "core/nodes/numpy.hpp"

namespace zor::table_nodes {

using py::steal;

Runtime make_runtime(const NodeClass &row) {
    Runtime runtime{steal(PyUnicode_FromString(row.name)).release().ptr(), {}, {}, nullptr, nullptr, nullptr};
    nb::object keywords = steal(PyTuple_New(static_cast<Py_ssize_t>(row.params.size() + 1)));
    for (std::size_t i = 0; i < row.params.size(); ++i) {
        const Param &param = row.params[i];
        PyObject *name = py::intern(param.name);
        runtime.names.push_back(name);
        runtime.defaults.push_back(param.value.kind == nodes::Default::Required ? nullptr
                                                                                : param.value.make().release().ptr());
        PyTuple_SET_ITEM(keywords.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(name));
    }
    PyTuple_SET_ITEM(keywords.ptr(), static_cast<Py_ssize_t>(row.params.size()), Py_NewRef(py::names().metadata));
    runtime.keywords = keywords.release().ptr();
    runtime.width = row.width ? py::intern(row.width) : nullptr;
    runtime.checked = row.check.field ? py::intern(row.check.field) : nullptr;
    return runtime;
}

namespace {

nb::object convert(Convert how, PyObject *value) {
    switch (how) {
        case Convert::Float32Array1d: return py::float32_array_1d(value);
        case Convert::ShapeTuple: {
            if (PyList_Check(value) || PyArray_Check(value))
                return py::int_tuple(value);
            if (PyLong_Check(value))
                return steal(PyTuple_Pack(1, value));
            return nb::borrow(value);
        }
        case Convert::None: break;
    }
    return nb::borrow(value);
}

nb::object load(Load how, PyObject *value) {
    switch (how) {
        case Load::Float32Array: return py::float32_array(value);
        case Load::Tuple: return PyTuple_Check(value) ? nb::borrow(value) : steal(PySequence_Tuple(value));
        case Load::Array:
            if (PyArray_IsScalar(value, Generic))
                return steal(PyObject_CallOneArg(py::names().np_asarray, value));
            break;
        case Load::Plain:
            if (PyArray_IsScalar(value, Generic))
                return steal(PyObject_CallMethod(value, "item", nullptr));
            if (PyArray_Check(value))
                return steal(PySequence_Tuple(steal(PyObject_CallMethod(value, "tolist", nullptr)).ptr()));
            if (PyList_Check(value))
                return steal(PySequence_Tuple(value));
            break;
        case Load::AsFound: break;
    }
    return nb::borrow(value);
}

bool same_dims(PyArrayObject *a, PyArrayObject *b) {
    int ndim = PyArray_NDIM(a);
    if (ndim != PyArray_NDIM(b))
        return false;
    for (int i = 0; i < ndim; ++i)
        if (PyArray_DIM(a, i) != PyArray_DIM(b, i))
            return false;
    return true;
}

[[noreturn]] void raise_shapes(const char *node, const std::vector<const char *> &params,
                               const std::vector<nb::object> &values) {
    std::string info;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            info += ", ";
        info += py::join({params[i], "=", py::str(py::shape_tuple(values[i].ptr()).ptr())});
    }
    py::raise(PyExc_ValueError, py::join({"All ", node, " parameters must have same shape, got: ", info}));
}

// np.array(shape) of a population's shape; a 0-d population counts as one.
nb::object population_port(PyObject *shape) {
    Py_ssize_t ndim = PyObject_Length(shape);
    if (ndim < 0)
        py::throw_error();
    if (ndim == 0)
        return py::one_element_array(steal(PyLong_FromLong(1)).ptr());
    return py::array(shape);
}

void set_item(PyObject *dict, PyObject *key, PyObject *value) {
    if (PyDict_SetItem(dict, key, value) != 0)
        py::throw_error();
}

// value != default; a NumPy floating scalar is compared as the double it
// holds (NumPy would round the default to the scalar's own precision first,
// so a float32 1e-5 would pass for the double 1e-05).
bool differs_from_default(PyObject *value, PyObject *fallback) {
    // A pair given as an array (NIR's form) compares as the tuple of its values.
    if (PyTuple_Check(fallback) && PyArray_Check(value)) {
        if (PyArray_NDIM(reinterpret_cast<PyArrayObject *>(value)) != 1)
            return true;
        nb::object values = steal(PyObject_CallMethod(value, "tolist", nullptr));
        return py::compare(steal(PySequence_Tuple(values.ptr())).ptr(), fallback, Py_NE);
    }
    if (PyFloat_Check(fallback) && PyArray_IsScalar(value, Floating)) {
        double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred())
            py::throw_error();
        return number != PyFloat_AS_DOUBLE(fallback);
    }
    return py::compare(value, fallback, Py_NE);
}

}  // namespace

nb::object same_shape(const char *node, const std::vector<const char *> &params,
                      const std::vector<nb::object> &values) {
    bool all_arrays = true;
    for (const nb::object &value : values)
        all_arrays = all_arrays && PyArray_Check(value.ptr());
    if (all_arrays) {
        auto *first = reinterpret_cast<PyArrayObject *>(values[0].ptr());
        for (std::size_t i = 1; i < values.size(); ++i)
            if (!same_dims(first, reinterpret_cast<PyArrayObject *>(values[i].ptr())))
                raise_shapes(node, params, values);
        return py::shape_tuple(values[0].ptr());
    }
    // Duck-typed parameters: only their `shape` is read, every one's first.
    std::vector<nb::object> shapes;
    for (const nb::object &value : values)
        shapes.push_back(py::attr(value.ptr(), py::names().shape));
    for (std::size_t i = 1; i < shapes.size(); ++i)
        if (!py::compare(shapes[0].ptr(), shapes[i].ptr(), Py_EQ))
            raise_shapes(node, params, values);
    return shapes[0];
}

void run_hook(const NodeClass &row, const Runtime &runtime, PyObject *self) {
    if (row.hook) {
        row.hook(self);
        return;
    }
    for (std::size_t i = 0; i < row.params.size(); ++i) {
        if (row.params[i].convert == Convert::None)
            continue;
        nb::object value = py::attr(self, runtime.names[i]);
        nb::object converted = convert(row.params[i].convert, value.ptr());
        if (!converted.is(value))
            py::set_attr(self, runtime.names[i], converted.ptr());
    }
    if (row.check.run)
        row.check.run(py::attr(self, runtime.checked).ptr());

    nb::object shape;
    if (row.ports == Ports::Population) {
        std::vector<const char *> params;
        std::vector<nb::object> values;
        for (std::size_t i = 0; i < row.params.size(); ++i) {
            params.push_back(row.params[i].name);
            values.push_back(py::attr(self, runtime.names[i]));
        }
        shape = same_shape(row.name, params, values);
    }
    auto make_port = [&] {
        if (shape)
            return population_port(shape.ptr());
        nb::object width = py::attr(self, runtime.width);
        return row.ports == Ports::OneElement ? py::one_element_array(width.ptr()) : py::array(width.ptr());
    };
    const py::Names &n = py::names();
    py::fill_port(self, n.input_type, n.input, make_port);
    py::fill_port(self, n.output_type, n.output, make_port);
}

nb::object to_dict(const NodeClass &row, const Runtime &runtime, PyObject *self) {
    nb::object result = py::single_entry_dict(py::names().type, runtime.type_name);
    for (std::size_t i = 0; i < row.params.size(); ++i) {
        PyObject *key = runtime.names[i];
        nb::object value = py::attr(self, key);
        switch (row.params[i].save) {
            case Save::Always: set_item(result.ptr(), key, value.ptr()); break;
            case Save::AsList: set_item(result.ptr(), key, steal(PySequence_List(value.ptr())).ptr()); break;
            case Save::UnlessDefault:
                if (differs_from_default(value.ptr(), runtime.defaults[i]))
                    set_item(result.ptr(), key, value.ptr());
                break;
            case Save::IfTruthy:
                if (py::truthy(value.ptr()))
                    set_item(result.ptr(), key, value.ptr());
                break;
            case Save::FalseWhenFalsy:
                if (!py::truthy(value.ptr()))
                    set_item(result.ptr(), key, Py_False);
                break;
        }
    }
    nb::object metadata = py::attr(self, py::names().metadata);
    if (py::truthy(metadata.ptr()))
        set_item(result.ptr(), py::names().metadata, metadata.ptr());
    return result;
}

nb::object from_dict(const NodeClass &row, const Runtime &runtime, PyObject *cls, PyObject *data) {
    py::require_exact_dict(data);
    std::vector<nb::object> values;
    values.reserve(row.params.size() + 1);
    auto lookup = [&](PyObject *key, PyObject *fallback) -> nb::object {
        PyObject *found = PyDict_GetItemWithError(data, key);  // borrowed
        if (found)
            return nb::borrow(found);
        if (PyErr_Occurred())
            py::throw_error();
        if (!fallback) {
            PyErr_SetObject(PyExc_KeyError, key);
            py::throw_error();
        }
        return nb::borrow(fallback);
    };
    for (std::size_t i = 0; i < row.params.size(); ++i)
        values.push_back(load(row.params[i].load, lookup(runtime.names[i], runtime.defaults[i]).ptr()));
    PyObject *metadata = PyDict_GetItemWithError(data, py::names().metadata);
    if (!metadata && PyErr_Occurred())
        py::throw_error();
    values.push_back(metadata ? nb::borrow(metadata) : steal(PyDict_New()));

    std::vector<PyObject *> args;
    args.reserve(values.size());
    for (const nb::object &value : values)
        args.push_back(value.ptr());
    return steal(PyObject_Vectorcall(cls, args.data(), 0, runtime.keywords));
}

void define_class(nb::module_ &module, const NodeClass &row, PyCFunction hook, PyCFunction to_dict,
                  PyCFunctionFastWithKeywords from_dict) {
    std::vector<nodes::Field> fields;
    for (const Param &param : row.params)
        fields.push_back({param.name, param.annotation, param.value});
    fields.push_back(nodes::metadata_field);
    fields.push_back(nodes::input_type_field);
    fields.push_back(nodes::output_type_field);
    nodes::define_class(module, {row.name, row.doc.c_str(), std::move(fields), hook, nullptr, to_dict, from_dict});
}

}  // namespace zor::table_nodes
