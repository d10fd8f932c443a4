// zor.ir.upsample: spatial upsampling (Upsample) and its modes (UpsampleMode).
#include "core/nodes/layers.hpp"
#include "core/nodes/nodes.hpp"
#include "core/nodes/numpy.hpp"

#include <cmath>

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace layers = zor::layers;
namespace nodes = zor::nodes;
using py::steal;

struct Names {
    PyObject *scale_factor, *size, *mode, *align_corners;
    PyObject *nearest, *bilinear;
};
const Names *names = nullptr;

// `size` as a tuple of two positive Python ints, stored on the node as soon
// as it is converted.
nb::object normalized_size(PyObject *self, PyObject *size) {
    if (!PyArray_Check(size) && !PyList_Check(size) && !PyTuple_Check(size))
        py::raise(PyExc_ValueError, "Upsample size must be (H, W) tuple, got " + py::str(size));
    nb::object converted = py::int_tuple(size);
    py::set_attr(self, names->size, converted.ptr());
    if (PyTuple_GET_SIZE(converted.ptr()) != 2)
        py::raise(PyExc_ValueError, "Upsample size must be (H, W) tuple, got " + py::str(converted.ptr()));
    for (Py_ssize_t i = 0; i < 2; ++i)
        if (py::compare(PyTuple_GET_ITEM(converted.ptr(), i), layers::small_int(0).ptr(), Py_LE))
            py::raise(PyExc_ValueError, "Upsample size values must be positive, got " + py::str(converted.ptr()));
    return converted;
}

// extent * scale_factor as an integer extent: a fractional product is
// floored, as frameworks size an upsampled map, so that shapes stay integer.
nb::object scaled_extent(PyObject *extent, PyObject *scale_factor) {
    nb::object product = steal(PyNumber_Multiply(extent, scale_factor));
    if (PyIndex_Check(product.ptr()))
        return product;
    double value = PyFloat_AsDouble(product.ptr());
    if (value == -1.0 && PyErr_Occurred())
        py::throw_error();
    return steal(PyLong_FromDouble(std::floor(value)));
}

nb::object int_extent(PyObject *extents, Py_ssize_t index) {
    return steal(PyNumber_Long(steal(PySequence_GetItem(extents, index)).ptr()));
}

void upsample_hook(PyObject *self) {
    nb::object mode = py::attr(self, names->mode);
    if (py::compare(mode.ptr(), names->nearest, Py_NE) && py::compare(mode.ptr(), names->bilinear, Py_NE))
        py::raise(PyExc_ValueError,
                  py::join({"Upsample mode must be 'nearest' or 'bilinear', got '", py::str(mode.ptr()), "'"}));

    nb::object scale_factor = py::attr(self, names->scale_factor);
    nb::object size = py::attr(self, names->size);
    if (scale_factor.is_none() && size.is_none())
        py::raise(PyExc_ValueError, "Upsample requires either scale_factor or size to be specified");
    if (!scale_factor.is_none() && py::compare(scale_factor.ptr(), layers::small_int(1).ptr(), Py_LT))
        py::raise(PyExc_ValueError, "Upsample scale_factor must be >= 1, got " + py::str(scale_factor.ptr()));
    if (!size.is_none())
        size = normalized_size(self, size.ptr());

    if (py::truthy(py::attr(self, names->align_corners).ptr()) &&
        py::compare(mode.ptr(), names->bilinear, Py_NE))
        py::set_attr(self, names->align_corners, Py_False);

    nb::object input_type = layers::pending_input(self);
    if (!input_type)
        return;
    layers::InputShape in_shape = layers::input_shape(input_type.ptr(), "Upsample");
    PyObject *extents = in_shape.extents.ptr();
    if (in_shape.ndim <= 2) {
        // No spatial extents: only the channel count passes through.
        layers::set_output(self, py::one_element_array(steal(PySequence_GetItem(extents, 0)).ptr()));
        return;
    }
    // (C, H, W, ...): the entries after the third are ignored.
    nb::object channels = int_extent(extents, 0), height = int_extent(extents, 1), width = int_extent(extents, 2);
    if (size.is_none()) {
        height = scaled_extent(height.ptr(), scale_factor.ptr());
        width = scaled_extent(width.ptr(), scale_factor.ptr());
    } else {
        height = nb::borrow(PyTuple_GET_ITEM(size.ptr(), 0));
        width = nb::borrow(PyTuple_GET_ITEM(size.ptr(), 1));
    }
    nb::object out = steal(Py_BuildValue("[OOO]", channels.ptr(), height.ptr(), width.ptr()));
    layers::set_output(self, py::array(out.ptr()));
}

const char *const kModuleDoc = R"(Spatial upsampling primitives.

Used in the necks of feature-pyramid networks to fuse features of several
scales.

UpsampleMode: Interpolation mode (nearest or bilinear).
Upsample: 2D upsampling of height and width by a factor or to a target size.

Adding an upsampling node type:
    1. Declare a record class derived from Node with @dataclass(eq=False),
       holding its resizing parameters.
    2. Write __post_init__ to validate them and compute the output shape
       from the input shape.
    3. Register the class in _NODE_REGISTRY (zor/ir/__init__.py).
)";

const char *const kUpsampleModeDoc = R"(Interpolation mode of Upsample.

NEAREST: Nearest-neighbour interpolation (faster, creates no new values).
BILINEAR: Bilinear interpolation (smoother, creates new values).)";

const char *const kUpsampleDoc = R"(2D spatial upsampling by interpolation.

Enlarges the height and width of a (C, H, W) feature map either by
scale_factor or to size; size takes precedence when both are set. A
fractional scale_factor gives floor(H * scale_factor) by
floor(W * scale_factor).

Args:
    scale_factor: Multiplier for height and width (at least 1).
    size: Target (height, width); stored as a tuple of two Python ints.
    mode: "nearest" or "bilinear" (an UpsampleMode member is accepted too).
    align_corners: Align corners in bilinear mode; reset to False in any
        other mode.
    input_type: Input port shapes; needed to derive output_type.
    output_type: Output port shapes; derived when None and input_type is
        given.

Raises:
    ValueError: The mode, scale_factor or size is invalid, or input_type
        cannot give an output shape.

Examples:
    >>> from zor.ir import Upsample
    >>> Upsample(scale_factor=2, mode="nearest",
    ...          input_type={"input": np.array([64, 20, 20])}).output_type
    {'output': array([64, 40, 40])}
    >>> Upsample(size=(80, 80), mode="bilinear",
    ...          input_type={"input": np.array([128, 40, 40])}).output_type
    {'output': array([128,  80,  80])}
)";

}  // namespace

NB_MODULE(upsample, m) {
    nodes::open_module(m, kModuleDoc, {"dataclass", "Enum", "Optional", "Tuple", "np", "Node", "Shape"});
    py::create_once(names, [] {
        return Names{py::intern("scale_factor"), py::intern("size"), py::intern("mode"),
                     py::intern("align_corners"), py::intern("nearest"), py::intern("bilinear")};
    });

    nodes::define_str_enum(m, "UpsampleMode", kUpsampleModeDoc,
                           {{"NEAREST", "nearest"}, {"BILINEAR", "bilinear"}});
    nodes::define_class(m, {"Upsample", kUpsampleDoc,
                            {{"scale_factor", "Optional[int]", nodes::integer(2)},
                             {"size", "Optional[Tuple[int, int]]", nodes::none()},
                             {"mode", "str", nodes::text("nearest")},
                             {"align_corners", "bool", nodes::boolean(false)},
                             nodes::input_type_field, nodes::output_type_field},
                            nodes::hook<upsample_hook>,
                            "__post_init__($self, /)\n--\n\nValidate parameters and compute output shape."});
}
