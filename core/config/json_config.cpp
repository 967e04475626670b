#include "core/config/json_config.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/config/config_names.h"
#include "core/config/config_validation.h"
#include "core/config/safe_file.h"

namespace halvex {

namespace {

using nlohmann::json;

struct FloatKey {
  const char* key;
  float ProcessorConfig::*field;
};

// Read in this order after the integers; written under the same names.
constexpr FloatKey kFloatKeysBeforeDevice[] = {
    {"wet_dry_ratio", &ProcessorConfig::wet_dry_ratio},
    {"widen_scale", &ProcessorConfig::widen_scale},
    {"echo_side_gain", &ProcessorConfig::echo_side_gain},
    {"echo_mid_gain", &ProcessorConfig::echo_mid_gain},
    {"haas_delay_ms", &ProcessorConfig::haas_delay_ms},
    {"steer_amount", &ProcessorConfig::steer_amount},
    {"steer_depth", &ProcessorConfig::steer_depth},
    {"stft_expand", &ProcessorConfig::stft_expand},
    {"ambience_spread", &ProcessorConfig::ambience_spread},
    {"ambience_depth", &ProcessorConfig::ambience_depth},
    {"direct_spread", &ProcessorConfig::direct_spread},
    {"distance", &ProcessorConfig::distance},
    {"field_size", &ProcessorConfig::field_size},
    {"field_level", &ProcessorConfig::field_level},
    {"air", &ProcessorConfig::air},
    {"envelopment", &ProcessorConfig::envelopment},
    {"recycle", &ProcessorConfig::recycle},
};

constexpr FloatKey kFloatKeysAfterDevice[] = {
    {"centre_width", &ProcessorConfig::centre_width},
    {"dimension", &ProcessorConfig::dimension},
    {"panorama", &ProcessorConfig::panorama},
    {"surround_gain", &ProcessorConfig::surround_gain},
    {"bass", &ProcessorConfig::bass},
    {"treble_shelf_hz", &ProcessorConfig::treble_shelf_hz},
    {"treble_shelf_db", &ProcessorConfig::treble_shelf_db},
};

struct IntKey {
  const char* key;
  int32_t ProcessorConfig::*field;
};

constexpr IntKey kIntKeys[] = {
    {"sample_rate_hz", &ProcessorConfig::sample_rate_hz},
    {"bit_depth", &ProcessorConfig::bit_depth},
    {"buffer_size_frames", &ProcessorConfig::buffer_size_frames},
    {"quantum", &ProcessorConfig::quantum},
};

struct BoolKey {
  const char* key;
  bool ProcessorConfig::*field;
};

constexpr BoolKey kBoolKeys[] = {
    {"alternate_tap_polarity", &ProcessorConfig::alternate_tap_polarity},
    {"hot_reload", &ProcessorConfig::hot_reload},
    {"enabled", &ProcessorConfig::enabled},
};

bool Fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

// Brackets are counted over the raw bytes, strings included, so that the
// recursive parser never sees a deeper text than we allow.
bool NestingWithinLimit(const std::string& text) {
  int depth = 0;
  int deepest = 0;
  for (char c : text) {
    if (c == '[' || c == '{') {
      ++depth;
      if (depth > deepest) deepest = depth;
      if (deepest > kMaxConfigNesting) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

// A finite double beyond float range has no defined conversion; map it to
// the infinity it would round to, which validation then rejects.
float ToFloat(double value) {
  if (value > static_cast<double>(FLT_MAX)) return std::numeric_limits<float>::infinity();
  if (value < -static_cast<double>(FLT_MAX)) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

// Numeric keys also take a boolean as 1 or 0.
bool NumberOrBool(const json& value, double& out) {
  if (value.is_boolean()) {
    out = value.get<bool>() ? 1.0 : 0.0;
    return true;
  }
  if (value.is_number()) {
    out = value.get<double>();
    return true;
  }
  return false;
}

bool ReadHaasChannel(const json& root, ProcessorConfig& c, std::string& error) {
  const auto it = root.find("haas_channel");
  if (it == root.end()) return true;
  if (!it->is_string()) return Fail(error, "haas_channel must be a string");
  const std::string& text = it->get_ref<const std::string&>();
  if (text == "L") {
    c.haas_channel = 1;
  } else if (text == "R") {
    c.haas_channel = 0;
  } else {
    return Fail(error, "haas_channel must be \"L\" or \"R\"");
  }
  return true;
}

bool ReadAlgorithm(const json& root, ProcessorConfig& c, std::string& error) {
  const auto it = root.find("spatial_algorithm");
  if (it == root.end()) return true;
  if (!it->is_string()) return Fail(error, "spatial_algorithm must be a string");
  if (!ParseSpatialAlgorithm(it->get_ref<const std::string&>(), c.spatial_algorithm)) {
    return Fail(error, std::string("spatial_algorithm must be ") + SpatialAlgorithmNames());
  }
  return true;
}

bool ReadTarget(const json& root, ProcessorConfig& c, std::string& error) {
  const auto it = root.find("render_target");
  if (it == root.end()) return true;
  if (!it->is_string()) return Fail(error, "render_target must be a string");
  if (!ParseRenderTarget(it->get_ref<const std::string&>(), c.render_target)) {
    return Fail(error, std::string("render_target must be ") + RenderTargetNames());
  }
  return true;
}

bool ReadTaps(const json& root, const char* key, std::array<float, 4>& taps,
              std::string& error) {
  const auto it = root.find(key);
  if (it == root.end()) return true;
  if (!it->is_array() || it->size() != taps.size()) {
    return Fail(error, std::string(key) + " must be an array of 4 numbers");
  }
  std::array<float, 4> read{};
  for (std::size_t i = 0; i < read.size(); ++i) {
    const json& element = (*it)[i];
    if (!element.is_number()) return Fail(error, std::string(key) + " must be numbers");
    read[i] = ToFloat(element.get<double>());
  }
  taps = read;
  return true;
}

bool ReadInt(const json& root, const IntKey& key, ProcessorConfig& c, std::string& error) {
  const auto it = root.find(key.key);
  if (it == root.end()) return true;
  double value = 0.0;
  if (!NumberOrBool(*it, value)) return Fail(error, std::string(key.key) + " must be a number");
  // Cutting toward zero is only defined when the result fits.
  if (!(value > -2147483649.0 && value < 2147483648.0)) {
    return Fail(error, std::string(key.key) + " is out of the 32-bit integer range");
  }
  c.*key.field = static_cast<int32_t>(value);
  return true;
}

bool ReadFloat(const json& root, const FloatKey& key, ProcessorConfig& c, std::string& error) {
  const auto it = root.find(key.key);
  if (it == root.end()) return true;
  double value = 0.0;
  if (!NumberOrBool(*it, value)) return Fail(error, std::string(key.key) + " must be a number");
  c.*key.field = ToFloat(value);
  return true;
}

bool ReadBool(const json& root, const BoolKey& key, ProcessorConfig& c, std::string& error) {
  const auto it = root.find(key.key);
  if (it == root.end()) return true;
  if (!it->is_boolean()) return Fail(error, std::string(key.key) + " must be true or false");
  c.*key.field = it->get<bool>();
  return true;
}

// The name is taken as it stands: here "auto" is a device called auto.
bool ReadDevice(const json& root, ProcessorConfig& c, std::string& error) {
  const auto it = root.find("output_device");
  if (it == root.end()) return true;
  if (!it->is_string()) return Fail(error, "output_device must be a string");
  c.output_device = it->get<std::string>();
  return true;
}

bool ReadBandMember(const json& band, const char* member, float& out, std::string& error) {
  const auto it = band.find(member);
  if (it == band.end()) {
    out = 0.0f;
    return true;
  }
  if (!it->is_number()) return Fail(error, std::string("bands ") + member + " must be a number");
  out = ToFloat(it->get<double>());
  return true;
}

// Not an array, or an empty one, keeps the default table.
bool ReadBands(const json& root, ProcessorConfig& c, std::string& error) {
  const auto it = root.find("bands");
  if (it == root.end() || !it->is_array() || it->empty()) return true;
  std::vector<BandParam> bands;
  bands.reserve(it->size());
  for (const json& element : *it) {
    if (!element.is_object()) return Fail(error, "bands must be an array of objects");
    BandParam band;
    if (!ReadBandMember(element, "freq_hz", band.freq_hz, error) ||
        !ReadBandMember(element, "l_base_ms", band.l_base_ms, error) ||
        !ReadBandMember(element, "r_base_ms", band.r_base_ms, error)) {
      return false;
    }
    // Validation has no rule for the frequency, and an infinite one could not
    // be written back as JSON.
    if (!std::isfinite(band.freq_hz)) return Fail(error, "bands freq_hz is out of range");
    bands.push_back(band);
  }
  c.bands = std::move(bands);
  return true;
}

bool ReadRecord(const json& root, ProcessorConfig& c, std::string& error) {
  if (!root.is_object()) return Fail(error, "config root must be a JSON object");
  if (!ReadHaasChannel(root, c, error) || !ReadAlgorithm(root, c, error) ||
      !ReadTarget(root, c, error)) {
    return false;
  }
  if (!ReadTaps(root, "tap_multipliers", c.tap_multipliers, error) ||
      !ReadTaps(root, "tap_volumes", c.tap_volumes, error)) {
    return false;
  }
  for (const IntKey& key : kIntKeys) {
    if (!ReadInt(root, key, c, error)) return false;
  }
  for (const FloatKey& key : kFloatKeysBeforeDevice) {
    if (!ReadFloat(root, key, c, error)) return false;
  }
  if (!ReadDevice(root, c, error)) return false;
  for (const FloatKey& key : kFloatKeysAfterDevice) {
    if (!ReadFloat(root, key, c, error)) return false;
  }
  for (const BoolKey& key : kBoolKeys) {
    if (!ReadBool(root, key, c, error)) return false;
  }
  return ReadBands(root, c, error);
}

// Six decimals keep the file readable: 0.1f is written as 0.1.
double Rounded(float value) { return std::round(static_cast<double>(value) * 1e6) / 1e6; }

json TapsJson(const std::array<float, 4>& taps) {
  json array = json::array();
  for (float tap : taps) array.push_back(Rounded(tap));
  return array;
}

}  // namespace

JsonConfigProvider::JsonConfigProvider(std::string path)
    : path_(std::move(path)), last_good_(DefaultConfig()) {}

bool JsonConfigProvider::Load(ProcessorConfig& config) {
  std::string text;
  const SmallFileRead read = ReadSmallFileChecked(path_, kMaxConfigBytes, text);
  if (read != SmallFileRead::kOk) {
    last_error_ = read == SmallFileRead::kNotRegular ? "not a regular file: " + path_
                                                      : "cannot open or oversized config file: " + path_;
    config = last_good_;
    return false;
  }

  ProcessorConfig parsed;
  if (!ParseConfigJson(text, parsed, last_error_)) {
    config = last_good_;
    return false;
  }
  last_error_.clear();
  last_good_ = parsed;
  config = std::move(parsed);
  return true;
}

bool JsonConfigProvider::Save(const ProcessorConfig& config, std::string& error) {
  std::string invalid;
  if (!ValidateConfig(config, invalid)) {
    return Fail(error, "refusing to save an invalid config: " + invalid);
  }
  // Validation leaves band frequencies alone, but a non-finite one would be
  // written as null and make the file unreadable.
  for (const BandParam& band : config.bands) {
    if (!std::isfinite(band.freq_hz)) {
      return Fail(error, "refusing to save an invalid config: a band frequency is not finite");
    }
  }

  const std::string text = ConfigToJson(config);
  // Six-decimal rounding can merge two close tap multipliers or push a band
  // just past the Haas zone; never write a file that would not load again.
  ProcessorConfig reread;
  std::string reread_error;
  if (!ParseConfigJson(text, reread, reread_error)) {
    return Fail(error, "refusing to save an invalid config: " + reread_error);
  }

  if (!ReplaceFileAtomically(path_, text, error)) return false;
  last_good_ = config;
  return true;
}

bool ParseConfigJson(const std::string& text, ProcessorConfig& config, std::string& error) {
  if (text.size() > kMaxConfigBytes) return Fail(error, "config exceeds size limit");
  if (!NestingWithinLimit(text)) return Fail(error, "config nesting too deep");

  json root;
  try {
    root = json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const json::exception& e) {
    return Fail(error, std::string("json parse error: ") + e.what());
  }

  ProcessorConfig parsed = DefaultConfig();
  std::string message;
  if (!ReadRecord(root, parsed, message) || !ValidateConfig(parsed, message)) {
    return Fail(error, std::move(message));
  }
  config = std::move(parsed);
  return true;
}

std::string ConfigToJson(const ProcessorConfig& c) {
  json root = json::object();
  root["spatial_algorithm"] = SpatialAlgorithmName(c.spatial_algorithm);
  root["render_target"] = RenderTargetName(c.render_target);
  root["haas_channel"] = c.haas_channel == 1 ? "L" : "R";
  for (const IntKey& key : kIntKeys) root[key.key] = c.*key.field;
  for (const FloatKey& key : kFloatKeysBeforeDevice) root[key.key] = Rounded(c.*key.field);
  for (const FloatKey& key : kFloatKeysAfterDevice) root[key.key] = Rounded(c.*key.field);
  root["output_device"] = c.output_device;
  for (const BoolKey& key : kBoolKeys) root[key.key] = c.*key.field;
  root["tap_multipliers"] = TapsJson(c.tap_multipliers);
  root["tap_volumes"] = TapsJson(c.tap_volumes);
  if (!c.bands.empty()) {
    json bands = json::array();
    for (const BandParam& band : c.bands) {
      // Sorted keys put the members in the order freq_hz, l_base_ms, r_base_ms.
      bands.push_back({{"freq_hz", Rounded(band.freq_hz)},
                       {"l_base_ms", Rounded(band.l_base_ms)},
                       {"r_base_ms", Rounded(band.r_base_ms)}});
    }
    root["bands"] = std::move(bands);
  }
  // A valid record is pure ASCII; replacing bad UTF-8 only keeps an invalid
  // one from throwing.
  return root.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace halvex
