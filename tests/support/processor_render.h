// Offline runs of the whole engine for the suites and the benchmarks: interleaved stereo through
// a fresh processor, a fixed number of frames per call, as the daemon and the renderer feed it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/processor.h"

namespace halvex::test {

// `samples` (interleaved stereo) processed in place, `block` frames per call.
inline std::vector<float> Render(const ProcessorConfig& config, std::vector<float> samples,
                                 size_t block) {
  DenormalGuard guard;
  Processor processor;
  processor.Configure(config);
  const size_t frames = samples.size() / 2;
  for (size_t at = 0; at < frames; at += block) {
    processor.ProcessBlock(samples.data() + 2 * at, std::min(block, frames - at), 2);
  }
  return samples;
}

// The default configuration running `algorithm`.
inline ProcessorConfig ConfigFor(SpatialAlgorithm algorithm) {
  ProcessorConfig config = DefaultConfig();
  config.spatial_algorithm = algorithm;
  return config;
}

}  // namespace halvex::test
