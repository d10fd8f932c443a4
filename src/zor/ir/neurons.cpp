// zor.ir.neurons: the LIF neuron, activations, normalization, dropout and the
// hybrid-region marker.
//
// LIF has a hook of its own and Node's generic dictionary form. The twelve
// other classes are rows of one table (kClasses); one engine builds each
// class, its hook, to_dict and from_dict from its row.
#include "core/nodes.hpp"
#include "core/numpy.hpp"

#include <array>
#include <utility>

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace nodes = zor::nodes;
using nodes::Field;
using py::steal;

// ---------------------------------------------------------------- LIF

constexpr std::array<const char *, 4> kLifParams{"tau", "r", "v_leak", "v_threshold"};

struct LifNames {
    std::array<PyObject *, 4> params;
};
const LifNames *lif_names = nullptr;  // interned once per process

bool same_dims(PyArrayObject *a, PyArrayObject *b) {
    int ndim = PyArray_NDIM(a);
    if (ndim != PyArray_NDIM(b))
        return false;
    for (int i = 0; i < ndim; ++i)
        if (PyArray_DIM(a, i) != PyArray_DIM(b, i))
            return false;
    return true;
}

[[noreturn]] void raise_lif_shapes(const std::array<nb::object, 4> &params) {
    std::string info;
    for (size_t i = 0; i < params.size(); ++i) {
        if (i)
            info += ", ";
        info += py::join({kLifParams[i], "=", py::str(py::shape_tuple(params[i].ptr()).ptr())});
    }
    py::raise(PyExc_ValueError, "All LIF parameters must have same shape, got: " + info);
}

void lif_hook(PyObject *self) {
    std::array<nb::object, 4> params;
    bool all_arrays = true;
    for (size_t i = 0; i < params.size(); ++i) {
        params[i] = py::attr(self, lif_names->params[i]);
        all_arrays = all_arrays && PyArray_Check(params[i].ptr());
    }

    nb::object count;
    if (all_arrays) {
        auto *tau = reinterpret_cast<PyArrayObject *>(params[0].ptr());
        for (size_t i = 1; i < params.size(); ++i)
            if (!same_dims(tau, reinterpret_cast<PyArrayObject *>(params[i].ptr())))
                raise_lif_shapes(params);
        count = steal(PyLong_FromSsize_t(PyArray_NDIM(tau) > 0 ? PyArray_DIM(tau, 0) : 1));
    } else {
        // Duck-typed parameters: only their `shape` (and tau's `ndim`) are read.
        std::array<nb::object, 4> shapes;
        for (size_t i = 0; i < params.size(); ++i)
            shapes[i] = py::attr(params[i].ptr(), py::names().shape);
        for (size_t i = 1; i < shapes.size(); ++i)
            if (!py::compare(shapes[0].ptr(), shapes[i].ptr(), Py_EQ))
                raise_lif_shapes(params);
        count = py::ndim_of(params[0].ptr()) > 0 ? steal(PySequence_GetItem(shapes[0].ptr(), 0))
                                                 : steal(PyLong_FromLong(1));
    }

    const py::Names &n = py::names();
    py::fill_port(self, n.input_type, n.input, [&] { return py::one_element_array(count.ptr()); });
    py::fill_port(self, n.output_type, n.output, [&] { return py::one_element_array(count.ptr()); });
}

const char *const kLifDoc = R"(Leaky Integrate-and-Fire neuron (NIR-compliant).

A population of LIF neurons following the NIR convention:

    tau * dv/dt = (v_leak - v) + r * i

A neuron spikes when its membrane potential reaches the threshold
(v >= v_threshold) and then resets to zero. Each parameter is an array of
shape (n_neurons,). A neuron given in snnTorch form by a decay factor beta
converts as tau = 1/(1-beta) and r = tau. The node stores the parameters only;
they are neither copied nor converted.

Args:
    tau: Time constant per neuron.
    r: Resistance per neuron.
    v_leak: Leak (resting) voltage per neuron.
    v_threshold: Threshold voltage per neuron.
    input_type: Input port shapes; {"input": array([n])} when None.
    output_type: Output port shapes; {"output": array([n])} when None.

Raises:
    ValueError: The four parameters do not all have the same shape.

Example:
    >>> lif = LIF(tau=np.full(128, 20.0), r=np.full(128, 20.0),
    ...           v_leak=np.zeros(128), v_threshold=np.ones(128))
    >>> lif.input_type
    {'input': array([128])}
)";

const char *const kModuleDoc = R"(Neuron primitives for SNNs and hybrid ANN-SNN architectures.

SNN Neurons:
    LIF: Leaky Integrate-and-Fire neuron (NIR-compliant)

ANN Activations (for hybrid architectures):
    ReLU: Rectified linear unit, with optional negative_slope for LeakyReLU
    Sigmoid: Logistic sigmoid
    Tanh: Hyperbolic tangent
    Softmax: Softmax for classification outputs
    GELU: Gaussian error linear unit
    ELU: Exponential linear unit
    PReLU: Parametric ReLU with a learnable negative slope

Normalization Layers:
    BatchNorm1d: Batch normalization for 1D features (linear layers)
    BatchNorm2d: Batch normalization for 2D features (conv layers)
    LayerNorm: Layer normalization (common in transformers)

Regularization:
    Dropout: Dropout regularization

Region Markers:
    HybridRegion: Marks a region of a graph as SNN or ANN
    NeuronMode: Processing mode (snn or ann)

Hybrid architectures combine an ANN encoder for feature extraction, an SNN
core for temporal, event-based processing, and an ANN decoder for the task
output. See for example:
    - Rathi et al., "Enabling Deep Spiking Neural Networks with Hybrid
      Conversion and Spike Timing Dependent Backpropagation", ICLR 2020.
    - Kugele et al., "Hybrid SNN-ANN: Energy-Efficient Classification and
      Object Detection for Event-Based Vision", GCPR 2021.

Adding a neuron primitive:
    1. Declare a record class derived from Node with @dataclass(eq=False).
    2. Declare its parameters as fields.
    3. Write __post_init__ to validate the parameters and compute the ports.
    4. Write to_dict() and from_dict().
    5. Register the class in _NODE_REGISTRY (zor/ir/__init__.py).

Example:
    @dataclass(eq=False)
    class IF(Node):
        v_threshold: np.ndarray
        input_type: Optional[Shape] = None
        output_type: Optional[Shape] = None

        def __post_init__(self):
            n = self.v_threshold.shape[0] if self.v_threshold.ndim > 0 else 1
            if self.input_type is None:
                self.input_type = {"input": np.array([n])}
            if self.output_type is None:
                self.output_type = {"output": np.array([n])}
)";

}  // namespace

NB_MODULE(neurons, m) {
    py::init(m);
    if (!lif_names) {
        auto *fresh = new LifNames{};
        for (size_t i = 0; i < kLifParams.size(); ++i)
            fresh->params[i] = py::intern(kLifParams[i]);
        lif_names = fresh;
    }
    m.doc() = kModuleDoc;
    nodes::bind_imports(m, {{"dataclass", "dataclasses", "dataclass"},
                            {"field", "dataclasses", "field"},
                            {"Enum", "enum", "Enum"},
                            {"Any", "typing", "Any"},
                            {"Dict", "typing", "Dict"},
                            {"Literal", "typing", "Literal"},
                            {"Optional", "typing", "Optional"},
                            {"np", "numpy", nullptr},
                            {"Node", "zor.ir.node", "Node"},
                            {"Shape", "zor.ir.types", "Shape"}});

    nodes::define_str_enum(m, "NeuronMode",
                           "Processing mode for neurons in hybrid architectures.\n\n"
                           "SNN: Spiking neural network mode (event-based, temporal).\n"
                           "ANN: Artificial neural network mode (rate-based, continuous).",
                           {{"SNN", "snn"}, {"ANN", "ann"}});

    const Field array_field{nullptr, "np.ndarray", nodes::required()};
    std::vector<Field> lif_fields;
    for (const char *name : kLifParams)
        lif_fields.push_back({name, array_field.annotation, array_field.value});
    lif_fields.push_back(nodes::input_type_field);
    lif_fields.push_back(nodes::output_type_field);
    nodes::define_class(m, {"LIF", kLifDoc, lif_fields, nodes::hook<lif_hook>});
}
