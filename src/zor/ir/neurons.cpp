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

// ---------------------------------------------------------------- table classes

// What the hook makes of a parameter before the ports are filled.
enum class Convert {
    None,
    Float32Array1d,  // np.atleast_1d(np.asarray(value, dtype=np.float32))
    ShapeTuple,      // list/array -> tuple of int(), int -> (int,), else unchanged
};

// How from_dict passes a stored value on to the constructor.
enum class Load {
    AsFound,
    Float32Array,  // np.asarray(value, dtype=np.float32)
    Tuple,         // the tuple itself, else the tuple of its elements
};

// When and how to_dict writes a parameter.
enum class Save {
    Always,
    AsList,          // always, as a new list of the elements
    UnlessDefault,   // only when value != default
    IfTruthy,        // only when the value is true by truth test
    FalseWhenFalsy,  // the boolean False, only when the value is false by truth test
};

struct Param {
    const char *name;
    const char *annotation;
    nodes::Default value;
    Save save = Save::Always;
    Convert convert = Convert::None;
    Load load = Load::AsFound;
};

// How the port arrays are made from the width field.
enum class Ports {
    OneElement,  // np.array([width])
    WholeShape,  // np.array(width)
};

struct Check {
    const char *field;
    void (*run)(PyObject *value);
};

struct NodeClass {
    const char *name;
    std::string doc;
    std::vector<Param> params;  // metadata, input_type and output_type follow them
    const char *width;
    Ports ports = Ports::OneElement;
    Check check = {nullptr, nullptr};
};

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
constexpr const char *kArray = "np.ndarray";

const Param kFeatures{"features", kInt, nodes::required()};
const Param kEps{"eps", kFloat, nodes::real(1e-05), Save::UnlessDefault};

Param float32_param(const char *name) {
    return {name, kArray, nodes::required(), Save::Always, Convert::Float32Array1d, Load::Float32Array};
}

// The two batch normalizations differ only in name and documentation.
NodeClass batch_norm(const char *name, const char *summary, const char *counted, int example) {
    const std::string n = std::to_string(example);
    std::string doc = py::join({summary, R"(
Parameter arrays are stored as float32 arrays of at least one dimension.

Args:
    num_features: )", counted, R"( count C.
    weight: Scale (gamma), shape (num_features,).
    bias: Shift (beta), shape (num_features,).
    running_mean: Running mean for inference, shape (num_features,).
    running_var: Running variance for inference, shape (num_features,).
    eps: Small constant for numerical stability.
    momentum: Momentum of the running-statistics update.
    metadata: Free-form annotations.

Example:
    >>> bn = )", name, "(", n, ", np.ones(", n, "), np.zeros(", n, "), np.zeros(", n, "), np.ones(", n, "))\n"});
    return {name,
            std::move(doc),
            {{"num_features", kInt, nodes::required()},
             float32_param("weight"),
             float32_param("bias"),
             float32_param("running_mean"),
             float32_param("running_var"),
             kEps,
             {"momentum", kFloat, nodes::real(0.1), Save::UnlessDefault}},
            "num_features"};
}

const NodeClass kClasses[] = {
    {"ReLU", R"(ReLU activation (ANN mode).

Rectified linear unit for layers that work in rate-based rather than
spike-based mode: ReLU(x) = max(0, x), or max(0, x) + negative_slope * min(0, x)
for the leaky variant.

Args:
    features: Number of features (neurons).
    negative_slope: Slope for negative values (0.0: plain ReLU, > 0: LeakyReLU).
    metadata: Free-form annotations.

Example:
    >>> relu = ReLU(features=128)
    >>> leaky = ReLU(features=128, negative_slope=0.01)
)",
     {kFeatures, {"negative_slope", kFloat, nodes::real(0.0), Save::UnlessDefault}},
     "features"},
    {"Sigmoid", R"(Sigmoid activation (ANN mode): the logistic function, outputs in (0, 1).

Args:
    features: Number of features (neurons).
    metadata: Free-form annotations.

Example:
    >>> sigmoid = Sigmoid(features=64)
)",
     {kFeatures},
     "features"},
    {"Tanh", R"(Tanh activation (ANN mode): the hyperbolic tangent, outputs in (-1, 1).

Args:
    features: Number of features (neurons).
    metadata: Free-form annotations.

Example:
    >>> tanh = Tanh(features=64)
)",
     {kFeatures},
     "features"},
    {"Softmax", R"(Softmax activation (ANN mode), for classification outputs.

Args:
    features: Number of features (classes).
    dim: Dimension along which softmax is computed (-1: the last).
    metadata: Free-form annotations.

Example:
    >>> softmax = Softmax(features=10)
)",
     {kFeatures, {"dim", kInt, nodes::integer(-1), Save::UnlessDefault}},
     "features"},
    {"GELU", R"(GELU activation (ANN mode): GELU(x) = x * Phi(x), where Phi is the
cumulative distribution function of the standard normal distribution.

Args:
    features: Number of features (neurons).
    approximate: Use the tanh approximation.
    metadata: Free-form annotations.

Example:
    >>> gelu = GELU(features=256)
)",
     {kFeatures, {"approximate", "bool", nodes::boolean(true), Save::FalseWhenFalsy}},
     "features"},
    {"ELU", R"(ELU activation (ANN mode): ELU(x) = x if x > 0, else alpha * (exp(x) - 1).

Args:
    features: Number of features (neurons).
    alpha: Scale for negative values.
    metadata: Free-form annotations.

Example:
    >>> elu = ELU(features=128, alpha=0.5)
)",
     {kFeatures, {"alpha", kFloat, nodes::real(1.0), Save::UnlessDefault}},
     "features"},
    {"PReLU", R"(PReLU activation (ANN mode): PReLU(x) = x if x >= 0, else weight * x.

The negative slope is a learnable parameter: one value shared by all
features, or one value per feature. It is stored as a float32 array of at
least one dimension.

Args:
    features: Number of features (neurons).
    weight: Negative slope, a scalar or an array of shape (features,).
    metadata: Free-form annotations.

Example:
    >>> prelu = PReLU(features=128, weight=0.25)
    >>> prelu.weight
    array([0.25], dtype=float32)
)",
     {kFeatures, float32_param("weight")},
     "features"},
    batch_norm("BatchNorm1d", R"(1D Batch Normalization (ANN mode).

Normalizes over the features dimension, for linear layers: num_features is C
of an input of size (N, C) or (N, C, L).)", "Feature", 128),
    batch_norm("BatchNorm2d", R"(2D Batch Normalization (ANN mode).

Normalizes over the channels dimension, for convolutional layers:
num_features is C of an input of size (N, C, H, W). The ports hold C only.)", "Channel", 64),
    {"LayerNorm", R"(Layer Normalization (ANN mode).

Normalizes over the last D dimensions, D being the length of
normalized_shape (typically [features]). normalized_shape is stored as a
tuple; weight and bias as float32 arrays of at least one dimension.

Args:
    normalized_shape: Shape over which to normalize.
    weight: Scale (gamma).
    bias: Shift (beta).
    eps: Small constant for numerical stability.
    metadata: Free-form annotations.

Example:
    >>> ln = LayerNorm([256], np.ones(256), np.zeros(256))
    >>> ln.normalized_shape
    (256,)
)",
     {{"normalized_shape", "tuple", nodes::required(), Save::AsList, Convert::ShapeTuple, Load::Tuple},
      float32_param("weight"),
      float32_param("bias"),
      kEps},
     "normalized_shape",
     Ports::WholeShape},
    {"Dropout", R"(Dropout regularization (ANN mode).

During training each element is zeroed with probability p; during inference
the layer is typically the identity.

Args:
    features: Number of features passing through.
    p: Probability that an element is zeroed, in [0, 1].
    metadata: Free-form annotations.

Raises:
    ValueError: p is outside [0, 1] or NaN.

Example:
    >>> dropout = Dropout(features=256, p=0.1)
)",
     {kFeatures, {"p", kFloat, nodes::real(0.5), Save::UnlessDefault}},
     "features",
     Ports::OneElement,
     {"p", check_dropout_probability}},
    {"HybridRegion", R"(Marker for a region of a hybrid graph working in SNN or ANN mode.

Uses: visualization (colour-coding regions), execution optimization (batch
processing for ANN regions) and hardware mapping (different accelerators for
ANN and SNN regions).

Args:
    mode: Processing mode of the region, "snn" or "ann".
    features: Number of features passing through.
    name: Optional human-readable name of the region.
    metadata: Free-form annotations.

Raises:
    ValueError: mode is neither "snn" nor "ann".

Example:
    >>> encoder = HybridRegion(mode="ann", features=256, name="encoder")
    >>> core = HybridRegion(mode=NeuronMode.SNN, features=256, name="snn_core")
)",
     {{"mode", "Literal['snn', 'ann']", nodes::required()},
      kFeatures,
      {"name", "Optional[str]", nodes::none(), Save::IfTruthy}},
     "features",
     Ports::OneElement,
     {"mode", check_region_mode}},
};
constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

// The Python objects of one row, made once per process and never released.
struct Runtime {
    PyObject *type_name;
    std::vector<PyObject *> names;     // interned parameter names
    std::vector<PyObject *> defaults;  // nullptr for required parameters
    PyObject *width;
    PyObject *checked;                 // the field the row's check reads
    PyObject *keywords;                // (parameter names..., "metadata")
};
std::vector<Runtime> *runtimes = nullptr;

void build_runtimes() {
    auto *fresh = new std::vector<Runtime>();
    for (const NodeClass &row : kClasses) {
        Runtime runtime{steal(PyUnicode_FromString(row.name)).release().ptr()};
        nb::object keywords = steal(PyTuple_New(static_cast<Py_ssize_t>(row.params.size() + 1)));
        for (size_t i = 0; i < row.params.size(); ++i) {
            const Param &param = row.params[i];
            PyObject *name = py::intern(param.name);
            runtime.names.push_back(name);
            runtime.defaults.push_back(param.value.kind == nodes::Default::Required
                                           ? nullptr
                                           : param.value.make().release().ptr());
            Py_INCREF(name);
            PyTuple_SET_ITEM(keywords.ptr(), static_cast<Py_ssize_t>(i), name);
        }
        Py_INCREF(py::names().metadata);
        PyTuple_SET_ITEM(keywords.ptr(), static_cast<Py_ssize_t>(row.params.size()), py::names().metadata);
        runtime.keywords = keywords.release().ptr();
        runtime.width = py::intern(row.width);
        runtime.checked = row.check.field ? py::intern(row.check.field) : nullptr;
        fresh->push_back(std::move(runtime));
    }
    runtimes = fresh;
}

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
        case Load::AsFound: break;
    }
    return nb::borrow(value);
}

void row_hook(const NodeClass &row, const Runtime &runtime, PyObject *self) {
    for (size_t i = 0; i < row.params.size(); ++i) {
        if (row.params[i].convert == Convert::None)
            continue;
        nb::object value = py::attr(self, runtime.names[i]);
        nb::object converted = convert(row.params[i].convert, value.ptr());
        if (!converted.is(value))
            py::set_attr(self, runtime.names[i], converted.ptr());
    }
    if (row.check.run)
        row.check.run(py::attr(self, runtime.checked).ptr());

    auto make_port = [&] {
        nb::object width = py::attr(self, runtime.width);
        return row.ports == Ports::OneElement ? py::one_element_array(width.ptr()) : py::array(width.ptr());
    };
    const py::Names &n = py::names();
    py::fill_port(self, n.input_type, n.input, make_port);
    py::fill_port(self, n.output_type, n.output, make_port);
}

void set_item(PyObject *dict, PyObject *key, PyObject *value) {
    if (PyDict_SetItem(dict, key, value) != 0)
        py::throw_error();
}

// value != default; a NumPy floating scalar is compared as the double it
// holds (NumPy would round the default to the scalar's own precision first,
// so a float32 1e-5 would pass for the double 1e-05).
bool differs_from_default(PyObject *value, PyObject *fallback) {
    if (PyFloat_Check(fallback) && PyArray_IsScalar(value, Floating)) {
        double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred())
            py::throw_error();
        return number != PyFloat_AS_DOUBLE(fallback);
    }
    return py::compare(value, fallback, Py_NE);
}

nb::object row_to_dict(const NodeClass &row, const Runtime &runtime, PyObject *self) {
    nb::object result = py::single_entry_dict(py::names().type, runtime.type_name);
    for (size_t i = 0; i < row.params.size(); ++i) {
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

nb::object row_from_dict(const NodeClass &row, const Runtime &runtime, PyObject *cls, PyObject *data) {
    nodes::require_exact_dict(data);
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
    for (size_t i = 0; i < row.params.size(); ++i)
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

template <size_t I>
void hook_of(PyObject *self) {
    row_hook(kClasses[I], (*runtimes)[I], self);
}

template <size_t I>
nb::object to_dict_of(PyObject *self) {
    return row_to_dict(kClasses[I], (*runtimes)[I], self);
}

template <size_t I>
nb::object from_dict_of(PyObject *cls, PyObject *data) {
    return row_from_dict(kClasses[I], (*runtimes)[I], cls, data);
}

template <size_t I>
void define_row(nb::module_ &m) {
    const NodeClass &row = kClasses[I];
    std::vector<Field> fields;
    for (const Param &param : row.params)
        fields.push_back({param.name, param.annotation, param.value});
    fields.push_back(nodes::metadata_field);
    fields.push_back(nodes::input_type_field);
    fields.push_back(nodes::output_type_field);
    nodes::define_class(m, {row.name, row.doc.c_str(), std::move(fields), nodes::hook<hook_of<I>>, nullptr,
                            nodes::getter<to_dict_of<I>>, nodes::class_method<from_dict_of<I>>});
}

template <size_t... I>
void define_rows(nb::module_ &m, std::index_sequence<I...>) {
    (define_row<I>(m), ...);
}

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
        build_runtimes();
    }
    m.doc() = kModuleDoc;
    nodes::bind_imports(m, {"dataclass", "field", "Enum", "Any", "Dict", "Literal", "Optional", "np", "Node", "Shape"});

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
    define_rows(m, std::make_index_sequence<kClassCount>{});
}
