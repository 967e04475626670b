#include "packaging/keydoc/key_table.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "core/config/config_defaults.h"
#include "core/config/config_names.h"
#include "core/config/config_validation.h"

namespace halvex {

namespace {

constexpr float kUnbounded = 1e9f;

// Floats in value order as integers, so a bisection over them ends on one exact float.
int64_t Ordered(float value) {
  const int32_t bits = std::bit_cast<int32_t>(value);
  return bits >= 0 ? bits : -static_cast<int64_t>(bits & 0x7fffffff);
}

float FromOrdered(int64_t ordered) {
  return ordered >= 0 ? std::bit_cast<float>(static_cast<int32_t>(ordered))
                      : std::bit_cast<float>(static_cast<int32_t>(-ordered) | INT32_MIN);
}

// Through the accessor's own text form ("%.9g" round-trips every float exactly).
bool ValidWith(const ParamAccessor& accessor, float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  ProcessorConfig config = DefaultConfig();
  std::string error;
  return accessor.Apply(config, text, error) && ValidateConfig(config, error);
}

// Walks from the default towards `direction` (+1 or -1) until the validator says no, then
// bisects between the last accepted and the first refused float.
std::optional<float> Probe(const ParamAccessor& accessor, float direction) {
  const float start = accessor.Number(DefaultConfig());
  float good = start;
  float bad = start;
  for (float step = 1.0f;; step *= 2.0f) {
    const float next = start + direction * step;
    if (std::fabs(next) > kUnbounded) return std::nullopt;
    if (!ValidWith(accessor, next)) {
      bad = next;
      break;
    }
    good = next;
  }
  int64_t good_ord = Ordered(good);
  int64_t bad_ord = Ordered(bad);
  while (std::llabs(bad_ord - good_ord) > 1) {
    const int64_t mid = good_ord + (bad_ord - good_ord) / 2;
    (ValidWith(accessor, FromOrdered(mid)) ? good_ord : bad_ord) = mid;
  }
  return FromOrdered(good_ord);
}

// Words a choice key might take: every enumeration name the library knows, and single letters
// (the channel names). Which key takes which is the accessors' answer, not this list's.
std::vector<std::string> ChoiceCandidates() {
  std::vector<std::string> words;
  for (int32_t v = 0;; ++v) {
    const char* name = SpatialAlgorithmName(static_cast<SpatialAlgorithm>(v));
    SpatialAlgorithm parsed{};
    if (!ParseSpatialAlgorithm(name, parsed) || static_cast<int32_t>(parsed) != v) break;
    words.push_back(name);
  }
  for (int32_t v = 0;; ++v) {
    const char* name = RenderTargetName(static_cast<RenderTarget>(v));
    RenderTarget parsed{};
    if (!ParseRenderTarget(name, parsed) || static_cast<int32_t>(parsed) != v) break;
    words.push_back(name);
  }
  // Frame counts: zero and the powers of two.
  words.emplace_back("0");
  for (int32_t frames = 1; frames <= 16384; frames *= 2) words.push_back(std::to_string(frames));
  for (char c = 'A'; c <= 'Z'; ++c) words.emplace_back(1, c);
  for (char c = 'a'; c <= 'z'; ++c) words.emplace_back(1, c);
  return words;
}

// The candidates the accessor accepts, ordered by the number it then reports.
std::vector<std::string> AcceptedWords(const ParamAccessor& accessor,
                                       const std::vector<std::string>& candidates) {
  std::vector<std::pair<float, std::string>> accepted;
  for (const std::string& word : candidates) {
    ProcessorConfig config = DefaultConfig();
    std::string error;
    if (accessor.Apply(config, word, error)) accepted.emplace_back(accessor.Number(config), word);
  }
  std::stable_sort(accepted.begin(), accepted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> words;
  for (auto& [number, word] : accepted) words.push_back(std::move(word));
  return words;
}

}  // namespace

std::optional<float> ProbeLowest(const ParamAccessor& accessor) { return Probe(accessor, -1.0f); }
std::optional<float> ProbeHighest(const ParamAccessor& accessor) { return Probe(accessor, 1.0f); }

std::vector<KeyDoc> DescribeSettableKeys() {
  const std::vector<std::string> candidates = ChoiceCandidates();
  const ProcessorConfig defaults = DefaultConfig();
  std::vector<KeyDoc> rows;
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    KeyDoc row;
    row.key = ParamKeyAt(i);
    const ParamAccessor& accessor = *FindParam(row.key);
    row.kind = accessor.Kind();
    row.default_text = accessor.Text(defaults);
    switch (row.kind) {
      case ParamKind::Float:
        row.low = ProbeLowest(accessor);
        row.high = ProbeHighest(accessor);
        break;
      case ParamKind::Flag:
        row.choices = AcceptedWords(accessor, {"0", "1", "false", "true"});
        break;
      case ParamKind::Choice:
        row.choices = AcceptedWords(accessor, candidates);
        break;
      case ParamKind::Device:
        break;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace halvex
