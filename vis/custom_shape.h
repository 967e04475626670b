// One custom shape of a preset: a regular polygon filled with a gradient from its centre to its
// corners (or with the previous frame's picture), and an optional outline, placed each frame by
// its frame code.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "vis/custom_code.h"
#include "vis/draw_types.h"
#include "vis/eel.h"
#include "vis/preset.h"

namespace halvex::vis {

class CustomShape {
 public:
  // Compiles the shape's code and runs its init code; false with the first compile error. A
  // disabled shape loads as nothing. `index` names the shape in notes.
  bool Load(const CustomShapeSpec& desc, size_t index, std::string& error,
            std::vector<std::string>& notes);
  // Runs the frame code and appends the fill and the outline (alpha times `fade`) to `draws`.
  // A shape whose centre or radius is not finite is skipped for the frame.
  void Draw(const CustomFrame& frame, float fade, CustomDraws& draws);

  bool enabled() const { return spec_.enabled; }

  enum Slot {
    kX, kY, kRad, kAng, kSides, kTextured, kAdditive, kThick, kTexAng, kTexZoom,
    kR, kG, kB, kA, kR2, kG2, kB2, kA2, kBorderR, kBorderG, kBorderB, kBorderA, kSlotCount
  };

 private:
  struct Placement;  // where this frame's code put the shape
  double Value(Slot slot) const;
  void RunFrameCode(const CustomFrame& frame);
  // False when the shape is not drawable this frame.
  bool Place(const CustomFrame& frame, float fade, Placement& p) const;
  ShapeVertex Corner(const Placement& p, int k) const;
  void AppendFill(const Placement& p, CustomDraws& draws) const;
  void AppendOutline(const Placement& p, CustomDraws& draws) const;

  CustomShapeSpec spec_;
  VariableTable table_;
  CustomVariables shared_;
  Program init_, frame_;
  std::vector<double> vars_;
  std::array<size_t, kSlotCount> slots_{};
};

}  // namespace halvex::vis
