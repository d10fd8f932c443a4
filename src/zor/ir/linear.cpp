// zor.ir.linear: the dense layers Affine and SpikingAffine.
#include "core/nodes/layers.hpp"
#include "core/nodes/nodes.hpp"

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace layers = zor::layers;
namespace nodes = zor::nodes;

struct Names {
    PyObject *weight, *bias, *spike_mode, *weight_bits, *accumulator_bits;
    PyObject *spike_modes;  // SpikeMode's values, in order
};
const Names *names = nullptr;

// Both layers have one input and one output port of the given widths.
void fill_ports(PyObject *self, PyObject *n_in, PyObject *n_out) {
    const py::Names &n = py::names();
    py::fill_port(self, n.input_type, n.input, [&] { return py::one_element_array(n_in); });
    py::fill_port(self, n.output_type, n.output, [&] { return py::one_element_array(n_out); });
}

// low <= value <= high as the interpreter compares: widths are not converted,
// so 8.0 passes.
bool within(PyObject *value, long low, long high) {
    return py::compare(layers::small_int(low).ptr(), value, Py_LE) &&
           py::compare(value, layers::small_int(high).ptr(), Py_LE);
}

void affine_hook(PyObject *self) {
    nb::object weight = py::attr(self, names->weight);
    if (py::ndim_of(weight.ptr()) != 2)
        py::raise(PyExc_ValueError, "weight must be exactly 2D (out_features, in_features)");
    nb::object n_out = py::shape_at(weight.ptr(), 0);
    nb::object n_in = py::shape_at(weight.ptr(), 1);

    layers::require_bias(py::attr(self, names->bias).ptr(), n_out.ptr(), true);

    fill_ports(self, n_in.ptr(), n_out.ptr());
}

void spiking_affine_hook(PyObject *self) {
    nb::object weight = py::attr(self, names->weight);
    if (py::ndim_of(weight.ptr()) != 2)
        py::raise(PyExc_ValueError, "weight must be 2D (out_features, in_features)");
    nb::object n_in = py::shape_at(weight.ptr(), 1);
    nb::object n_out = py::shape_at(weight.ptr(), 0);

    layers::require_bias(py::attr(self, names->bias).ptr(), n_out.ptr(), false);

    nb::object spike_mode = py::attr(self, names->spike_mode);
    int known = PySequence_Contains(names->spike_modes, spike_mode.ptr());
    if (known < 0)
        py::throw_error();
    if (!known)
        py::raise(PyExc_ValueError, "spike_mode must be 'binary', 'graded', or 'rate'");

    nb::object weight_bits = py::attr(self, names->weight_bits);
    if (!within(weight_bits.ptr(), 1, 32))
        py::raise(PyExc_ValueError, "weight_bits must be in [1, 32]");
    nb::object accumulator_bits = py::attr(self, names->accumulator_bits);
    if (!within(accumulator_bits.ptr(), 1, 64))
        py::raise(PyExc_ValueError, "accumulator_bits must be in [1, 64]");
    if (py::compare(accumulator_bits.ptr(), weight_bits.ptr(), Py_LT))
        py::raise(PyExc_ValueError, "accumulator_bits must be >= weight_bits");

    fill_ports(self, n_in.ptr(), n_out.ptr());
}

const char *const kModuleDoc = R"(Linear (fully-connected) layer primitives.

Affine: Fully connected linear layer: y = Wx + b.
SpikingAffine: Hardware-optimized affine layer with quantization hints
    (input spike encoding, weight and accumulator bit widths).

Adding a dense node type:
    1. Declare a record class derived from Node with @dataclass(eq=False),
       holding its weight and bias arrays and any further parameters.
    2. Write __post_init__ to compute input_type and output_type.
    3. Register the class in _NODE_REGISTRY (zor/ir/__init__.py).

Example:
    @dataclass(eq=False)
    class Dense(Node):
        weight: np.ndarray
        bias: np.ndarray
        input_type: Optional[Shape] = None
        output_type: Optional[Shape] = None

        def __post_init__(self):
            n_out, n_in = self.weight.shape
            if self.input_type is None:
                self.input_type = {"input": np.array([n_in])}
            if self.output_type is None:
                self.output_type = {"output": np.array([n_out])}
)";

const char *const kAffineDoc = R"(Fully connected linear layer: y = Wx + b.

The arrays are stored as given: not copied, not converted.

Args:
    weight: Weight matrix of shape (out_features, in_features).
    bias: Bias vector of shape (out_features,).
    input_type: Input port shapes; {"input": array([in_features])} when None.
    output_type: Output port shapes; {"output": array([out_features])} when None.

Raises:
    ValueError: The weight is not 2D, or the bias is not 1D with
        out_features elements.

Example:
    >>> from zor.ir import Affine
    >>> fc = Affine(weight=np.zeros((128, 784)), bias=np.zeros(128))
    >>> fc.input_type, fc.output_type
    ({'input': array([784])}, {'output': array([128])})
)";

const char *const kSpikingAffineDoc = R"(Hardware-optimized affine layer with quantization hints.

The layer y = Wx + b for neuromorphic hardware. Besides the arrays it carries
three hints for the compiler: how incoming spikes are encoded, the weight
quantization width and the multiply-accumulate (MAC) accumulator width.

Args:
    weight: Weight matrix of shape (out_features, in_features).
    bias: Bias vector of shape (out_features,).
    spike_mode: Input spike encoding: "binary" (0/1 spikes), "graded"
        (multi-level spikes) or "rate" (rate-coded spikes).
    weight_bits: Weight quantization precision, 1 to 32.
    accumulator_bits: MAC accumulator precision, 1 to 64, at least weight_bits.
    input_type: Input port shapes; {"input": array([in_features])} when None.
    output_type: Output port shapes; {"output": array([out_features])} when None.
    metadata: Free-form annotations.

Raises:
    ValueError: A shape, the spike mode or a bit width is invalid.

Example:
    >>> from zor.ir import SpikingAffine
    >>> fc = SpikingAffine(weight=np.zeros((10, 128)), bias=np.zeros(10),
    ...                    spike_mode="binary", weight_bits=4, accumulator_bits=12)
    >>> fc.input_type, fc.output_type
    ({'input': array([128])}, {'output': array([10])})
)";

}  // namespace

NB_MODULE(linear, m) {
    nodes::open_module(m, kModuleDoc, {"dataclass", "field", "Any", "Dict", "Literal", "Optional", "np", "Node", "Shape"});

    nb::object spike_mode = nodes::define_literal(m, "SpikeMode", {"binary", "graded", "rate"});
    py::create_once(names, [&] {
        return Names{py::intern("weight"), py::intern("bias"), py::intern("spike_mode"),
                     py::intern("weight_bits"), py::intern("accumulator_bits"),
                     py::attr(spike_mode.ptr(), py::intern("__args__")).release().ptr()};
    });

    const nodes::Field weight{"weight", "np.ndarray", nodes::required()};
    const nodes::Field bias{"bias", "np.ndarray", nodes::required()};
    nodes::define_class(m, {"Affine", kAffineDoc,
                            {weight, bias, nodes::input_type_field, nodes::output_type_field},
                            nodes::hook<affine_hook>});
    nodes::define_class(m, {"SpikingAffine", kSpikingAffineDoc,
                            {weight, bias,
                             {"spike_mode", "SpikeMode", nodes::text("binary")},
                             {"weight_bits", "int", nodes::integer(8)},
                             {"accumulator_bits", "int", nodes::integer(16)},
                             nodes::input_type_field, nodes::output_type_field,
                             nodes::metadata_field},
                            nodes::hook<spiking_affine_hook>});
}
