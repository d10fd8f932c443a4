// The simulator's array kernels: convolution, the dense layer, window
// pooling and the step of a neuron's states. Plain C++ on raw buffers, no Python; the module
// zor.ir._execution checks the arrays and calls them.
//
// Every sum is taken in one fixed order, with each multiplication and
// addition rounded on its own (the build turns off contraction into fused
// multiply-adds), so a result is the same bits on every machine, whatever
// the batch, the block of time steps or the number of threads it was
// computed with.
#pragma once

#include <cstddef>

namespace zor::execution {

using Index = std::ptrdiff_t;

// A batch of (channels, height, width) planes, C-contiguous.
struct Planes {
    Index samples, channels, height, width;
};

// A window over the height and width axes: [0] height, [1] width.
struct Window {
    Index kernel[2], stride[2], padding[2], dilation[2];
};

struct Convolution {
    Planes input;
    Index outputs, groups;
    Window window;
    Index out_height, out_width;
    // Zero cells add nothing to a sum of finite products, so they are passed
    // over; the caller clears this where a weight is infinite or NaN (0 *
    // inf is NaN) and then pads the input itself.
    bool skip_zeros;
    Index threads;  // at most; the samples are split among them
};

// out (N, O, Ho, Wo) = bias[o] added to the sum, from +0, of weight[o, c, i,
// j] * x[n, g C/G + c, y sy + i dy - py, x sx + j dx - px] over the cells
// inside the planes, in the order of c, then i, then j. weight is (O, C /
// groups, kH, kW).
void convolve(const Convolution &conv, const double *x, const double *weight, const double *bias,
              double *out);

struct Dense {
    Index samples, inputs, outputs;
    bool skip_zeros;  // as for a convolution
    Index threads;  // at most; the samples are split among them
};

// out (N, O) = bias[o] added to the sum, from +0, of weight[o, c] * x[n, c]
// in the order of c; weight_t is the weight transposed, (C, O).
void dense(const Dense &dense, const double *x, const double *weight_t, const double *bias,
           double *out);

struct Pooling {
    Planes input;
    Window window;
    Index out_height, out_width;
    bool maximum;  // else the sum
    Index threads;  // at most; the planes are split among them
};

// out (N, C, Ho, Wo): each window's cells combined in the order of i, then
// j, starting from the first; a cell outside the planes (padding, the
// overhang of ceil mode) is -inf for the maximum, 0 for the sum. The
// maximum is NaN if any cell is.
void pool(const Pooling &pooling, const double *x, double *out);

// One step of a state s of n neurons in a batch of rows:
// s = s * keep + coefficient_1 * source_1 + ... [+ rest], each operation
// rounded in that order; then, when firing, a spike (1.0, else 0.0) where s
// > threshold (strict) or s >= threshold, and s = reset there. Every
// per-neuron array has n values; target, sources and spikes rows * n.
struct Term {
    const double *coefficient, *source;
};
struct Firing {
    const double *threshold, *reset;
    bool strict;
    double *spikes;
};
struct Step {
    Index rows, neurons;
    const double *keep;
    const Term *terms;
    Index term_count;
    const double *rest;  // null: nothing added
    const Firing *firing;  // null: no spikes
    Index threads;  // at most; the rows are split among them
};
void advance(const Step &step, double *target);

}  // namespace zor::execution
