#include "core/config/config_names.h"

#include <array>

namespace halvex {

namespace {

struct AlgorithmRow {
  std::string_view name;
  SpatialAlgorithm value;
};

// Lookups walk this table in order, both ways.
constexpr std::array<AlgorithmRow, 5> kAlgorithms{{
    {"echo_widener", SpatialAlgorithm::kEchoWidener},
    {"experimental", SpatialAlgorithm::kExperimental},
    {"deep_field", SpatialAlgorithm::kDeepField},
    {"matrix_surround", SpatialAlgorithm::kMatrixSurround},
    {"matrix_steer", SpatialAlgorithm::kMatrixSteer},
}};

}  // namespace

const char* SpatialAlgorithmName(SpatialAlgorithm algorithm) {
  for (const AlgorithmRow& row : kAlgorithms) {
    if (row.value == algorithm) return row.name.data();
  }
  return kAlgorithms[0].name.data();
}

bool ParseSpatialAlgorithm(std::string_view text, SpatialAlgorithm& out) {
  for (const AlgorithmRow& row : kAlgorithms) {
    if (row.name == text) {
      out = row.value;
      return true;
    }
  }
  return false;
}

const char* SpatialAlgorithmNames() {
  return "\"echo_widener\", \"experimental\", \"deep_field\", \"matrix_surround\" or "
         "\"matrix_steer\"";
}

const char* RenderTargetName(RenderTarget target) {
  return target == RenderTarget::kHeadphones ? "headphones" : "speakers";
}

bool ParseRenderTarget(std::string_view text, RenderTarget& out) {
  if (text == "speakers") {
    out = RenderTarget::kSpeakers;
    return true;
  }
  if (text == "headphones") {
    out = RenderTarget::kHeadphones;
    return true;
  }
  return false;
}

const char* RenderTargetNames() { return "\"speakers\" or \"headphones\""; }

}  // namespace halvex
