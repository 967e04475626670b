#include "vis/custom_code.h"

#include <algorithm>
#include <cmath>

namespace halvex::vis {

namespace {

constexpr std::array<const char*, 10> kFrameNames = {
    "time", "fps", "frame", "progress", "bass", "mid", "treb", "bass_att", "mid_att", "treb_att"};

void Put(std::vector<double>& vars, size_t slot, double value) {
  if (slot < vars.size()) vars[slot] = value;
}

}  // namespace

void CustomVariables::Bind(VariableTable& table) {
  for (size_t i = 0; i < kFrameNames.size(); ++i) frame_slots_[i] = table.Slot(kFrameNames[i]);
  for (size_t i = 0; i < kQCount; ++i) q_slots_[i] = table.Slot("q" + std::to_string(i + 1));
  for (size_t i = 0; i < kTCount; ++i) t_slots_[i] = table.Slot("t" + std::to_string(i + 1));
  t_start_.fill(0.0);
}

void CustomVariables::Seed(const CustomFrame& frame, std::vector<double>& vars) const {
  // fps is fixed at 60, as for the preset's own code.
  const std::array<double, 4> head = {frame.time, 60.0, frame.frame, frame.progress};
  for (size_t i = 0; i < head.size(); ++i) Put(vars, frame_slots_[i], head[i]);
  for (size_t i = 0; i < frame.levels.size(); ++i) Put(vars, frame_slots_[4 + i], frame.levels[i]);
  for (size_t i = 0; i < kQCount; ++i) Put(vars, q_slots_[i], frame.q[i]);
  for (size_t i = 0; i < kTCount; ++i) Put(vars, t_slots_[i], t_start_[i]);
}

void CustomVariables::KeepT(const std::vector<double>& vars) {
  for (size_t i = 0; i < kTCount; ++i) {
    t_start_[i] = t_slots_[i] < vars.size() ? vars[t_slots_[i]] : 0.0;
  }
}

bool CompileCustom(const std::string& text, const std::string& what, VariableTable& table,
                   Program& program, std::string& error, std::vector<std::string>& notes) {
  const CompileResult result = program.Compile(text, table);
  if (!result.ok) {
    error = what + ": " + result.error;
    return false;
  }
  for (const std::string& note : result.notes) notes.push_back("unsupported construct: " + note);
  return true;
}

float Unit(double value, float low, float high) {
  if (std::isnan(value)) return low;
  return static_cast<float>(std::clamp(value, double{low}, double{high}));
}

}  // namespace halvex::vis
