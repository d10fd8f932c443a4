// zor.ir.neurons: the LIF neuron, activations, normalization, dropout and the
// hybrid-region marker.
//
// LIF has a hook of its own and Node's generic dictionary form. The twelve
// other classes are rows of one table (kClasses), built by core/nodes/table_nodes.
#include "core/nodes/numpy.hpp"
#include "core/nodes/table_nodes.hpp"
#include "doc/neurons.hpp"

#include <array>

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace nodes = zor::nodes;
namespace doc = zor::doc::neurons;
using py::steal;
using namespace zor::table_nodes;

// ---------------------------------------------------------------- LIF

constexpr std::array<const char *, 4> kLifParams{"tau", "r", "v_leak", "v_threshold"};

struct LifNames {
    std::array<PyObject *, 4> params;
};
const LifNames *lif_names = nullptr;

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
