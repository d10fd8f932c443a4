// zor.ir.neurons: the LIF neuron, activations, normalization, dropout and the
// hybrid-region marker.
//
// LIF has a hook of its own and Node's generic dictionary form. The other
// classes are rows of one table (kClasses), built by core/table_nodes: the
// NIR populations (IF, LI, CubaLIF, CubaLI, Integrator, Threshold and the
// element-wise Scale and Delay, whose arrays all share the population's
// shape) and the activation, normalization, dropout and region rows.
#include "core/nodes/numpy.hpp"
#include "core/nodes/table_nodes.hpp"
#include "doc/neurons.hpp"
#include "doc/populations.hpp"

#include <array>

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace nodes = zor::nodes;
namespace doc = zor::doc::neurons;
using py::steal;
using namespace zor::table_nodes;

// ---------------------------------------------------------------- LIF

const std::vector<const char *> kLifParams{"tau", "r", "v_leak", "v_threshold"};

struct LifNames {
    std::array<PyObject *, 4> params;
};
const LifNames *lif_names = nullptr;

void lif_hook(PyObject *self) {
    std::vector<nb::object> params;
    for (PyObject *name : lif_names->params)
        params.push_back(py::attr(self, name));
    nb::object shape = same_shape("LIF", kLifParams, params);
    // The neuron count: tau's first extent, 1 for 0-d parameters.
    nb::object count = py::ndim_of(params[0].ptr()) > 0 ? steal(PySequence_GetItem(shape.ptr(), 0))
                                                        : steal(PyLong_FromLong(1));

    const py::Names &n = py::names();
    py::fill_port(self, n.input_type, n.input, [&] { return py::one_element_array(count.ptr()); });
    py::fill_port(self, n.output_type, n.output, [&] { return py::one_element_array(count.ptr()); });
}

// ---------------------------------------------------------------- table classes

void check_dropout_probability(PyObject *p) {
    // The chained comparison 0.0 <= p <= 1.0, NaN failing both sides.
    bool inside;
    if (PyFloat_CheckExact(p)) {
        double value = PyFloat_AS_DOUBLE(p);
        inside = 0.0 <= value && value <= 1.0;
    } else {
        nb::object zero = steal(PyFloat_FromDouble(0.0)), one = steal(PyFloat_FromDouble(1.0));
        inside = py::compare(zero.ptr(), p, Py_LE) && py::compare(p, one.ptr(), Py_LE);
    }
    if (!inside)
        py::raise(PyExc_ValueError, "Dropout probability must be in [0, 1], got: " + py::str(p));
}

void check_region_mode(PyObject *mode) {
    for (const char *valid : {"snn", "ann"}) {
        nb::object text = steal(PyUnicode_FromString(valid));
        if (py::compare(mode, text.ptr(), Py_EQ))
            return;
    }
    py::raise(PyExc_ValueError, "mode must be 'snn' or 'ann', got: " + py::str(mode));
}

constexpr const char *kFloat = "float";
constexpr const char *kInt = "int";

const Param kFeatures{"features", kInt, nodes::required()};
const Param kEps{"eps", kFloat, nodes::real(1e-05), Save::UnlessDefault};

Param float32_param(const char *name) {
    return {name, "np.ndarray", nodes::required(), Save::Always, Convert::Float32Array1d, Load::Float32Array};
}

Param optional_param(const char *name, const char *annotation, nodes::Default value, Save save = Save::UnlessDefault) {
    return {name, annotation, value, save};
}

// A population: every parameter an array of the population's shape, loaded
// back as an array (a 0-d one comes from a file as a NumPy scalar).
NodeClass population(const char *name, const std::string &doc, std::initializer_list<const char *> names) {
    std::vector<Param> params;
    for (const char *param : names)
        params.push_back({param, "np.ndarray", nodes::required(), Save::Always, Convert::None, Load::Array});
    return {name, doc, std::move(params), *names.begin(), Ports::Population};
}

NodeClass batch_norm(const char *name, const char *summary, const char *counted, int example) {
    return {name,
            doc::batch_norm(name, summary, counted, example),
            {{"num_features", kInt, nodes::required()}, float32_param("weight"), float32_param("bias"),
             float32_param("running_mean"), float32_param("running_var"), kEps,
             optional_param("momentum", kFloat, nodes::real(0.1))},
            "num_features"};
}

// clang-format off
const NodeClass kClasses[] = {
    {"ReLU", doc::kReLU, {kFeatures, optional_param("negative_slope", kFloat, nodes::real(0.0))}, "features"},
    {"Sigmoid", doc::kSigmoid, {kFeatures}, "features"},
    {"Tanh", doc::kTanh, {kFeatures}, "features"},
    {"Softmax", doc::kSoftmax, {kFeatures, optional_param("dim", kInt, nodes::integer(-1))}, "features"},
    {"GELU", doc::kGELU, {kFeatures, optional_param("approximate", "bool", nodes::boolean(true), Save::FalseWhenFalsy)},
     "features"},
    {"ELU", doc::kELU, {kFeatures, optional_param("alpha", kFloat, nodes::real(1.0))}, "features"},
    {"PReLU", doc::kPReLU, {kFeatures, float32_param("weight")}, "features"},
    batch_norm("BatchNorm1d", doc::kBatchNorm1dSummary, "Feature", 128),
    batch_norm("BatchNorm2d", doc::kBatchNorm2dSummary, "Channel", 64),
    {"LayerNorm", doc::kLayerNorm,
     {{"normalized_shape", "tuple", nodes::required(), Save::AsList, Convert::ShapeTuple, Load::Tuple},
      float32_param("weight"), float32_param("bias"), kEps},
     "normalized_shape", Ports::WholeShape},
    {"Dropout", doc::kDropout, {kFeatures, optional_param("p", kFloat, nodes::real(0.5))}, "features",
     Ports::OneElement, {"p", check_dropout_probability}},
    {"HybridRegion", doc::kHybridRegion,
     {{"mode", "Literal['snn', 'ann']", nodes::required()}, kFeatures,
      optional_param("name", "Optional[str]", nodes::none(), Save::IfTruthy)},
     "features", Ports::OneElement, {"mode", check_region_mode}},
    population("IF", doc::kIF, {"r", "v_threshold", "v_reset"}),
    population("LI", doc::kLI, {"tau", "r", "v_leak"}),
    population("CubaLIF", doc::kCubaLIF, {"tau_syn", "tau_mem", "r", "v_leak", "v_threshold", "v_reset", "w_in"}),
    population("CubaLI", doc::kCubaLI, {"tau_syn", "tau_mem", "r", "v_leak", "w_in"}),
    population("Integrator", doc::kIntegrator, {"r"}),
    population("Threshold", doc::kThreshold, {"threshold"}),
    population("Scale", doc::kScale, {"scale"}),
    population("Delay", doc::kDelay, {"delay"}),
};
// clang-format on

}  // namespace

NB_MODULE(neurons, m) {
    nodes::open_module(m, doc::kModule, {"dataclass", "field", "Enum", "Any", "Dict", "Literal", "Optional", "np", "Node", "Shape"});
    py::create_once(lif_names, [] {
        LifNames made{};
        for (std::size_t i = 0; i < kLifParams.size(); ++i)
            made.params[i] = py::intern(kLifParams[i]);
        return made;
    });

    nodes::define_str_enum(m, "NeuronMode", doc::kNeuronMode, {{"SNN", "snn"}, {"ANN", "ann"}});

    std::vector<nodes::Field> lif_fields;
    for (const char *name : kLifParams)
        lif_fields.push_back({name, "np.ndarray", nodes::required()});
    lif_fields.push_back(nodes::input_type_field);
    lif_fields.push_back(nodes::output_type_field);
    nodes::define_class(m, {"LIF", doc::kLIF, lif_fields, nodes::hook<lif_hook>});
    Table<kClasses>::define(m);
}
