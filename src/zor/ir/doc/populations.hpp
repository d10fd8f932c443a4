// The documentation of the population classes of zor.ir.neurons: the NIR
// neuron models beside LIF, and the element-wise Threshold, Scale and Delay.
// Each states its model in NIR's own terms (NIR 1.0.8).
#pragma once

#include <string>

namespace zor::doc::neurons {

// A class's text: its summary and model, its arguments, then what every
// population shares (storage, ports, the shape check) and its example.
inline std::string population(const char *name, const std::string &model, const char *args, const char *example) {
    return model + R"(

All parameters are arrays of one shape, the shape of the population; they
are stored as given, neither copied nor converted. The ports take that
shape (a population of shape (C, H, W) after a convolution keeps it); 0-d
parameters give ports of [1].

Args:
)" + args + R"(
    metadata: Free-form annotations.
    input_type: Input port shapes; {"input": array(shape)} when None.
    output_type: Output port shapes; {"output": array(shape)} when None.

Raises:
    ValueError: The parameters do not all have the same shape ("All )" +
           name + R"( parameters must have same shape, got: ...").

Example:
)" + example + "\n";
}

inline const std::string kIF = population("IF", R"(Integrate-and-fire neuron (NIR's IF).

    dv/dt = r * i

A neuron spikes when its membrane potential exceeds the threshold
(z = 1 when v > v_threshold, else 0) and is then set to v_reset.)",
                                          R"(    r: Resistance per neuron.
    v_threshold: Firing threshold per neuron.
    v_reset: Potential a neuron is set to after a spike.)",
                                          R"(    >>> neuron = IF(r=np.ones(128), v_threshold=np.ones(128), v_reset=np.zeros(128))
    >>> neuron.input_type
    {'input': array([128])})");

inline const std::string kLI = population("LI", R"(Leaky integrator neuron (NIR's LI): no threshold, no spikes.

    tau * dv/dt = (v_leak - v) + r * i

Its output is the membrane potential v.)",
                                          R"(    tau: Time constant per neuron.
    r: Resistance per neuron.
    v_leak: Leak (resting) voltage per neuron.)",
                                          R"(    >>> readout = LI(tau=np.full(10, 20.0), r=np.ones(10), v_leak=np.zeros(10))
    >>> readout.output_type
    {'output': array([10])})");

inline const char *const kCubaSynapse = "    tau_syn * di/dt = -i + w_in * s\n"
                                        "    tau_mem * dv/dt = (v_leak - v) + r * i\n";

inline const std::string kCubaLIF = population("CubaLIF", std::string(R"(Current-based leaky integrate-and-fire neuron (NIR's CubaLIF).

)") + kCubaSynapse + R"(
The synaptic current i follows the input spikes s, weighted element-wise by
w_in. A neuron spikes when its membrane potential exceeds the threshold
(z = 1 when v > v_threshold, else 0) and is then set to v_reset.)",
                                               R"(    tau_syn: Synaptic time constant per neuron.
    tau_mem: Membrane time constant per neuron.
    r: Resistance per neuron.
    v_leak: Leak (resting) voltage per neuron.
    v_threshold: Firing threshold per neuron.
    v_reset: Potential a neuron is set to after a spike.
    w_in: Input current weight per neuron.)",
                                               R"(    >>> ones = np.ones(64)
    >>> neuron = CubaLIF(tau_syn=5 * ones, tau_mem=20 * ones, r=ones, v_leak=0 * ones,
    ...                  v_threshold=ones, v_reset=0 * ones, w_in=ones)
    >>> neuron.output_type
    {'output': array([64])})");

inline const std::string kCubaLI = population("CubaLI", std::string(R"(Current-based leaky integrator (NIR's CubaLI): no threshold, no spikes.

)") + kCubaSynapse + R"(
The synaptic current i follows the input spikes s, weighted element-wise by
w_in; the output is the membrane potential v.)",
                                              R"(    tau_syn: Synaptic time constant per neuron.
    tau_mem: Membrane time constant per neuron.
    r: Resistance per neuron.
    v_leak: Leak (resting) voltage per neuron.
    w_in: Input current weight per neuron.)",
                                              R"(    >>> ones = np.ones(10)
    >>> readout = CubaLI(tau_syn=5 * ones, tau_mem=20 * ones, r=ones, v_leak=0 * ones, w_in=ones)
    >>> readout.input_type
    {'input': array([10])})");

inline const std::string kIntegrator = population("Integrator", R"(Integrator (NIR's I): no leak, no threshold.

    dv/dt = r * i

Its output is the integrated value v.)",
                                                  R"(    r: Resistance per element.)",
                                                  R"(    >>> integrator = Integrator(r=np.ones(16))
    >>> integrator.output_type
    {'output': array([16])})");

inline const std::string kThreshold = population("Threshold", R"(Threshold (NIR's Threshold): the Heaviside step of its input.

    z = 1 when v > threshold, else 0

It has no state: each input value is compared on its own.)",
                                                 R"(    threshold: Threshold per element.)",
                                                 R"(    >>> step = Threshold(threshold=np.full((8, 4, 4), 0.5))
    >>> step.input_type
    {'input': array([8, 4, 4])})");

inline const std::string kScale = population("Scale", R"(Element-wise scaling (NIR's Scale): the Hadamard product.

    y(t) = x(t) * scale)",
                                             R"(    scale: Scaling factor per element.)",
                                             R"(    >>> scale = Scale(scale=np.full(32, 2.0))
    >>> scale.output_type
    {'output': array([32])})");

inline const std::string kDelay = population("Delay", R"(Element-wise delay (NIR's Delay).

    y(t) = x(t - delay)

Each element of the signal is delayed by its own time, in seconds.)",
                                             R"(    delay: Delay per element, in seconds.)",
                                             R"(    >>> delay = Delay(delay=np.full(32, 1e-3))
    >>> delay.input_type
    {'input': array([32])})");

}  // namespace zor::doc::neurons
