// zor.ir.pooling: the 2D pooling layers MaxPool2d, AvgPool2d and SumPool2d.
//
// MaxPool2d and AvgPool2d have Node's generic dictionary form; SumPool2d
// has its own, as a row of the table engine (core/table_nodes).
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
    PyObject *kernel_size, *stride, *padding, *dilation, *ceil_mode;
    PyObject *no_dilation;  // (1, 1), what AvgPool2d passes for dilation
};
const Names *names = nullptr;

layers::GlobalName pool2d_output_shape;

// The hook of the three classes. `dilation_field` and `ceil_mode_field`
// name the node's own; null means the node has none and pools without
// dilation, rounding down.
void pool_hook(PyObject *self, const char *node, PyObject *dilation_field, PyObject *ceil_mode_field) {
    if (py::attr(self, names->stride).is_none())
        py::set_attr(self, names->stride, py::attr(self, names->kernel_size).ptr());

    nb::object input_type = layers::pending_input(self);
    if (!input_type)
        return;  // pooling never invents an input shape
    layers::InputShape in_shape = layers::input_shape(input_type.ptr(), node);
    if (in_shape.ndim <= 2) {
        // No spatial extents: only the channel count passes through.
        nb::object channels = steal(PySequence_GetItem(in_shape.extents.ptr(), 0));
        layers::set_output(self, py::one_element_array(channels.ptr()));
        return;
    }
    nb::object extents = py::int_tuple(in_shape.extents.ptr());
    nb::object kernel_size = py::attr(self, names->kernel_size);
    nb::object stride = py::attr(self, names->stride);
    nb::object padding = py::attr(self, names->padding);
    nb::object dilation = dilation_field ? py::attr(self, dilation_field) : nb::borrow(names->no_dilation);
    nb::object ceil_mode = ceil_mode_field ? py::attr(self, ceil_mode_field) : nb::borrow(Py_False);
    PyObject *args[] = {extents.ptr(), kernel_size.ptr(), stride.ptr(),
                        padding.ptr(), dilation.ptr(), ceil_mode.ptr()};
    nb::object out = steal(PyObject_Vectorcall(pool2d_output_shape.get().ptr(), args, 6, nullptr));
    layers::set_output(self, py::array(out.ptr()));
}

void max_pool2d_hook(PyObject *self) { pool_hook(self, "MaxPool2d", names->dilation, names->ceil_mode); }
void avg_pool2d_hook(PyObject *self) { pool_hook(self, "AvgPool2d", nullptr, names->ceil_mode); }
void sum_pool2d_hook(PyObject *self) { pool_hook(self, "SumPool2d", nullptr, nullptr); }

const char *const kModuleDoc = R"(2D pooling primitives.

MaxPool2d: Maximum over each window.
AvgPool2d: Average over each window (smoother outputs).
SumPool2d: Sum over each window (the spike count of a window).

Adding a pooling node type:
    1. Declare a record class derived from Node with @dataclass(eq=False).
    2. Declare kernel_size, stride and padding as fields.
    3. Write __post_init__ to compute the output shape with
       pool2d_output_shape (zor.ir.utils).
    4. Register the class in _NODE_REGISTRY (zor/ir/__init__.py).
)";

// The class documentation: the three differ in summary, own arguments and name.
std::string pool_doc(const char *name, const char *summary, const char *own_argument) {
    return py::join({summary, R"(

None of the parameters is validated.

Args:
    kernel_size: Pooling window (kH, kW).
    stride: Stride (sH, sW); None means the kernel size.
    padding: Padding (pH, pW).
)", own_argument, R"(
    input_type: Input port shapes; needed to derive output_type.
    output_type: Output port shapes; derived with pool2d_output_shape when
        None and input_type is given.

Raises:
    ValueError: input_type cannot give an output shape.

Example:
    >>> from zor.ir import )", name, R"(
    >>> pool = )", name, R"((kernel_size=(2, 2), input_type={"input": np.array([8, 34, 34])})
    >>> pool.output_type
    {'output': array([ 8, 17, 17])}
)"});
}

using zor::table_nodes::Load;
using zor::table_nodes::Save;

zor::table_nodes::Param pool_setting(const char *name, const char *annotation, nodes::Default fallback, Save save) {
    return {name, annotation, fallback, save, zor::table_nodes::Convert::None, Load::Plain};
}

// SumPool2d writes kernel_size and padding away from their defaults, and
// its stride always (the hook sets it).
// clang-format off
const zor::table_nodes::NodeClass kOwnDictForm[] = {
    {"SumPool2d",
     pool_doc("SumPool2d", "2D sum pooling: the sum over each window.", "    metadata: Free-form annotations."),
     {pool_setting("kernel_size", "Tuple[int, int]", nodes::pair(2, 2), Save::UnlessDefault),
      pool_setting("stride", "Optional[Tuple[int, int]]", nodes::none(), Save::Always),
      pool_setting("padding", "Tuple[int, int]", nodes::pair(0, 0), Save::UnlessDefault)},
     nullptr, zor::table_nodes::Ports::OneElement, {}, sum_pool2d_hook},
};
// clang-format on

}  // namespace

NB_MODULE(pooling, m) {
    nodes::open_module(m, kModuleDoc, {"dataclass", "Any", "Dict", "Optional", "Tuple", "np", "Node", "Shape", "pool2d_output_shape"});
    py::create_once(names, [] {
        return Names{py::intern("kernel_size"), py::intern("stride"), py::intern("padding"),
                     py::intern("dilation"), py::intern("ceil_mode"),
                     steal(Py_BuildValue("(ii)", 1, 1)).release().ptr()};
    });
    pool2d_output_shape.bind(m, "pool2d_output_shape");

    const nodes::Field kernel_size{"kernel_size", "Tuple[int, int]", nodes::pair(2, 2)};
    const nodes::Field stride{"stride", "Optional[Tuple[int, int]]", nodes::none()};
    const nodes::Field padding{"padding", "Tuple[int, int]", nodes::pair(0, 0)};
    const nodes::Field ceil_mode{"ceil_mode", "bool", nodes::boolean(false)};
    nodes::define_class(m, {"MaxPool2d",
                            pool_doc("MaxPool2d", "2D max pooling: the maximum over each window.",
                                     "    dilation: Dilation (dH, dW).\n    ceil_mode: Use ceiling rounding in the output size calculation.")
                                .c_str(),
                            {kernel_size, stride, padding,
                             {"dilation", "Tuple[int, int]", nodes::pair(1, 1)},
                             ceil_mode, nodes::input_type_field, nodes::output_type_field},
                            nodes::hook<max_pool2d_hook>});
    nodes::define_class(m, {"AvgPool2d",
                            pool_doc("AvgPool2d", "2D average pooling: the average over each window.",
                                     "    ceil_mode: Use ceiling rounding in the output size calculation.\n    count_include_pad: Include the padding in the average calculation.")
                                .c_str(),
                            {kernel_size, stride, padding, ceil_mode,
                             {"count_include_pad", "bool", nodes::boolean(true)},
                             nodes::input_type_field, nodes::output_type_field},
                            nodes::hook<avg_pool2d_hook>});
    zor::table_nodes::Table<kOwnDictForm>::define(m);
}
