#include "core/execution/kernels.hpp"
#include "core/execution/parallel.hpp"
#include "core/execution/vectors.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace zor::execution {
namespace {

// Samples whose inputs are listed together: the weight's columns of one
// chunk stay in the cache while all of them take it. At most 64, and no
// more than the lists of 4 MiB hold (16 bytes an input), so that a layer of
// very many inputs lists one sample at a time.
constexpr Index kGroup = 64;
constexpr Index kListBytes = Index{4} << 20;

// The inputs of a group of samples that are not passed over, sample after
// sample, each in the order of c. Listed without a branch per input, which
// spikes at random would mispredict: every input is written, and the count
// moves past it only if it stays.
struct Listed {
    std::vector<Index> starts;
    // Left uninitialised: every entry read was written first.
    std::unique_ptr<Index[]> inputs;
    std::unique_ptr<double[]> values;
    Index capacity = 0;

    void list(const Dense &dense, const double *x, Index first, Index last) {
        const Index most = (last - first) * dense.inputs;
        if (capacity < most) {
            inputs.reset(new Index[static_cast<size_t>(most)]);
            values.reset(new double[static_cast<size_t>(most)]);
            capacity = most;
        }
        starts.assign(1, 0);
        Index count = 0;
        for (Index n = first; n < last; ++n) {
            const double *row = x + n * dense.inputs;
            for (Index c = 0; c < dense.inputs; ++c) {
                inputs[static_cast<size_t>(count)] = c;
                values[static_cast<size_t>(count)] = row[c];
                count += !dense.skip_zeros || row[c] != 0.0;
            }
            starts.push_back(count);
        }
    }
};

// One chunk of kWidth outputs (a multiple of four) of samples [group,
// group_end): every listed input c of a sample in order, its row of the
// chunk's weight columns (`stride` apart) times the value added to the
// sums in registers, then the bias; the first `width` outputs are stored.
template <Index kWidth>
ZOR_INLINE void chunk(const Listed &listed, const double *columns, Index stride,
                      const double *chunk_bias, Index width, double *out, Index out_stride,
                      Index samples) {
    for (Index s = 0; s < samples; ++s) {
        Quad sums[kWidth / 4] = {};
        for (Index k = listed.starts[static_cast<size_t>(s)]; k < listed.starts[static_cast<size_t>(s) + 1]; ++k) {
            const double *row = columns + listed.inputs[static_cast<size_t>(k)] * stride;
            const double value = listed.values[static_cast<size_t>(k)];
            for (Index q = 0; q < kWidth / 4; ++q) {
                Quad taps;
                load(taps, row + 4 * q);
                sums[q] += taps * value;
            }
        }
        double results[kWidth];
        for (Index q = 0; q < kWidth / 4; ++q) {
            Quad b;
            load(b, chunk_bias + 4 * q);
            sums[q] += b;
            store(results + 4 * q, sums[q]);
        }
        std::copy(results, results + width, out + s * out_stride);
    }
}

// Samples [first, last), a group at a time: chunks of 32 outputs, then of
// 16, 8 and 4 for what is left, and the last one to three outputs from a
// copy of their columns padded with zeros to four.
ZOR_VECTOR_CLONES
void dense_samples(const Dense &dense, const double *x, const double *weight_t, const double *bias,
                   double *out, Index first, Index last) {
    const Index whole = dense.outputs / 4 * 4, rest = dense.outputs - whole;
    std::vector<double> tail_weight, tail_bias(4, 0.0);
    if (rest) {
        tail_weight.assign(static_cast<size_t>(dense.inputs * 4), 0.0);
        for (Index c = 0; c < dense.inputs; ++c)
            std::copy(weight_t + c * dense.outputs + whole, weight_t + (c + 1) * dense.outputs,
                      tail_weight.begin() + c * 4);
        std::copy(bias + whole, bias + dense.outputs, tail_bias.begin());
    }
    const Index per_group = std::clamp<Index>(kListBytes / (16 * std::max<Index>(1, dense.inputs)), 1, kGroup);
    Listed listed;
    for (Index group = first; group < last; group += per_group) {
        const Index samples = std::min(last, group + per_group) - group;
        listed.list(dense, x, group, group + samples);
        double *target = out + group * dense.outputs;
        Index start = 0;
        for (; start + 32 <= whole; start += 32)
            chunk<32>(listed, weight_t + start, dense.outputs, bias + start, 32, target + start,
                      dense.outputs, samples);
        if (start + 16 <= whole) {
            chunk<16>(listed, weight_t + start, dense.outputs, bias + start, 16, target + start,
                      dense.outputs, samples);
            start += 16;
        }
        if (start + 8 <= whole) {
            chunk<8>(listed, weight_t + start, dense.outputs, bias + start, 8, target + start,
                     dense.outputs, samples);
            start += 8;
        }
        if (start + 4 <= whole) {
            chunk<4>(listed, weight_t + start, dense.outputs, bias + start, 4, target + start,
                     dense.outputs, samples);
            start += 4;
        }
        if (rest)
            chunk<4>(listed, tail_weight.data(), 4, tail_bias.data(), rest, target + whole,
                     dense.outputs, samples);
    }
}

}  // namespace

void dense(const Dense &dense, const double *x, const double *weight_t, const double *bias,
           double *out) {
    const double work = static_cast<double>(dense.samples) * static_cast<double>(dense.inputs) *
                        static_cast<double>(dense.outputs);
    parallel_for(dense.samples, dense.threads, work, [&](Index first, Index last) {
        dense_samples(dense, x, weight_t, bias, out, first, last);
    });
}

}  // namespace zor::execution
