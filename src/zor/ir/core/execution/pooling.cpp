#include "core/execution/kernels.hpp"

#include <cmath>

namespace zor::execution {
namespace {

// The larger of the two, the first of equal ones, NaN if either is.
inline double larger(double a, double b) { return (a >= b || std::isnan(a)) ? a : b; }

// The first index o of [0, count) at which o * stride + offset >= 0, and the
// first past the last at which it is < size.
void inside(Index offset, Index stride, Index size, Index count, Index &first, Index &last) {
    first = offset >= 0 ? 0 : (-offset + stride - 1) / stride;
    last = size - offset <= 0 ? 0 : (size - offset + stride - 1) / stride;
    first = first < count ? first : count;
    last = last < count ? (last > first ? last : first) : count;
}

}  // namespace

// One row of outputs at a time, taking the window's cells in the order of
// (i, j) for all of the row's outputs at once: every output sees its cells
// in that order, and the inner loop runs over the cells inside the planes
// with no test.
void pool(const Pooling &pooling, const double *x, double *out) {
    const Planes &in = pooling.input;
    const Window &w = pooling.window;
    const Index out_w = pooling.out_width;
    for (Index plane = 0; plane < in.samples * in.channels; ++plane) {
        const double *cells = x + plane * in.height * in.width;
        double *target_plane = out + plane * pooling.out_height * out_w;
        for (Index y = 0; y < pooling.out_height; ++y) {
            double *target = target_plane + y * out_w;
            for (Index i = 0; i < w.kernel[0]; ++i) {
                const Index row = y * w.stride[0] + i * w.dilation[0] - w.padding[0];
                const bool row_inside = row >= 0 && row < in.height;
                for (Index j = 0; j < w.kernel[1]; ++j) {
                    const bool first_cell = i == 0 && j == 0;
                    const Index offset = j * w.dilation[1] - w.padding[1];
                    Index from = 0, to = 0;
                    if (row_inside)
                        inside(offset, w.stride[1], in.width, out_w, from, to);
                    const Index base = row * in.width + offset;
                    auto combine = [&](Index o, double value) {
                        target[o] = first_cell ? value
                                    : pooling.maximum ? larger(target[o], value)
                                                      : target[o] + value;
                    };
                    for (Index o = 0; o < from; ++o)
                        combine(o, pooling.pad_value);
                    for (Index o = from; o < to; ++o)
                        combine(o, cells[base + o * w.stride[1]]);
                    for (Index o = to; o < out_w; ++o)
                        combine(o, pooling.pad_value);
                }
            }
        }
    }
}

}  // namespace zor::execution
