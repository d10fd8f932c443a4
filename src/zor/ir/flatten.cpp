// zor.ir.flatten: the reshape node Flatten.
#include "core/nodes/layers.hpp"
#include "core/nodes/nodes.hpp"

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace layers = zor::layers;
namespace nodes = zor::nodes;
using py::steal;

struct Names {
    PyObject *start_dim, *end_dim;
};
const Names *names = nullptr;

layers::GlobalName flatten_output_size;

// A dimension as given, negative values counting from the end (once, no wrapping).
nb::object normalized(PyObject *dim, PyObject *ndim) {
    if (py::compare(dim, layers::small_int(0).ptr(), Py_GE))
        return nb::borrow(dim);
    return steal(PyNumber_Add(ndim, dim));
}

// 0 <= index < ndim.
bool within(PyObject *index, PyObject *ndim) {
    return py::compare(layers::small_int(0).ptr(), index, Py_LE) && py::compare(index, ndim, Py_LT);
}

Py_ssize_t index_of(PyObject *dim) {
    Py_ssize_t index = PyNumber_AsSsize_t(dim, PyExc_OverflowError);
    if (index == -1 && PyErr_Occurred())
        py::throw_error();
    return index;
}

void require_within(const char *name, PyObject *dim, PyObject *index, PyObject *ndim, PyObject *extents) {
    if (!within(index, ndim))
        py::raise(PyExc_ValueError,
                  py::join({name, "=", py::str(dim), " (normalized: ", py::str(index),
                            ") out of bounds for input shape ", py::str(extents), " with ",
                            py::str(ndim), " dimensions"}));
}

void flatten_hook(PyObject *self) {
    nb::object input_type = layers::pending_input(self);
    if (!input_type)
        return;
    layers::InputShape in_shape = layers::input_shape(input_type.ptr(), "Flatten", false);
    nb::object ndim = steal(PyLong_FromSsize_t(in_shape.ndim));
    nb::object extents = steal(PySequence_Tuple(in_shape.extents.ptr()));

    nb::object start_dim = py::attr(self, names->start_dim);
    nb::object end_dim = py::attr(self, names->end_dim);
    nb::object start = normalized(start_dim.ptr(), ndim.ptr());
    nb::object end = normalized(end_dim.ptr(), ndim.ptr());
    require_within("start_dim", start_dim.ptr(), start.ptr(), ndim.ptr(), extents.ptr());
    require_within("end_dim", end_dim.ptr(), end.ptr(), ndim.ptr(), extents.ptr());
    if (py::compare(start.ptr(), end.ptr(), Py_GT))
        py::raise(PyExc_ValueError,
                  py::join({"start_dim=", py::str(start_dim.ptr()), " (normalized: ", py::str(start.ptr()),
                            ") must be <= end_dim=", py::str(end_dim.ptr()), " (normalized: ",
                            py::str(end.ptr()), ")"}));

    // The helper gets the dimensions as stored, not normalised.
    PyObject *args[] = {extents.ptr(), start_dim.ptr(), end_dim.ptr()};
    nb::object flat_size = steal(PyObject_Vectorcall(flatten_output_size.get().ptr(), args, 3, nullptr));

    // shape[:start] + [flat_size] + shape[end + 1:], taken from the tuple of
    // the same elements rather than from slices of the input.
    Py_ssize_t first = index_of(start.ptr()), last = index_of(end.ptr());
    nb::object out = steal(PySequence_List(steal(PyTuple_GetSlice(extents.ptr(), 0, first)).ptr()));
    if (PyList_Append(out.ptr(), flat_size.ptr()) != 0 ||
        PyList_Extend(out.ptr(), steal(PyTuple_GetSlice(extents.ptr(), last + 1, PY_SSIZE_T_MAX)).ptr()) != 0)
        py::throw_error();
    layers::set_output(self, py::array(out.ptr()));
}

const char *const kModuleDoc = R"(Tensor reshape primitives.

Operations that change the shape of a tensor without computing anything.

Flatten: Flatten contiguous dimensions into a single dimension.

Adding a reshape node type:
    1. Declare a record class derived from Node with @dataclass(eq=False),
       holding its shape-transformation parameters.
    2. Write __post_init__ to compute the output shape from the input shape.
    3. Register the class in _NODE_REGISTRY (zor/ir/__init__.py).
)";

const char *const kFlattenDoc = R"(Flatten contiguous dimensions into a single dimension.

Merges the input dimensions start_dim to end_dim (both inclusive, negative
values counting from the end) into one and keeps the dimensions before and
after them. The output shape can only come from the input shape: it is
derived when input_type is given and output_type is None.

Args:
    start_dim: First dimension to flatten.
    end_dim: Last dimension to flatten (-1: the last one).
    input_type: Input port shapes; needed to derive output_type.
    output_type: Output port shapes.

Raises:
    ValueError: input_type has no usable "input" entry, or the dimensions
        are out of range or in the wrong order.

Example:
    >>> from zor.ir import Flatten
    >>> flat = Flatten(start_dim=0, end_dim=-1, input_type={"input": np.array([2, 35, 35])})
    >>> flat.output_type
    {'output': array([2450])}
)";

}  // namespace

NB_MODULE(flatten, m) {
    nodes::open_module(m, kModuleDoc, {"dataclass", "Optional", "np", "Node", "Shape", "flatten_output_size"});
    py::create_once(names, [] {
        return Names{py::intern("start_dim"), py::intern("end_dim")};
    });
    flatten_output_size.bind(m, "flatten_output_size");

    nodes::define_class(m, {"Flatten", kFlattenDoc,
                            {{"start_dim", "int", nodes::integer(0)},
                             {"end_dim", "int", nodes::integer(-1)},
                             nodes::input_type_field, nodes::output_type_field},
                            nodes::hook<flatten_hook>});
}
