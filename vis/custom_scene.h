// A preset's custom waves and shapes together: loaded with the preset, drawn each frame after
// its frame code with the q values that code left.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "vis/custom_shape.h"
#include "vis/custom_wave.h"

namespace halvex::vis {

class CustomScene {
 public:
  // False with the first compile error of any wave or shape (the preset then does not load).
  bool Load(const Preset& preset, std::string& error, std::vector<std::string>& notes);
  // Shapes first, then waves, so the waves stay visible over filled shapes.
  void Draw(const CustomFrame& frame, const AudioFeatures& features, float fade,
            CustomDraws& draws);

 private:
  std::array<CustomWave, kCustomSlots> waves_;
  std::array<CustomShape, kCustomSlots> shapes_;
};

}  // namespace halvex::vis
