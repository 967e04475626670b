// What the code of a custom wave or shape sees of the frame: the frame's variables, the
// q1..q8 the preset's frame code left, and t1..t8 of its own.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "vis/analysis.h"
#include "vis/eel.h"

namespace halvex::vis {

inline constexpr size_t kQCount = 8;
inline constexpr size_t kTCount = 8;

struct CustomFrame {
  double time = 0.0;
  double frame = 0.0;
  double progress = 0.0;  // 0..1 through the preset's time on screen
  std::array<double, 6> levels{};  // bass, mid, treb, bass_att, mid_att, treb_att
  std::array<double, kQCount> q{};
  float aspect = 1.0f;
};

// The shared names bound first in a custom wave's or shape's table.
class CustomVariables {
 public:
  void Bind(VariableTable& table);
  // Writes the frame's values and q1..q8 into `vars`, and t1..t8 from `t_start`.
  void Seed(const CustomFrame& frame, std::vector<double>& vars) const;
  // Reads t1..t8 out of `vars` (after the init code: every frame's starting values).
  void KeepT(const std::vector<double>& vars);

 private:
  std::array<size_t, 10> frame_slots_{};
  std::array<size_t, kQCount> q_slots_{};
  std::array<size_t, kTCount> t_slots_{};
  std::array<double, kTCount> t_start_{};
};

// Compiles `text` into `program`, adding "unsupported construct" notes; false with the error.
bool CompileCustom(const std::string& text, const std::string& what, VariableTable& table,
                   Program& program, std::string& error, std::vector<std::string>& notes);

// Clamps to [low, high]; NaN gives `low`, so nothing undefined reaches the feedback image.
float Unit(double value, float low = 0.0f, float high = 1.0f);

}  // namespace halvex::vis
