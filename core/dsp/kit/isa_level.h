// The instruction-set levels that hot loops are built for, and which of them this CPU runs.
#pragma once

namespace halvex {

// x86-64 baseline (SSE2), x86-64-v3 (AVX2, FMA, BMI) and x86-64-v4 (AVX-512).
enum class SplitLevel { kBaseline, kAvx2, kAvx512 };

// Whether code built for `level` runs here; the baseline always does.
bool CpuRuns(SplitLevel level);
// The highest level this CPU runs.
SplitLevel BestSplitLevel();

// The build of a kernel for `level`, for kernels whose builds the tests also run level by level
// (the others are HALVEX_*_CLONES, multiversion.h): the baseline's when this CPU does not run
// `level`. Builds are function pointers or small structs of them; a kernel without an AVX-512
// build of its own passes its AVX2 build for both.
template <typename Build>
Build PickBuild(SplitLevel level, Build baseline, Build avx2, Build avx512) {
  if (!CpuRuns(level)) return baseline;
  switch (level) {
    case SplitLevel::kAvx512:
      return avx512;
    case SplitLevel::kAvx2:
      return avx2;
    case SplitLevel::kBaseline:
      break;
  }
  return baseline;
}

}  // namespace halvex
