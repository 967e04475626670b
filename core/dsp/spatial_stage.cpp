#include "core/dsp/spatial_stage.h"

#include "core/dsp/deep_field/spatial_deepfield.h"
#include "core/dsp/echo/spatial_echo.h"
#include "core/dsp/experimental/spatial_experimental.h"
#include "core/dsp/matrix/spatial_matrix.h"

namespace halvex {

void SpatialStage::ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept {
  for (size_t i = 0; i < frames; ++i) out[i] = Process(in[i].left, in[i].right);
}

std::unique_ptr<SpatialStage> MakeSpatialStage(SpatialAlgorithm algorithm) {
  switch (algorithm) {
    case SpatialAlgorithm::kExperimental:
      return std::make_unique<ExperimentalStage>();
    case SpatialAlgorithm::kDeepField:
      return std::make_unique<DeepFieldStage>();
    case SpatialAlgorithm::kMatrixSurround:
      return std::make_unique<MatrixSurroundStage>();
    case SpatialAlgorithm::kMatrixSteer:
      return std::make_unique<MatrixSteerStage>();
    default:  // echo_widener and every value outside the table
      return std::make_unique<EchoWidenerStage>();
  }
}

}  // namespace halvex
