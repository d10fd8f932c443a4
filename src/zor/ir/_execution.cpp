// zor.ir._execution: the simulator's kernels (core/execution) on NumPy
// arrays. The rules of zor.ir._rules call it with arrays they made; every
// shape is checked here again, so that no call reads or writes outside its
// arrays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/execution/kernels.hpp"

namespace {

namespace nb = nanobind;
namespace ex = zor::execution;
using ex::Index;

using Input = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Output = nb::ndarray<double, nb::c_contig, nb::device::cpu>;
using Pair = std::pair<Index, Index>;

constexpr Index kLargestWindow = (Index{1} << 31) - 1;

[[noreturn]] void fail(const std::string &message) { throw std::invalid_argument(message); }

Index extent(const Input &a, size_t axis) { return static_cast<Index>(a.shape(axis)); }
Index extent(const Output &a, size_t axis) { return static_cast<Index>(a.shape(axis)); }

// Past this many, another thread only waits for a core.
constexpr Index kMostThreads = 256;

Index thread_count(Index threads) {
    if (threads < 1)
        fail("threads must be at least 1");
    return std::min(threads, kMostThreads);
}

ex::Planes planes_of(const Input &x, const char *what) {
    if (x.ndim() != 4)
        fail(std::string(what) + " must be (N, C, H, W)");
    return {extent(x, 0), extent(x, 1), extent(x, 2), extent(x, 3)};
}

ex::Window window_of(Pair kernel, Pair stride, Pair padding, Pair dilation) {
    for (Index v : {kernel.first, kernel.second, stride.first, stride.second, dilation.first, dilation.second})
        if (v < 1)
            fail("kernel, stride and dilation must be positive");
    if (padding.first < 0 || padding.second < 0)
        fail("padding must not be negative");
    // Below 2**31, no product of two of them, or of one with a position,
    // comes near the end of the index type.
    for (Index v : {kernel.first, kernel.second, stride.first, stride.second, dilation.first,
                    dilation.second, padding.first, padding.second})
        if (v > kLargestWindow)
            fail("a window extent, stride, padding or dilation above 2**31 - 1");
    return {{kernel.first, kernel.second}, {stride.first, stride.second},
            {padding.first, padding.second}, {dilation.first, dilation.second}};
}

void require_output(const Output &out, std::initializer_list<Index> shape) {
    bool same = out.ndim() == shape.size();
    size_t axis = 0;
    for (Index e : shape)
        same = same && extent(out, axis++) == e;
    if (!same)
        fail("the output array does not have the shape of the result");
}

// Whether two arrays share any byte.
template <typename A, typename B>
bool overlap(const A &a, const B &b) {
    const auto *a0 = reinterpret_cast<const char *>(a.data()), *b0 = reinterpret_cast<const char *>(b.data());
    return a.size() && b.size() && a0 < b0 + b.size() * sizeof(double) && b0 < a0 + a.size() * sizeof(double);
}

void convolve(const Input &x, const Input &weight, const Input &bias, Output &out, Pair stride,
              Pair padding, Pair dilation, Index groups, bool skip_zeros, Index threads) {
    ex::Convolution conv{};
    conv.input = planes_of(x, "x");
    if (weight.ndim() != 4 || bias.ndim() != 1)
        fail("weight must be (O, C / groups, kH, kW) and bias (O,)");
    conv.outputs = extent(weight, 0);
    conv.groups = groups;
    if (groups < 1 || conv.outputs % groups != 0 || extent(weight, 1) * groups != conv.input.channels ||
        extent(bias, 0) != conv.outputs)
        fail("the weight, the bias and the groups do not fit the input's channels");
    conv.window = window_of({extent(weight, 2), extent(weight, 3)}, stride, padding, dilation);
    Index counts[2];
    for (int a = 0; a < 2; ++a) {
        const ex::Window &w = conv.window;
        const Index size = a == 0 ? conv.input.height : conv.input.width;
        const Index span = size + 2 * w.padding[a] - w.dilation[a] * (w.kernel[a] - 1) - 1;
        if (span < 0)
            fail("the kernel is larger than the padded input");
        counts[a] = span / w.stride[a] + 1;
    }
    conv.out_height = counts[0];
    conv.out_width = counts[1];
    conv.skip_zeros = skip_zeros;
    conv.threads = thread_count(threads);
    require_output(out, {conv.input.samples, conv.outputs, conv.out_height, conv.out_width});
    if (overlap(out, x))
        fail("the output array overlaps the input");
    nb::gil_scoped_release released;
    ex::convolve(conv, x.data(), weight.data(), bias.data(), out.data());
}

void dense(const Input &x, const Input &weight_t, const Input &bias, Output &out, bool skip_zeros,
           Index threads) {
    if (x.ndim() != 2 || weight_t.ndim() != 2 || bias.ndim() != 1)
        fail("x must be (N, C), weight_t (C, O) and bias (O,)");
    ex::Dense layer{extent(x, 0), extent(x, 1), extent(weight_t, 1), skip_zeros, thread_count(threads)};
    if (extent(weight_t, 0) != layer.inputs || extent(bias, 0) != layer.outputs)
        fail("the weight and the bias do not fit the input");
    require_output(out, {layer.samples, layer.outputs});
    if (overlap(out, x))
        fail("the output array overlaps the input");
    nb::gil_scoped_release released;
    ex::dense(layer, x.data(), weight_t.data(), bias.data(), out.data());
}

void pool(const Input &x, Output &out, Pair kernel, Pair stride, Pair padding, Pair dilation,
          bool maximum, Index threads) {
    ex::Pooling pooling{};
    pooling.input = planes_of(x, "x");
    pooling.window = window_of(kernel, stride, padding, dilation);
    pooling.maximum = maximum;
    pooling.threads = thread_count(threads);
    if (out.ndim() != 4)
        fail("the output array does not have the shape of the result");
    pooling.out_height = extent(out, 2);
    pooling.out_width = extent(out, 3);
    require_output(out, {pooling.input.samples, pooling.input.channels, pooling.out_height, pooling.out_width});
    if (overlap(out, x))
        fail("the output array overlaps the input");
    nb::gil_scoped_release released;
    ex::pool(pooling, x.data(), out.data());
}

using Firing = std::tuple<Input, Input, bool, Output>;

void advance(Output &target, const Input &keep, const std::vector<std::pair<Input, Input>> &terms,
             const std::optional<Input> &rest, std::optional<Firing> &firing, Index threads) {
    const Index neurons = static_cast<Index>(keep.size());
    const Index size = static_cast<Index>(target.size());
    if (neurons == 0 || size % neurons != 0)
        fail("the state does not hold whole rows of the neurons' parameters");
    auto per_neuron = [&](const Input &a) {
        if (static_cast<Index>(a.size()) != neurons)
            fail("a parameter array does not have one value per neuron");
        return a.data();
    };
    ex::Step step{};
    step.rows = size / neurons;
    step.neurons = neurons;
    step.threads = thread_count(threads);
    step.keep = keep.data();
    std::vector<ex::Term> plain;
    for (const auto &[coefficient, source] : terms) {
        if (static_cast<Index>(source.size()) != size)
            fail("a source does not have the shape of the state");
        if (overlap(source, target))
            fail("a source overlaps the state");
        plain.push_back({per_neuron(coefficient), source.data()});
    }
    step.terms = plain.data();
    step.term_count = static_cast<Index>(plain.size());
    step.rest = rest ? per_neuron(*rest) : nullptr;
    ex::Firing fire{};
    if (firing) {
        auto &[threshold, reset, strict, spikes] = *firing;
        if (static_cast<Index>(spikes.size()) != size)
            fail("the spikes do not have the shape of the state");
        if (overlap(spikes, target))
            fail("the spikes overlap the state");
        for (const auto &[coefficient, source] : terms)
            if (overlap(spikes, source))
                fail("the spikes overlap a source");
        fire = {per_neuron(threshold), per_neuron(reset), strict, spikes.data()};
        step.firing = &fire;
    }
    nb::gil_scoped_release released;
    ex::advance(step, target.data());
}

}  // namespace

NB_MODULE(_execution, m) {
    m.doc() = "The simulator's array kernels; zor.ir.simulate calls them.";
    m.def("convolve", &convolve, nb::arg("x"), nb::arg("weight"), nb::arg("bias"),
          nb::arg("out").noconvert(), nb::arg("stride"), nb::arg("padding"), nb::arg("dilation"),
          nb::arg("groups"), nb::arg("skip_zeros"), nb::arg("threads"),
          "out (N, O, Ho, Wo) = the cross-correlation of x (N, C, H, W) with weight (O, C / groups, "
          "kH, kW), each sum taken from +0 in the order of (c, i, j) over the cells inside x, "
          "then bias added. With skip_zeros, zero cells are passed over (for finite weights). The "
          "samples are split among up to `threads` threads.");
    m.def("dense", &dense, nb::arg("x"), nb::arg("weight_t"), nb::arg("bias"), nb::arg("out").noconvert(),
          nb::arg("skip_zeros"), nb::arg("threads"),
          "out (N, O) = x (N, C) times the weight, given transposed as weight_t (C, O), each sum "
          "taken from +0 in the order of c, then bias added. With skip_zeros, zero inputs are "
          "passed over (for finite weights). The samples are split among up to `threads` threads.");
    m.def("pool", &pool, nb::arg("x"), nb::arg("out").noconvert(), nb::arg("kernel"), nb::arg("stride"),
          nb::arg("padding"), nb::arg("dilation"), nb::arg("maximum"), nb::arg("threads"),
          "out (N, C, Ho, Wo) = each window of x (N, C, H, W) reduced by the maximum (NaN if any "
          "cell is; cells outside x -inf) or the sum (cells outside x 0), in the order of (i, j); "
          "the planes split among up to `threads` threads.");
    m.def("advance", &advance, nb::arg("target").noconvert(), nb::arg("keep"), nb::arg("terms"),
          nb::arg("rest").none(), nb::arg("firing").none(), nb::arg("threads"),
          "One step of a state in place: target = target * keep + coefficient * source + ... "
          "[+ rest]; with firing (threshold, reset, strict, spikes), spikes = 1.0 where target > "
          "threshold (strict) or >= threshold, else 0.0, and target = reset there; the rows split "
          "among up to `threads` threads.");
}
