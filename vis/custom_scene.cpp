#include "vis/custom_scene.h"

namespace halvex::vis {

bool CustomScene::Load(const Preset& preset, std::string& error,
                       std::vector<std::string>& notes) {
  for (size_t i = 0; i < kCustomSlots; ++i) {
    if (!waves_[i].Load(preset.waves[i], i, error, notes)) return false;
    if (!shapes_[i].Load(preset.shapes[i], i, error, notes)) return false;
  }
  return true;
}

void CustomScene::Draw(const CustomFrame& frame, const AudioFeatures& features, float fade,
                       CustomDraws& draws) {
  for (CustomShape& shape : shapes_) shape.Draw(frame, fade, draws);
  for (CustomWave& wave : waves_) wave.Draw(frame, features, fade, draws);
}

}  // namespace halvex::vis
