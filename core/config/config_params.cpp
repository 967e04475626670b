#include "core/config/config_params.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "core/config/config_names.h"
#include "core/config/config_validation.h"
#include "core/config/number_format.h"

namespace halvex {

namespace {

class FloatParam final : public ParamAccessor {
 public:
  explicit constexpr FloatParam(float ProcessorConfig::*field) : field_(field) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (!ParseNumber(text, config.*field_)) {
      error = "not a number: " + text;
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return FormatNumber(config.*field_);
  }
  float Number(const ProcessorConfig& config) const override { return config.*field_; }
  ParamKind Kind() const override { return ParamKind::Float; }

 private:
  float ProcessorConfig::*field_;
};

class BoolParam final : public ParamAccessor {
 public:
  explicit constexpr BoolParam(bool ProcessorConfig::*field) : field_(field) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (text == "1" || text == "true") {
      config.*field_ = true;
    } else if (text == "0" || text == "false") {
      config.*field_ = false;
    } else {
      error = "not a boolean (use 0/1): " + text;
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return config.*field_ ? "1" : "0";
  }
  float Number(const ProcessorConfig& config) const override {
    return config.*field_ ? 1.0f : 0.0f;
  }
  ParamKind Kind() const override { return ParamKind::Flag; }

 private:
  bool ProcessorConfig::*field_;
};

class SpatialAlgorithmParam final : public ParamAccessor {
 public:
  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (!ParseSpatialAlgorithm(text, config.spatial_algorithm)) {
      error = std::string("spatial_algorithm must be ") + SpatialAlgorithmNames();
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return SpatialAlgorithmName(config.spatial_algorithm);
  }
  float Number(const ProcessorConfig& config) const override {
    return static_cast<float>(static_cast<int32_t>(config.spatial_algorithm));
  }
  ParamKind Kind() const override { return ParamKind::Choice; }
};

class RenderTargetParam final : public ParamAccessor {
 public:
  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (!ParseRenderTarget(text, config.render_target)) {
      error = std::string("render_target must be ") + RenderTargetNames();
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return RenderTargetName(config.render_target);
  }
  float Number(const ProcessorConfig& config) const override {
    return config.render_target == RenderTarget::kHeadphones ? 1.0f : 0.0f;
  }
  ParamKind Kind() const override { return ParamKind::Choice; }
};

// The record stores left as 1; a choice list shows L first, so Number counts
// L as 0 and R as 1.
class HaasChannelParam final : public ParamAccessor {
 public:
  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (text == "L") {
      config.haas_channel = 1;
    } else if (text == "R") {
      config.haas_channel = 0;
    } else {
      error = "haas_channel must be L or R: " + text;
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return config.haas_channel == 1 ? "L" : "R";
  }
  float Number(const ProcessorConfig& config) const override {
    return config.haas_channel == 1 ? 0.0f : 1.0f;
  }
  ParamKind Kind() const override { return ParamKind::Choice; }
};

// "auto" is the protocol word for the empty name (automatic choice).
class OutputDeviceParam final : public ParamAccessor {
 public:
  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (text == "auto") {
      config.output_device.clear();
      return true;
    }
    if (!IsSafeDeviceName(text, error)) return false;
    config.output_device = text;
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return config.output_device.empty() ? "auto" : config.output_device;
  }
  float Number(const ProcessorConfig& config) const override {
    return config.output_device.empty() ? 0.0f : 1.0f;
  }
  ParamKind Kind() const override { return ParamKind::Device; }
};

// Whole frame counts only: "256.5", "0x100" or "2e3" would be guesses at what was meant.
class QuantumParam final : public ParamAccessor {
 public:
  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    int64_t frames = 0;
    bool digits = !text.empty() && text.size() <= 5;
    for (char c : text) {
      digits = digits && c >= '0' && c <= '9';
      if (digits) frames = frames * 10 + (c - '0');
    }
    if (!digits || !IsValidQuantum(frames) || (text.size() > 1 && text[0] == '0')) {
      error = QuantumError(text);
      return false;
    }
    config.quantum = static_cast<int32_t>(frames);
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return std::to_string(config.quantum);
  }
  float Number(const ProcessorConfig& config) const override {
    return static_cast<float>(config.quantum);
  }
  ParamKind Kind() const override { return ParamKind::Choice; }
};

// One accessor per key, constant-initialised so other translation units may
// look keys up during their own static initialisation.
constinit const SpatialAlgorithmParam kAlgorithm;
constinit const RenderTargetParam kTarget;
constinit const FloatParam kAmbienceSpread(&ProcessorConfig::ambience_spread);
constinit const FloatParam kAmbienceDepth(&ProcessorConfig::ambience_depth);
constinit const FloatParam kDirectSpread(&ProcessorConfig::direct_spread);
constinit const FloatParam kDistance(&ProcessorConfig::distance);
constinit const FloatParam kFieldSize(&ProcessorConfig::field_size);
constinit const FloatParam kFieldLevel(&ProcessorConfig::field_level);
constinit const FloatParam kAir(&ProcessorConfig::air);
constinit const FloatParam kEnvelopment(&ProcessorConfig::envelopment);
constinit const FloatParam kRecycle(&ProcessorConfig::recycle);
constinit const FloatParam kWidenScale(&ProcessorConfig::widen_scale);
constinit const FloatParam kEchoSideGain(&ProcessorConfig::echo_side_gain);
constinit const FloatParam kEchoMidGain(&ProcessorConfig::echo_mid_gain);
constinit const FloatParam kSteerAmount(&ProcessorConfig::steer_amount);
constinit const FloatParam kSteerDepth(&ProcessorConfig::steer_depth);
constinit const FloatParam kStftExpand(&ProcessorConfig::stft_expand);
constinit const BoolParam kTapPolarity(&ProcessorConfig::alternate_tap_polarity);
constinit const OutputDeviceParam kOutputDevice;
constinit const FloatParam kCentreWidth(&ProcessorConfig::centre_width);
constinit const FloatParam kDimension(&ProcessorConfig::dimension);
constinit const FloatParam kPanorama(&ProcessorConfig::panorama);
constinit const FloatParam kSurroundGain(&ProcessorConfig::surround_gain);
constinit const FloatParam kBass(&ProcessorConfig::bass);
constinit const FloatParam kTrebleDb(&ProcessorConfig::treble_shelf_db);
constinit const FloatParam kTrebleHz(&ProcessorConfig::treble_shelf_hz);
constinit const FloatParam kWetDry(&ProcessorConfig::wet_dry_ratio);
constinit const FloatParam kHaasDelay(&ProcessorConfig::haas_delay_ms);
constinit const HaasChannelParam kHaasChannel;
constinit const QuantumParam kQuantum;

struct ParamRow {
  const char* key;
  const ParamAccessor* accessor;
};

// Order is public: the daemon's status reply and the tool's key list follow it.
constinit const std::array<ParamRow, 30> kTable{{
    {"spatial_algorithm", &kAlgorithm},
    {"render_target", &kTarget},
    {"ambience_spread", &kAmbienceSpread},
    {"ambience_depth", &kAmbienceDepth},
    {"direct_spread", &kDirectSpread},
    {"distance", &kDistance},
    {"field_size", &kFieldSize},
    {"field_level", &kFieldLevel},
    {"air", &kAir},
    {"envelopment", &kEnvelopment},
    {"recycle", &kRecycle},
    {"widen_scale", &kWidenScale},
    {"echo_side_gain", &kEchoSideGain},
    {"echo_mid_gain", &kEchoMidGain},
    {"steer_amount", &kSteerAmount},
    {"steer_depth", &kSteerDepth},
    {"stft_expand", &kStftExpand},
    {"alternate_tap_polarity", &kTapPolarity},
    {"output_device", &kOutputDevice},
    {"centre_width", &kCentreWidth},
    {"dimension", &kDimension},
    {"panorama", &kPanorama},
    {"surround_gain", &kSurroundGain},
    {"bass", &kBass},
    {"treble_shelf_db", &kTrebleDb},
    {"treble_shelf_hz", &kTrebleHz},
    {"wet_dry_ratio", &kWetDry},
    {"haas_delay_ms", &kHaasDelay},
    {"haas_channel", &kHaasChannel},
    {"quantum", &kQuantum},
}};

}  // namespace

const ParamAccessor* FindParam(const std::string& key) {
  for (const ParamRow& row : kTable) {
    if (key == row.key) return row.accessor;
  }
  return nullptr;
}

bool ApplyParam(ProcessorConfig& config, const std::string& key, const std::string& value,
                std::string& error) {
  const ParamAccessor* accessor = FindParam(key);
  if (accessor == nullptr) {
    error = "unknown key: " + key;
    return false;
  }
  return accessor->Apply(config, value, error);
}

bool ReadParamText(const ProcessorConfig& config, const std::string& key, std::string& out) {
  const ParamAccessor* accessor = FindParam(key);
  if (accessor == nullptr) return false;
  out = accessor->Text(config);
  return true;
}

bool ReadParamNumber(const ProcessorConfig& config, const std::string& key, float& out) {
  const ParamAccessor* accessor = FindParam(key);
  if (accessor == nullptr) return false;
  out = accessor->Number(config);
  return true;
}

std::size_t ParamKeyCount() { return kTable.size(); }

const char* ParamKeyAt(std::size_t index) {
  return index < kTable.size() ? kTable[index].key : "";
}

}  // namespace halvex
