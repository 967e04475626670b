#include "core/dsp/kit/isa_level.h"

namespace halvex {

bool CpuRuns(SplitLevel level) {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  // Clang knows no level names; these are the features the builds lean on.
  const bool v3 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                  __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
  switch (level) {
    case SplitLevel::kBaseline:
      return true;
    case SplitLevel::kAvx2:
      return v3;
    case SplitLevel::kAvx512:
      return v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  }
  return false;
#else
  return level == SplitLevel::kBaseline;
#endif
}

SplitLevel BestSplitLevel() {
  if (CpuRuns(SplitLevel::kAvx512)) return SplitLevel::kAvx512;
  if (CpuRuns(SplitLevel::kAvx2)) return SplitLevel::kAvx2;
  return SplitLevel::kBaseline;
}

}  // namespace halvex
