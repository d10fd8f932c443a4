#include "core/execution/kernels.hpp"
#include "core/execution/parallel.hpp"
#include "core/execution/vectors.hpp"

#include <algorithm>
#include <vector>

namespace zor::execution {
namespace {

// sums[o] += taps[o] * value for the outputs of one group at one position;
// kCount, when not 0, is their number known at compile time, a multiple of
// four.
template <Index kCount>
ZOR_INLINE void add_scaled(double *sums, const double *taps, double value, Index count) {
    if constexpr (kCount == 0) {
        for (Index o = 0; o < count; ++o)
            sums[o] += taps[o] * value;
    } else {
        for (Index o = 0; o < kCount; o += 4) {
            Quad sum, tap;
            load(sum, sums + o);
            load(tap, taps + o);
            sum += tap * value;
            store(sums + o, sum);
        }
    }
}

// For each cell along one axis and each kernel tap along it, the output
// whose window puts that tap on that cell, or -1: the divisions by the
// stride done once per call rather than per cell.
std::vector<Index> outputs_of_cells(Index size, Index kernel, Index stride, Index padding,
                                    Index dilation, Index count) {
    std::vector<Index> table(static_cast<size_t>(size * kernel), -1);
    for (Index cell = 0; cell < size; ++cell)
        for (Index tap = 0; tap < kernel; ++tap) {
            const Index strides = cell + padding - tap * dilation;
            if (strides >= 0 && strides % stride == 0 && strides / stride < count)
                table[static_cast<size_t>(cell * kernel + tap)] = strides / stride;
        }
    return table;
}

// Each nonzero input cell of one sample and group is scattered to the
// outputs whose windows hold it. For a given output and channel, the cells
// under its window come in raster order, that is in the order of (i, j): so
// every output's sum is taken in the order of (c, i, j), whatever is passed
// over. The sums are position-major, (Ho Wo, O / G), so that the outputs one
// cell feeds are contiguous.
template <Index kCount>
ZOR_INLINE void scatter(const Convolution &conv, const double *cells, const double *taps,
                        const std::vector<Index> &rows, const std::vector<Index> &cols,
                        double *sums) {
    const Planes &in = conv.input;
    const Index per_group = in.channels / conv.groups, out_per_group = conv.outputs / conv.groups;
    const Index kh = conv.window.kernel[0], kw = conv.window.kernel[1];
    for (Index c = 0; c < per_group; ++c, cells += in.height * in.width) {
        const double *channel_taps = taps + c * kh * kw * out_per_group;
        for (Index row = 0; row < in.height; ++row) {
            for (Index col = 0; col < in.width; ++col) {
                const double value = cells[row * in.width + col];
                if (conv.skip_zeros && value == 0.0)
                    continue;
                for (Index i = 0; i < kh; ++i) {
                    const Index y = rows[static_cast<size_t>(row * kh + i)];
                    if (y < 0)
                        continue;
                    for (Index j = 0; j < kw; ++j) {
                        const Index x_out = cols[static_cast<size_t>(col * kw + j)];
                        if (x_out < 0)
                            continue;
                        add_scaled<kCount>(sums + (y * conv.out_width + x_out) * out_per_group,
                                           channel_taps + (i * kw + j) * out_per_group, value,
                                           out_per_group);
                    }
                }
            }
        }
    }
}

// Positions whose sums are moved to the output together: their rows of
// sums stay in the L1 cache while each output channel takes its values.
constexpr Index kBlock = 16;

// Samples [first, last): per sample and group, the sums scattered, then
// moved to the output a block of positions at a time, plus the bias.
// `taps` is the weight as (C, kH, kW, O / G) per group.
ZOR_VECTOR_CLONES
void convolve_samples(const Convolution &conv, const double *x, const double *taps,
                      const std::vector<Index> &rows, const std::vector<Index> &cols,
                      const double *bias, double *out, Index first, Index last) {
    const Planes &in = conv.input;
    const Index per_group = in.channels / conv.groups, out_per_group = conv.outputs / conv.groups;
    const Index kh = conv.window.kernel[0], kw = conv.window.kernel[1];
    const Index positions = conv.out_height * conv.out_width, plane = in.height * in.width;
    std::vector<double> sums(static_cast<size_t>(positions * out_per_group), 0.0);
    for (Index n = first; n < last; ++n) {
        for (Index g = 0; g < conv.groups; ++g) {
            const double *group_cells = x + (n * in.channels + g * per_group) * plane;
            const double *group_taps = taps + g * per_group * kh * kw * out_per_group;
            switch (out_per_group) {
            case 4: scatter<4>(conv, group_cells, group_taps, rows, cols, sums.data()); break;
            case 8: scatter<8>(conv, group_cells, group_taps, rows, cols, sums.data()); break;
            case 16: scatter<16>(conv, group_cells, group_taps, rows, cols, sums.data()); break;
            case 32: scatter<32>(conv, group_cells, group_taps, rows, cols, sums.data()); break;
            default: scatter<0>(conv, group_cells, group_taps, rows, cols, sums.data());
            }
            // Moved block by block, each then cleared for the next group
            // while it is still in the L1 cache.
            double *target = out + (n * conv.outputs + g * out_per_group) * positions;
            for (Index start = 0; start < positions; start += kBlock) {
                const Index count = std::min(kBlock, positions - start);
                double *block = sums.data() + start * out_per_group;
                for (Index o = 0; o < out_per_group; ++o) {
                    const double b = bias[g * out_per_group + o];
                    double *row = target + o * positions + start;
                    for (Index p = 0; p < count; ++p)
                        row[p] = block[p * out_per_group + o] + b;
                }
                std::fill(block, block + count * out_per_group, 0.0);
            }
        }
    }
}

}  // namespace

void convolve(const Convolution &conv, const double *x, const double *weight, const double *bias,
              double *out) {
    const Planes &in = conv.input;
    const Window &w = conv.window;
    const Index per_group = in.channels / conv.groups, out_per_group = conv.outputs / conv.groups;
    const Index kh = w.kernel[0], kw = w.kernel[1];
    std::vector<double> taps(static_cast<size_t>(conv.outputs * per_group * kh * kw));
    for (Index o = 0; o < conv.outputs; ++o) {
        const Index g = o / out_per_group, within = o % out_per_group;
        for (Index k = 0; k < per_group * kh * kw; ++k)
            taps[static_cast<size_t>((g * per_group * kh * kw + k) * out_per_group + within)] =
                weight[o * per_group * kh * kw + k];
    }
    const std::vector<Index> rows = outputs_of_cells(in.height, kh, w.stride[0], w.padding[0],
                                                     w.dilation[0], conv.out_height);
    const std::vector<Index> cols = outputs_of_cells(in.width, kw, w.stride[1], w.padding[1],
                                                     w.dilation[1], conv.out_width);
    const double work = static_cast<double>(in.samples) * static_cast<double>(conv.outputs) *
                        static_cast<double>(conv.out_height * conv.out_width) *
                        static_cast<double>(per_group * kh * kw);
    parallel_for(in.samples, conv.threads, work, [&](Index first, Index last) {
        convolve_samples(conv, x, taps.data(), rows, cols, bias, out, first, last);
    });
}

}  // namespace zor::execution
