#include "core/execution/kernels.hpp"
#include "core/execution/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace zor::execution {
namespace {

// The larger of the two, the first of equal ones, NaN if either is.
inline double larger(double a, double b) { return (a >= b || std::isnan(a)) ? a : b; }

// Integer division rounding toward minus infinity, and toward plus infinity.
inline Index floor_div(Index a, Index b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
inline Index ceil_div(Index a, Index b) { return -floor_div(-a, b); }

// Along one axis: the taps [first, last) of the window of output o whose
// cells o * stride + tap * dilation - padding lie inside [0, size).
struct Taps {
    Index first, last;
};
Taps taps_inside(Index o, Index size, Index kernel, Index stride, Index padding, Index dilation) {
    const Index base = o * stride - padding;
    const Index first = std::max<Index>(0, ceil_div(-base, dilation));
    const Index last = std::min(kernel, floor_div(size - 1 - base, dilation) + 1);
    return {first, std::max(first, last)};
}

// A window's padding cells are never read. The maximum starts from -inf,
// which larger() gives way to any cell, NaN included, so the cells inside
// decide as if the padding had been taken. The sum starts from -0.0, which
// adds nothing to any first cell; a window that holds padding then adds
// +0.0 once, which is what the padding's zeros do to the sum wherever they
// stand (they turn a zero sum into +0.0 and leave any other as it is). So
// the work is in the cells inside, however large the kernel, each output
// taking its cells in the order of (i, j) into a register.
template <bool kMaximum>
void pool_planes(const Pooling &pooling, const double *x, double *out, Index first, Index last) {
    const Planes &in = pooling.input;
    const Window &w = pooling.window;
    const Index out_w = pooling.out_width;
    std::vector<Taps> columns(static_cast<size_t>(out_w));
    for (Index o = 0; o < out_w; ++o)
        columns[static_cast<size_t>(o)] =
            taps_inside(o, in.width, w.kernel[1], w.stride[1], w.padding[1], w.dilation[1]);

    for (Index plane = first; plane < last; ++plane) {
        const double *cells = x + plane * in.height * in.width;
        double *target = out + plane * pooling.out_height * out_w;
        for (Index y = 0; y < pooling.out_height; ++y, target += out_w) {
            const Taps rows = taps_inside(y, in.height, w.kernel[0], w.stride[0], w.padding[0],
                                          w.dilation[0]);
            const Index top = y * w.stride[0] - w.padding[0];
            for (Index o = 0; o < out_w; ++o) {
                const Taps &c = columns[static_cast<size_t>(o)];
                const Index left = o * w.stride[1] - w.padding[1];
                double result = kMaximum ? -std::numeric_limits<double>::infinity() : -0.0;
                for (Index i = rows.first; i < rows.last; ++i) {
                    // Indices, not pointers: the window's corner may lie outside the plane.
                    const Index row = (top + i * w.dilation[0]) * in.width + left;
                    for (Index j = c.first; j < c.last; ++j)
                        result = kMaximum ? larger(result, cells[row + j * w.dilation[1]])
                                          : result + cells[row + j * w.dilation[1]];
                }
                if (!kMaximum && (rows.last - rows.first) * (c.last - c.first) < w.kernel[0] * w.kernel[1])
                    result += 0.0;
                target[o] = result;
            }
        }
    }
}

}  // namespace

void pool(const Pooling &pooling, const double *x, double *out) {
    const Planes &in = pooling.input;
    const Index planes = in.samples * in.channels;
    // The cells read per output: the window's, and never more than a plane.
    const double window = std::min(static_cast<double>(pooling.window.kernel[0]) *
                                       static_cast<double>(pooling.window.kernel[1]),
                                   static_cast<double>(in.height * in.width));
    const double work = static_cast<double>(planes) *
                        static_cast<double>(pooling.out_height * pooling.out_width) * window;
    parallel_for(planes, pooling.threads, work, [&](Index first, Index last) {
        (pooling.maximum ? pool_planes<true> : pool_planes<false>)(pooling, x, out, first, last);
    });
}

}  // namespace zor::execution
