#include "vis/custom_wave.h"

#include <algorithm>
#include <cmath>

namespace halvex::vis {

namespace {

constexpr std::array<const char*, 10> kNames = {"r",      "g",      "b",      "a", "samples",
                                                "sample", "value1", "value2", "x", "y"};

double Get(const std::vector<double>& vars, size_t slot) {
  return slot < vars.size() ? vars[slot] : 0.0;
}
void Put(std::vector<double>& vars, size_t slot, double value) {
  if (slot < vars.size()) vars[slot] = value;
}

// Each value blended with the mean of its neighbours; the ends count themselves as neighbour.
void Smooth(std::array<float, kMaxWaveSamples>& data, std::array<float, kMaxWaveSamples>& scratch,
            size_t n, float amount) {
  if (amount <= 0.0f || n < 3) return;
  for (size_t i = 0; i < n; ++i) {
    const float left = data[i == 0 ? 0 : i - 1];
    const float right = data[i + 1 == n ? i : i + 1];
    scratch[i] = (1.0f - amount) * data[i] + amount * 0.5f * (left + right);
  }
  std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n), data.begin());
}

}  // namespace

bool CustomWave::Load(const CustomWaveSpec& desc, size_t index, std::string& error,
                      std::vector<std::string>& notes) {
  spec_ = desc;
  table_.Clear();
  init_.Clear();
  frame_.Clear();
  point_.Clear();
  vars_.clear();
  if (!spec_.enabled) return true;
  shared_.Bind(table_);
  for (size_t i = 0; i < kSlotCount; ++i) slots_[i] = table_.Slot(kNames[i]);
  const std::string what = "wave " + std::to_string(index);
  if (!CompileCustom(spec_.init, what + " init", table_, init_, error, notes) ||
      !CompileCustom(spec_.per_frame, what + " per_frame", table_, frame_, error, notes) ||
      !CompileCustom(spec_.per_point, what + " per_point", table_, point_, error, notes)) {
    spec_.enabled = false;
    return false;
  }
  const size_t cost = std::max<size_t>(point_.instructions().size(), 1);
  max_points_ = std::clamp<size_t>(kPointBudget / cost, 1, kMaxWaveSamples);
  if (max_points_ < static_cast<size_t>(spec_.samples)) {
    notes.push_back(what + ": per-point code too long; drawing at most " +
                    std::to_string(max_points_) + " points");
  }
  vars_.assign(table_.size(), 0.0);
  init_.Run(vars_);
  shared_.KeepT(vars_);
  return true;
}

void CustomWave::Sample(const AudioFeatures& f, size_t n) {
  const size_t size = spec_.spectrum ? f.spectrum.size() : f.wave_left.size();
  const size_t sep = std::min<size_t>(static_cast<size_t>(spec_.sep), size - 1);
  const size_t span = size - sep;
  for (size_t i = 0; i < n; ++i) {
    const size_t j = i * span / n;  // the wave covers the whole of the data
    value1_[i] = spec_.spectrum ? f.spectrum[j] : f.wave_left[j];
    value2_[i] = spec_.spectrum ? f.spectrum[j + sep] : f.wave_right[j + sep];
  }
  Smooth(value1_, scratch_, n, spec_.smoothing);
  Smooth(value2_, scratch_, n, spec_.smoothing);
  const float scale = std::isfinite(spec_.scaling) ? spec_.scaling : 1.0f;
  for (size_t i = 0; i < n; ++i) {
    value1_[i] *= scale;
    value2_[i] *= scale;
  }
}

void CustomWave::Draw(const CustomFrame& frame, const AudioFeatures& features, float fade,
                      CustomDraws& draws) {
  if (!spec_.enabled) return;
  shared_.Seed(frame, vars_);
  Put(vars_, slots_[kR], spec_.r);
  Put(vars_, slots_[kG], spec_.g);
  Put(vars_, slots_[kB], spec_.b);
  Put(vars_, slots_[kA], spec_.a);
  Put(vars_, slots_[kSamples], spec_.samples);
  frame_.Run(vars_);

  const double asked = Get(vars_, slots_[kSamples]);
  const size_t n = std::isnan(asked) ? 0
                   : static_cast<size_t>(std::clamp(asked, 0.0, static_cast<double>(max_points_)));
  if (n == 0 || (n < 2 && !spec_.dots)) return;
  Sample(features, n);
  const double r = Get(vars_, slots_[kR]);
  const double g = Get(vars_, slots_[kG]);
  const double b = Get(vars_, slots_[kB]);
  const double a = Get(vars_, slots_[kA]);

  DrawBatch batch;
  batch.kind = spec_.dots ? DrawKind::kDots : DrawKind::kLines;
  batch.additive = spec_.additive;
  batch.thick = spec_.thick;
  batch.first = static_cast<uint32_t>(draws.lines.size());
  for (size_t i = 0; i < n; ++i) {
    const double sample = n > 1 ? static_cast<double>(i) / static_cast<double>(n - 1) : 0.0;
    Put(vars_, slots_[kSample], sample);
    Put(vars_, slots_[kValue1], value1_[i]);
    Put(vars_, slots_[kValue2], value2_[i]);
    Put(vars_, slots_[kX], sample);
    Put(vars_, slots_[kY], 0.5 + 0.5 * value1_[i]);
    Put(vars_, slots_[kR], r);
    Put(vars_, slots_[kG], g);
    Put(vars_, slots_[kB], b);
    Put(vars_, slots_[kA], a);
    point_.Run(vars_);
    // 0..1 with y down, as the main wave's centre: clip space is twice that, less one.
    draws.lines.push_back(DrawVertex{Unit(2.0 * Get(vars_, slots_[kX]) - 1.0, -4.0f, 4.0f),
                                     Unit(2.0 * Get(vars_, slots_[kY]) - 1.0, -4.0f, 4.0f),
                                     Unit(Get(vars_, slots_[kR])), Unit(Get(vars_, slots_[kG])),
                                     Unit(Get(vars_, slots_[kB])),
                                     Unit(Get(vars_, slots_[kA])) * fade});
  }
  batch.count = static_cast<uint32_t>(n);
  draws.batches.push_back(batch);
}

}  // namespace halvex::vis
