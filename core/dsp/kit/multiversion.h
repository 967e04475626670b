// The one way a hot function is built for several instruction-set levels, chosen at load time.
// HALVEX_FMA_CLONES: x86-64-v3 (AVX2 + FMA) and the baseline. HALVEX_AVX512_CLONES: x86-64-v4
// as well. Kernels use only exactly rounded operations (std::fmaf is exactly rounded either way)
// and the same order of operations in every clone, so all builds give identical bits; the
// higher levels only turn library calls into single instructions and widen the vectors.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define HALVEX_FMA_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#define HALVEX_AVX512_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define HALVEX_FMA_CLONES
#define HALVEX_AVX512_CLONES
#endif
