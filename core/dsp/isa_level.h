// The instruction-set levels that hot loops are built for, and which of them this CPU runs.
#pragma once

namespace halvex {

// x86-64 baseline (SSE2), x86-64-v3 (AVX2, FMA, BMI) and x86-64-v4 (AVX-512).
enum class SplitLevel { kBaseline, kAvx2, kAvx512 };

// Whether code built for `level` runs here; the baseline always does.
bool CpuRuns(SplitLevel level);
// The highest level this CPU runs.
SplitLevel BestSplitLevel();

}  // namespace halvex
