#include "core/config/config_keys.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/config/config_names.h"
#include "core/config/config_validation.h"
#include "core/config/number_format.h"

namespace halvex {

namespace {

using PC = ProcessorConfig;

// A settable float key with its closed range.
constexpr ConfigKey Float(const char* name, float PC::*field, int read, int check, float lo,
                          float hi, const char* unit = "", bool shared = false) {
  return {name, KeyType::kFloat, field, true, read, KeyRule::kRange, check, lo, hi, unit, shared};
}

constexpr ConfigKey Key(const char* name, KeyType type, KeyField field, bool settable, int read,
                        KeyRule rule = KeyRule::kNone, int check = 0, float lo = 0.0f,
                        float hi = 0.0f) {
  return {name, type, field, settable, read, rule, check, lo, hi, "", false};
}

constexpr bool kSettable = true;
constexpr bool kFileOnly = false;

// `read` and `check` keep the orders that files and messages have always had: a file with two
// bad keys reports the same one as before. Most ranges are what the engine is tuned for; the
// Haas delay and the band delays are bounded by the Haas zone.
constinit const std::array<ConfigKey, 38> kKeys{{
    Key("spatial_algorithm", KeyType::kAlgorithm, &PC::spatial_algorithm, kSettable, 2),
    Key("render_target", KeyType::kTarget, &PC::render_target, kSettable, 3),
    Float("ambience_spread", &PC::ambience_spread, 18, 9, 0.0f, 1.0f),
    Float("ambience_depth", &PC::ambience_depth, 19, 11, 0.25f, 4.0f),
    Float("direct_spread", &PC::direct_spread, 20, 10, 0.0f, 1.0f),
    Float("distance", &PC::distance, 21, 12, 1.0f, 8.0f),
    Float("field_size", &PC::field_size, 22, 13, 0.5f, 12.0f, " s"),
    Float("field_level", &PC::field_level, 23, 14, -40.0f, 0.0f, " dB"),
    Float("air", &PC::air, 24, 15, 0.0f, 1.0f),
    Float("envelopment", &PC::envelopment, 25, 16, 0.0f, 1.0f),
    Float("recycle", &PC::recycle, 26, 17, 0.0f, 1.0f),
    Float("widen_scale", &PC::widen_scale, 11, 4, 0.0f, 1.0f),
    Float("echo_side_gain", &PC::echo_side_gain, 12, 26, -4.0f, 4.0f),
    Float("echo_mid_gain", &PC::echo_mid_gain, 13, 27, 0.0f, 1.0f),
    Float("steer_amount", &PC::steer_amount, 15, 6, 0.0f, 1.0f),
    Float("steer_depth", &PC::steer_depth, 16, 7, 0.0f, 1.0f),
    Float("stft_expand", &PC::stft_expand, 17, 8, 0.0f, 1.0f),
    Key("alternate_tap_polarity", KeyType::kFlag, &PC::alternate_tap_polarity, kSettable, 35),
    Key("output_device", KeyType::kDevice, &PC::output_device, kSettable, 27, KeyRule::kSafeName,
        18),
    Float("centre_width", &PC::centre_width, 28, 19, 0.0f, 1.0f, "", true),
    Float("dimension", &PC::dimension, 29, 21, -1.0f, 1.0f),
    Float("panorama", &PC::panorama, 30, 20, 0.0f, 1.0f, "", true),
    Float("surround_gain", &PC::surround_gain, 31, 22, 0.25f, 2.0f),
    Float("bass", &PC::bass, 32, 23, 0.3f, 1.0f),
    Float("treble_shelf_db", &PC::treble_shelf_db, 34, 24, -6.0f, 6.0f),
    Float("treble_shelf_hz", &PC::treble_shelf_hz, 33, 25, 2000.0f, 16000.0f),
    Float("wet_dry_ratio", &PC::wet_dry_ratio, 10, 3, 0.0f, 1.0f),
    Float("haas_delay_ms", &PC::haas_delay_ms, 14, 5, 0.0f, kHaasLimitMs, " ms"),
    Key("haas_channel", KeyType::kChannel, &PC::haas_channel, kSettable, 1),
    Key("quantum", KeyType::kFrames, &PC::quantum, kSettable, 9, KeyRule::kQuantum, 2),
    // Only through the file.
    Key("sample_rate_hz", KeyType::kInteger, &PC::sample_rate_hz, kFileOnly, 6),
    Key("bit_depth", KeyType::kInteger, &PC::bit_depth, kFileOnly, 7),
    Key("buffer_size_frames", KeyType::kInteger, &PC::buffer_size_frames, kFileOnly, 8,
        KeyRule::kPowerOfTwo, 1),
    Key("tap_multipliers", KeyType::kTaps, &PC::tap_multipliers, kFileOnly, 4,
        KeyRule::kRisingTaps, 28, 0.0f, 10.0f),
    Key("tap_volumes", KeyType::kTaps, &PC::tap_volumes, kFileOnly, 5, KeyRule::kEachInRange, 29,
        0.0f, 1.0f),
    Key("hot_reload", KeyType::kFlag, &PC::hot_reload, kFileOnly, 36),
    Key("enabled", KeyType::kFlag, &PC::enabled, kFileOnly, 37),
    // The range is each row's base delays.
    Key("bands", KeyType::kBands, &PC::bands, kFileOnly, 38, KeyRule::kBands, 30, 0.0f, 15.0f),
}};

std::vector<const ConfigKey*> SortedBy(int ConfigKey::*order, bool skip_zero) {
  std::vector<const ConfigKey*> keys;
  for (const ConfigKey& key : kKeys) {
    if (!skip_zero || key.*order != 0) keys.push_back(&key);
  }
  std::sort(keys.begin(), keys.end(),
            [order](const ConfigKey* a, const ConfigKey* b) { return a->*order < b->*order; });
  return keys;
}

}  // namespace

std::span<const ConfigKey> ConfigKeys() { return kKeys; }

const ConfigKey* FindConfigKey(std::string_view name) {
  for (const ConfigKey& key : kKeys) {
    if (name == key.name) return &key;
  }
  return nullptr;
}

const ConfigKey& KeyOfType(KeyType type) {
  return *std::find_if(kKeys.begin(), kKeys.end(),
                       [type](const ConfigKey& key) { return key.type == type; });
}

const char* KeyName(KeyField field) {
  return std::find_if(kKeys.begin(), kKeys.end(),
                      [&field](const ConfigKey& key) { return key.field == field; })
      ->name;
}

std::vector<const ConfigKey*> KeysInReadOrder() { return SortedBy(&ConfigKey::read, false); }

std::vector<const ConfigKey*> KeysInCheckOrder() { return SortedBy(&ConfigKey::check, true); }

std::vector<std::string> ChoiceWords(const ConfigKey& key) {
  std::vector<std::string> words;
  switch (key.type) {
    case KeyType::kFlag:
      // Both spellings of each value, false first.
      return {"0", "false", "1", "true"};
    case KeyType::kAlgorithm:
      // Walks the names until a value falls back to the first name.
      for (int32_t v = 0;; ++v) {
        SpatialAlgorithm parsed{};
        const char* name = SpatialAlgorithmName(static_cast<SpatialAlgorithm>(v));
        if (!ParseSpatialAlgorithm(name, parsed) || static_cast<int32_t>(parsed) != v) break;
        words.emplace_back(name);
      }
      return words;
    case KeyType::kTarget:
      return {RenderTargetName(RenderTarget::kSpeakers),
              RenderTargetName(RenderTarget::kHeadphones)};
    case KeyType::kChannel:
      return {"L", "R"};
    case KeyType::kFrames:
      if (IsValidQuantum(0)) words.emplace_back("0");
      for (int64_t frames = 1; frames <= 65536; frames *= 2) {
        if (IsValidQuantum(frames)) words.push_back(std::to_string(frames));
      }
      return words;
    default:
      return words;
  }
}

std::string RangeMessage(const ConfigKey& key) {
  std::string subject = key.name;
  if (key.shared_message) {
    subject.clear();
    for (const ConfigKey& other : kKeys) {
      if (!other.shared_message) continue;
      if (!subject.empty()) subject += '/';
      subject += other.name;
    }
  }
  return subject + " out of [" + FormatNumber(key.lo) + "," + FormatNumber(key.hi) + "]" +
         key.message_unit;
}

}  // namespace halvex
