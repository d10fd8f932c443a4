// zor.ir.conv: the convolutions Conv1d, Conv2d and SepConv2d.
//
// Conv2d and SepConv2d have Node's generic dictionary form; Conv1d has its
// own, as a row of the table engine (core/table_nodes) with its own hook.
#include "core/nodes/layers.hpp"
#include "core/nodes/nodes.hpp"
#include "core/nodes/table_nodes.hpp"

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace layers = zor::layers;
namespace nodes = zor::nodes;
using py::steal;

struct Names {
    PyObject *weight, *bias, *groups;
    PyObject *depthwise_weight, *pointwise_weight, *depthwise_bias, *pointwise_bias;
    PyObject *stride, *padding, *dilation;
};
const Names *names = nullptr;

layers::GlobalName conv2d_output_shape;

// An extent of a weight's shape that differs from `expected`.
bool extent_differs(PyObject *weight, Py_ssize_t index, long expected) {
    return py::compare(py::shape_at(weight, index).ptr(), layers::small_int(expected).ptr(), Py_NE);
}

// The hook of the plain convolutions: the weight's rank, the bias, and the
// ports as channel counts (spatial extents are left to graph inference).
void conv_hook(PyObject *self, int rank, const char *rank_message) {
    nb::object weight = py::attr(self, names->weight);
    if (py::ndim_of(weight.ptr()) != rank)
        py::raise(PyExc_ValueError, rank_message);
    nb::object out_ch = py::shape_at(weight.ptr(), 0);
    layers::require_bias(py::attr(self, names->bias).ptr(), out_ch.ptr(), true);

    const py::Names &n = py::names();
    py::fill_port(self, n.input_type, n.input, [&] {
        // Each group sees weight.shape[1] of the input channels.
        nb::object groups = py::attr(self, names->groups);
        nb::object in_ch = steal(PyNumber_Multiply(py::shape_at(weight.ptr(), 1).ptr(), groups.ptr()));
        return py::one_element_array(in_ch.ptr());
    });
    py::fill_port(self, n.output_type, n.output, [&] { return py::one_element_array(out_ch.ptr()); });
}

void conv1d_hook(PyObject *self) { conv_hook(self, 3, "weight must be 3D (out_ch, in_ch, k)"); }
void conv2d_hook(PyObject *self) { conv_hook(self, 4, "weight must be 4D (out_ch, in_ch, kH, kW)"); }

void sep_conv2d_hook(PyObject *self) {
    nb::object depthwise = py::attr(self, names->depthwise_weight);
    if (py::ndim_of(depthwise.ptr()) != 4)
        py::raise(PyExc_ValueError, "depthwise_weight must be 4D (in_ch, 1, kH, kW)");
    if (extent_differs(depthwise.ptr(), 1, 1))
        py::raise(PyExc_ValueError, "depthwise_weight dim 1 must be 1");
    nb::object pointwise = py::attr(self, names->pointwise_weight);
    if (py::ndim_of(pointwise.ptr()) != 4)
        py::raise(PyExc_ValueError, "pointwise_weight must be 4D (out_ch, in_ch, 1, 1)");
    if (extent_differs(pointwise.ptr(), 2, 1) || extent_differs(pointwise.ptr(), 3, 1))
        py::raise(PyExc_ValueError, "pointwise_weight must have kernel size (1, 1)");

    nb::object in_ch = py::shape_at(depthwise.ptr(), 0);
    nb::object out_ch = py::shape_at(pointwise.ptr(), 0);
    nb::object kernel_h = py::shape_at(depthwise.ptr(), 2);
    nb::object kernel_w = py::shape_at(depthwise.ptr(), 3);
    if (py::compare(py::shape_at(pointwise.ptr(), 1).ptr(), in_ch.ptr(), Py_NE))
        py::raise(PyExc_ValueError, "pointwise in_channels must match depthwise in_channels");

    if (py::attr(self, names->depthwise_bias).is_none())
        py::set_attr(self, names->depthwise_bias, layers::float32_zeros(in_ch.ptr()).ptr());
    if (py::attr(self, names->pointwise_bias).is_none())
        py::set_attr(self, names->pointwise_bias, layers::float32_zeros(out_ch.ptr()).ptr());

    const py::Names &n = py::names();
    if (nb::object input_type = layers::pending_input(self)) {
        layers::InputShape in_shape = layers::input_shape(input_type.ptr(), "SepConv2d");
        if (in_shape.ndim <= 2) {
            layers::set_output(self, py::one_element_array(out_ch.ptr()));
            return;
        }
        nb::object extents = py::int_tuple(in_shape.extents.ptr());
        nb::object kernel = steal(PyTuple_Pack(2, kernel_h.ptr(), kernel_w.ptr()));
        nb::object stride = py::attr(self, names->stride);
        nb::object padding = py::attr(self, names->padding);
        nb::object dilation = py::attr(self, names->dilation);
        PyObject *args[] = {extents.ptr(), out_ch.ptr(), kernel.ptr(),
                            stride.ptr(), padding.ptr(), dilation.ptr()};
        nb::object out = steal(PyObject_Vectorcall(conv2d_output_shape.get().ptr(), args, 6, nullptr));
        layers::set_output(self, py::array(out.ptr()));
    } else if (py::attr(self, n.output_type).is_none()) {
        // Neither port given: the ports are the channel counts.
        py::set_attr(self, n.input_type,
                     py::single_entry_dict(n.input, py::one_element_array(in_ch.ptr()).ptr()).ptr());
        layers::set_output(self, py::one_element_array(out_ch.ptr()));
    }
}

const char *const kModuleDoc = R"(1D and 2D convolution primitives.

Conv1d: Standard (optionally grouped) 1D convolution.
Conv2d: Standard (optionally grouped) 2D convolution.
SepConv2d: Depthwise separable 2D convolution: a depthwise convolution with
    one filter per input channel followed by a 1x1 pointwise convolution
    that mixes the channels.

Adding a convolution node type:
    1. Declare a record class derived from Node with @dataclass(eq=False).
    2. Declare its weight arrays and convolution parameters as fields.
    3. Write __post_init__ to validate the weight shapes and compute
       input_type and output_type, using conv2d_output_shape (zor.ir.utils)
       for the output shape.
    4. Register the class in _NODE_REGISTRY (zor/ir/__init__.py).
)";

const char *const kConv2dDoc = R"(Standard 2D convolution, optionally grouped.

The arrays are stored as given: not copied, not converted. stride, padding,
dilation and groups are not validated.

Args:
    weight: Kernel of shape (out_channels, in_channels // groups, kH, kW).
    bias: Bias of shape (out_channels,).
    stride: Stride (sH, sW).
    padding: Padding (pH, pW).
    dilation: Dilation (dH, dW).
    groups: Number of groups of a grouped convolution.
    input_type: Input port shapes; {"input": array([in_channels])} when None.
    output_type: Output port shapes; {"output": array([out_channels])} when
        None. Spatial sizes are not derived.

Raises:
    ValueError: The weight is not 4D, or the bias is not 1D with
        out_channels elements.

Example:
    >>> from zor.ir import Conv2d
    >>> conv = Conv2d(weight=np.zeros((16, 2, 3, 3)), bias=np.zeros(16),
    ...               padding=(1, 1))
    >>> conv.input_type, conv.output_type
    ({'input': array([2])}, {'output': array([16])})
)";

const char *const kConv1dDoc = R"(Standard 1D convolution, optionally grouped.

The 1D counterpart of Conv2d, with the same checks. The arrays are stored
as given: not copied, not converted. stride, padding, dilation and groups
are not validated.

Args:
    weight: Kernel of shape (out_channels, in_channels // groups, k).
    bias: Bias of shape (out_channels,).
    stride: Stride.
    padding: Padding on each side.
    dilation: Dilation.
    groups: Number of groups of a grouped convolution.
    metadata: Free-form annotations.
    input_type: Input port shapes; {"input": array([in_channels])} when None.
    output_type: Output port shapes; {"output": array([out_channels])} when
        None. The length is not derived; graph inference works it out with
        conv1d_output_shape.

Raises:
    ValueError: The weight is not 3D, or the bias is not 1D with
        out_channels elements.

Example:
    >>> from zor.ir import Conv1d
    >>> conv = Conv1d(weight=np.zeros((16, 2, 5)), bias=np.zeros(16), padding=2)
    >>> conv.input_type, conv.output_type
    ({'input': array([2])}, {'output': array([16])})
)";

using zor::table_nodes::Load;
using zor::table_nodes::NodeClass;
using zor::table_nodes::Param;
using zor::table_nodes::Ports;
using zor::table_nodes::Save;

Param conv1d_setting(const char *name, long long fallback) {
    return {name, "int", nodes::integer(fallback), Save::UnlessDefault, zor::table_nodes::Convert::None, Load::Plain};
}

// clang-format off
const NodeClass kOwnDictForm[] = {
    {"Conv1d", kConv1dDoc,
     {{"weight", "np.ndarray", nodes::required()}, {"bias", "np.ndarray", nodes::required()},
      conv1d_setting("stride", 1), conv1d_setting("padding", 0), conv1d_setting("dilation", 1),
      conv1d_setting("groups", 1)},
     nullptr, Ports::OneElement, {}, conv1d_hook},
};
// clang-format on

const char *const kSepConv2dDoc = R"(Depthwise separable 2D convolution.

A depthwise convolution (one filter per input channel) followed by a 1x1
pointwise convolution that mixes the channels. It costs O(k^2*C + C*C')
against O(k^2*C*C') for a Conv2d with a k x k kernel, C input and C' output
channels. stride, padding and dilation apply to the depthwise stage and are
not validated.

Args:
    depthwise_weight: Depthwise kernel of shape (in_ch, 1, kH, kW).
    pointwise_weight: Pointwise kernel of shape (out_ch, in_ch, 1, 1).
    depthwise_bias: Depthwise bias (in_ch,); float32 zeros when None.
    pointwise_bias: Pointwise bias (out_ch,); float32 zeros when None.
    stride: Stride of the depthwise stage (sH, sW).
    padding: Padding of the depthwise stage (pH, pW).
    dilation: Dilation of the depthwise stage (dH, dW).
    input_type: Input port shapes. When given as (C, H, W), output_type is
        derived with conv2d_output_shape; when both are None they become
        {"input": array([in_ch])} and {"output": array([out_ch])}.
    output_type: Output port shapes.

Raises:
    ValueError: A weight shape is invalid, or input_type cannot give an
        output shape.

Example:
    >>> from zor.ir import SepConv2d
    >>> conv = SepConv2d(depthwise_weight=np.zeros((2, 1, 3, 3)),
    ...                  pointwise_weight=np.zeros((8, 2, 1, 1)),
    ...                  padding=(1, 1), input_type={"input": np.array([2, 35, 35])})
    >>> conv.output_type
    {'output': array([ 8, 35, 35])}
)";

}  // namespace

NB_MODULE(conv, m) {
    nodes::open_module(m, kModuleDoc, {"dataclass", "Any", "Dict", "Optional", "Tuple", "np", "Node", "Shape", "conv2d_output_shape"});
    py::create_once(names, [] {
        return Names{py::intern("weight"), py::intern("bias"), py::intern("groups"),
                     py::intern("depthwise_weight"), py::intern("pointwise_weight"),
                     py::intern("depthwise_bias"), py::intern("pointwise_bias"),
                     py::intern("stride"), py::intern("padding"), py::intern("dilation")};
    });
    conv2d_output_shape.bind(m, "conv2d_output_shape");

    const nodes::Field stride{"stride", "Tuple[int, int]", nodes::pair(1, 1)};
    const nodes::Field padding{"padding", "Tuple[int, int]", nodes::pair(0, 0)};
    const nodes::Field dilation{"dilation", "Tuple[int, int]", nodes::pair(1, 1)};
    nodes::define_class(m, {"Conv2d", kConv2dDoc,
                            {{"weight", "np.ndarray", nodes::required()},
                             {"bias", "np.ndarray", nodes::required()},
                             stride, padding, dilation,
                             {"groups", "int", nodes::integer(1)},
                             nodes::input_type_field, nodes::output_type_field},
                            nodes::hook<conv2d_hook>});
    nodes::define_class(m, {"SepConv2d", kSepConv2dDoc,
                            {{"depthwise_weight", "np.ndarray", nodes::required()},
                             {"pointwise_weight", "np.ndarray", nodes::required()},
                             {"depthwise_bias", "Optional[np.ndarray]", nodes::none()},
                             {"pointwise_bias", "Optional[np.ndarray]", nodes::none()},
                             stride, padding, dilation,
                             nodes::input_type_field, nodes::output_type_field},
                            nodes::hook<sep_conv2d_hook>});
    zor::table_nodes::Table<kOwnDictForm>::define(m);
}
