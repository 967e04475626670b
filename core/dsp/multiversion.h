// Marks a hot function for two builds, chosen at load time: one for x86-64-v3 (AVX2 + FMA) and
// the baseline. std::fmaf is exactly rounded either way, so both give identical bits; the v3 build
// only turns the libm calls into single instructions.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define HALVEX_FMA_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define HALVEX_FMA_CLONES
#endif
