// What the kernels' inner loops share: four doubles as one value, and the
// AVX2 clones of the functions that carry the loops.
#pragma once

#include <cstring>

// A function marked ZOR_VECTOR_CLONES is built twice, for AVX2 and for
// any x86-64, and the CPU picks at load time; what it inlines (ZOR_INLINE)
// is built the same way, which is where the speed of the clone comes from.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ZOR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define ZOR_INLINE inline __attribute__((always_inline))
#else
#define ZOR_VECTOR_CLONES
#define ZOR_INLINE inline
#endif

namespace zor::execution {

// Four doubles, which the AVX2 clone keeps in one register and the default
// one in two; loaded and stored through memcpy, at any alignment.
typedef double Quad __attribute__((vector_size(32)));

// By reference, not by value: a Quad passed by value has no one ABI without
// AVX.
ZOR_INLINE void load(Quad &value, const double *from) { std::memcpy(&value, from, sizeof value); }
ZOR_INLINE void store(double *to, const Quad &value) { std::memcpy(to, &value, sizeof value); }

}  // namespace zor::execution
