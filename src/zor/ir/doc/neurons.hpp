// The documentation of zor.ir.neurons and its classes.
#pragma once

#include <string>

namespace zor::doc::neurons {

inline const char *const kModule = R"(Neuron primitives for SNNs and hybrid ANN-SNN architectures.

SNN Neurons:
    LIF: Leaky Integrate-and-Fire neuron (NIR-compliant)
    IF: Integrate-and-Fire neuron
    LI: Leaky integrator (no spikes)
    CubaLIF: Current-based Leaky Integrate-and-Fire neuron
    CubaLI: Current-based leaky integrator (no spikes)
    Integrator: Integrator without leak (NIR's I)
    Threshold: Heaviside step of its input

Element-wise signal nodes:
    Scale: Multiplies each element by its own factor
    Delay: Delays each element by its own time

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

inline const char *const kNeuronMode = R"(Processing mode for neurons in hybrid architectures.

SNN: Spiking neural network mode (event-based, temporal).
ANN: Artificial neural network mode (rate-based, continuous).)";

inline const char *const kLIF = R"(Leaky Integrate-and-Fire neuron (NIR-compliant).

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

inline const char *const kReLU = R"(ReLU activation (ANN mode).

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
)";

inline const char *const kSigmoid = R"(Sigmoid activation (ANN mode): the logistic function, outputs in (0, 1).

Args:
    features: Number of features (neurons).
    metadata: Free-form annotations.

Example:
    >>> sigmoid = Sigmoid(features=64)
)";

inline const char *const kTanh = R"(Tanh activation (ANN mode): the hyperbolic tangent, outputs in (-1, 1).

Args:
    features: Number of features (neurons).
    metadata: Free-form annotations.

Example:
    >>> tanh = Tanh(features=64)
)";

inline const char *const kSoftmax = R"(Softmax activation (ANN mode), for classification outputs.

Args:
    features: Number of features (classes).
    dim: Dimension along which softmax is computed (-1: the last).
    metadata: Free-form annotations.

Example:
    >>> softmax = Softmax(features=10)
)";

inline const char *const kGELU = R"(GELU activation (ANN mode): GELU(x) = x * Phi(x), where Phi is the
cumulative distribution function of the standard normal distribution.

Args:
    features: Number of features (neurons).
    approximate: Use the tanh approximation.
    metadata: Free-form annotations.

Example:
    >>> gelu = GELU(features=256)
)";

inline const char *const kELU = R"(ELU activation (ANN mode): ELU(x) = x if x > 0, else alpha * (exp(x) - 1).

Args:
    features: Number of features (neurons).
    alpha: Scale for negative values.
    metadata: Free-form annotations.

Example:
    >>> elu = ELU(features=128, alpha=0.5)
)";

inline const char *const kPReLU = R"(PReLU activation (ANN mode): PReLU(x) = x if x >= 0, else weight * x.

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
)";

inline const char *const kLayerNorm = R"(Layer Normalization (ANN mode).

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
)";

inline const char *const kDropout = R"(Dropout regularization (ANN mode).

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
)";

inline const char *const kHybridRegion = R"(Marker for a region of a hybrid graph working in SNN or ANN mode.

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
)";

// The two batch normalizations differ only in name, summary and what their
// feature count counts.
inline std::string batch_norm(const char *name, const char *summary, const char *counted, int example) {
    const std::string n = std::to_string(example);
    return std::string(summary) + R"(
Parameter arrays are stored as float32 arrays of at least one dimension.

Args:
    num_features: )" + counted + R"( count C.
    weight: Scale (gamma), shape (num_features,).
    bias: Shift (beta), shape (num_features,).
    running_mean: Running mean for inference, shape (num_features,).
    running_var: Running variance for inference, shape (num_features,).
    eps: Small constant for numerical stability.
    momentum: Momentum of the running-statistics update.
    metadata: Free-form annotations.

Example:
    >>> bn = )" + name + "(" + n + ", np.ones(" + n + "), np.zeros(" + n + "), np.zeros(" + n + "), np.ones(" + n + "))\n";
}

inline const char *const kBatchNorm1dSummary = R"(1D Batch Normalization (ANN mode).

Normalizes over the features dimension, for linear layers: num_features is C
of an input of size (N, C) or (N, C, L).)";

inline const char *const kBatchNorm2dSummary = R"(2D Batch Normalization (ANN mode).

Normalizes over the channels dimension, for convolutional layers:
num_features is C of an input of size (N, C, H, W). The ports hold C only.)";


}  // namespace zor::doc::neurons
