#include "core/execution/kernels.hpp"
#include "core/execution/parallel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zor::execution {
namespace {

// Neurons handled together: a tile of a row stays in the L1 cache through
// the passes of one step.
constexpr Index kTile = 512;

// Without a branch per neuron, which spikes at random would mispredict:
// the compiler makes none of its own here only with AVX, so SSE2 is written
// out.
template <bool strict>
void fire(double *__restrict state, const double *__restrict threshold,
          const double *__restrict reset, double *__restrict spikes, Index count) {
    Index k = 0;
#if defined(__SSE2__)
    const __m128d one = _mm_set1_pd(1.0);
    for (; k + 2 <= count; k += 2) {
        const __m128d v = _mm_loadu_pd(state + k), t = _mm_loadu_pd(threshold + k);
        const __m128d spike = strict ? _mm_cmpgt_pd(v, t) : _mm_cmpge_pd(v, t);
        _mm_storeu_pd(spikes + k, _mm_and_pd(spike, one));
        _mm_storeu_pd(state + k, _mm_or_pd(_mm_and_pd(spike, _mm_loadu_pd(reset + k)),
                                           _mm_andnot_pd(spike, v)));
    }
#endif
    for (; k < count; ++k) {
        const bool spike = strict ? state[k] > threshold[k] : state[k] >= threshold[k];
        spikes[k] = spike ? 1.0 : 0.0;
        state[k] = spike ? reset[k] : state[k];
    }
}

// Rows [first, last) of the batch.
void advance_rows(const Step &step, double *target, Index first, Index last) {
    for (Index row = first; row < last; ++row) {
        for (Index start = 0; start < step.neurons; start += kTile) {
            const Index count = step.neurons - start < kTile ? step.neurons - start : kTile;
            const Index at = row * step.neurons + start;
            double *__restrict s = target + at;
            const double *__restrict keep = step.keep + start;
            for (Index k = 0; k < count; ++k)
                s[k] = s[k] * keep[k];
            for (Index t = 0; t < step.term_count; ++t) {
                const double *__restrict coefficient = step.terms[t].coefficient + start;
                const double *__restrict source = step.terms[t].source + at;
                for (Index k = 0; k < count; ++k)
                    s[k] = s[k] + source[k] * coefficient[k];
            }
            if (step.rest) {
                const double *__restrict rest = step.rest + start;
                for (Index k = 0; k < count; ++k)
                    s[k] = s[k] + rest[k];
            }
            if (!step.firing)
                continue;
            const Firing &f = *step.firing;
            (f.strict ? fire<true> : fire<false>)(s, f.threshold + start, f.reset + start,
                                                  f.spikes + at, count);
        }
    }
}

}  // namespace

void advance(const Step &step, double *target) {
    const double work = static_cast<double>(step.rows) * static_cast<double>(step.neurons) *
                        static_cast<double>(step.term_count + 2);
    parallel_for(step.rows, step.threads, work, [&](Index first, Index last) {
        advance_rows(step, target, first, last);
    });
}

}  // namespace zor::execution
