// The interface every spatial algorithm implements, and the factory that picks one.
#pragma once

#include <cstddef>
#include <memory>

#include "core/config/config_defaults.h"

namespace halvex {

// One stereo frame, full scale +-1.0.
struct StereoSample {
  float left = 0.0f;
  float right = 0.0f;
};

// A stage's processed frame and its input delayed by the same latency.
struct StageOutput {
  StereoSample wet;
  StereoSample dry;
};

class SpatialStage {
 public:
  virtual ~SpatialStage() = default;
  // Takes every parameter the stage needs; the Processor calls Reset right after.
  virtual void Configure(const ProcessorConfig& config) = 0;
  // Clears all signal state, keeps parameters.
  virtual void Reset() = 0;
  virtual size_t Latency() const = 0;
  // One frame; real-time safe: no allocation, no lock.
  virtual StageOutput Process(float left, float right) noexcept = 0;
  // `frames` frames at once (at most kMaxStageBlock), with exactly the result of that many
  // Process calls in order: how a signal is cut into blocks never shows in the output. Stages
  // override it to run their kernels across time; the default calls Process frame by frame.
  virtual void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept;
};

// The longest block the Processor hands a stage at once.
inline constexpr size_t kMaxStageBlock = 64;

// A new, unconfigured stage for the algorithm; unknown values build the echo widener.
std::unique_ptr<SpatialStage> MakeSpatialStage(SpatialAlgorithm algorithm);

}  // namespace halvex
