#include "core/config/json_config.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/config/config_keys.h"
#include "core/config/config_names.h"
#include "core/config/config_validation.h"
#include "core/config/fail.h"
#include "core/config/safe_file.h"

namespace halvex {

namespace {

using nlohmann::json;

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

bool ReadString(const json& value, const ConfigKey& key, std::string& out, std::string& error) {
  if (!value.is_string()) return Fail(error, std::string(key.name) + " must be a string");
  out = value.get<std::string>();
  return true;
}

bool ReadChoice(const json& value, const ConfigKey& key, ProcessorConfig& c,
                std::string& error) {
  std::string text;
  if (!ReadString(value, key, text, error)) return false;
  const std::string name = key.name;
  switch (key.type) {
    case KeyType::kAlgorithm:
      return ParseSpatialAlgorithm(text, c.*MemberOf<SpatialAlgorithm>(key)) ||
             Fail(error, name + " must be " + SpatialAlgorithmNames());
    case KeyType::kTarget:
      return ParseRenderTarget(text, c.*MemberOf<RenderTarget>(key)) ||
             Fail(error, name + " must be " + RenderTargetNames());
    default:  // the channel
      if (text != "L" && text != "R") return Fail(error, name + " must be \"L\" or \"R\"");
      c.*MemberOf<int32_t>(key) = text == "L" ? 1 : 0;
      return true;
  }
}

bool ReadTaps(const json& value, const ConfigKey& key, std::array<float, 4>& taps,
              std::string& error) {
  if (!value.is_array() || value.size() != taps.size()) {
    return Fail(error, std::string(key.name) + " must be an array of 4 numbers");
  }
  std::array<float, 4> read{};
  for (std::size_t i = 0; i < read.size(); ++i) {
    const json& element = value[i];
    if (!element.is_number()) return Fail(error, std::string(key.name) + " must be numbers");
    read[i] = ToFloat(element.get<double>());
  }
  taps = read;
  return true;
}

bool ReadInt(const json& value, const ConfigKey& key, int32_t& out, std::string& error) {
  double number = 0.0;
  if (!NumberOrBool(value, number)) return Fail(error, std::string(key.name) + " must be a number");
  // Cutting toward zero is only defined when the result fits.
  if (!(number > -2147483649.0 && number < 2147483648.0)) {
    return Fail(error, std::string(key.name) + " is out of the 32-bit integer range");
  }
  out = static_cast<int32_t>(number);
  return true;
}

bool ReadFloat(const json& value, const ConfigKey& key, float& out, std::string& error) {
  double number = 0.0;
  if (!NumberOrBool(value, number)) return Fail(error, std::string(key.name) + " must be a number");
  out = ToFloat(number);
  return true;
}

bool ReadBool(const json& value, const ConfigKey& key, bool& out, std::string& error) {
  if (!value.is_boolean()) return Fail(error, std::string(key.name) + " must be true or false");
  out = value.get<bool>();
  return true;
}

bool ReadBandMember(const json& band, const std::string& key, const char* member, float& out,
                    std::string& error) {
  const auto it = band.find(member);
  if (it == band.end()) {
    out = 0.0f;
    return true;
  }
  if (!it->is_number()) return Fail(error, key + " " + member + " must be a number");
  out = ToFloat(it->get<double>());
  return true;
}

// Not an array, or an empty one, keeps the default table.
bool ReadBands(const json& value, const ConfigKey& key, std::vector<BandParam>& out,
               std::string& error) {
  if (!value.is_array() || value.empty()) return true;
  const std::string name = key.name;
  std::vector<BandParam> bands;
  bands.reserve(value.size());
  for (const json& element : value) {
    if (!element.is_object()) return Fail(error, name + " must be an array of objects");
    BandParam band;
    if (!ReadBandMember(element, name, "freq_hz", band.freq_hz, error) ||
        !ReadBandMember(element, name, "l_base_ms", band.l_base_ms, error) ||
        !ReadBandMember(element, name, "r_base_ms", band.r_base_ms, error)) {
      return false;
    }
    // Validation has no rule for the frequency, and an infinite one could not
    // be written back as JSON.
    if (!std::isfinite(band.freq_hz)) return Fail(error, name + " freq_hz is out of range");
    bands.push_back(band);
  }
  out = std::move(bands);
  return true;
}

// The device name is taken as it stands: here "auto" is a device called auto.
bool ReadKey(const json& value, const ConfigKey& key, ProcessorConfig& c, std::string& error) {
  switch (key.type) {
    case KeyType::kFloat:
      return ReadFloat(value, key, c.*MemberOf<float>(key), error);
    case KeyType::kInteger:
    case KeyType::kFrames:
      return ReadInt(value, key, c.*MemberOf<int32_t>(key), error);
    case KeyType::kFlag:
      return ReadBool(value, key, c.*MemberOf<bool>(key), error);
    case KeyType::kAlgorithm:
    case KeyType::kTarget:
    case KeyType::kChannel:
      return ReadChoice(value, key, c, error);
    case KeyType::kDevice:
      return ReadString(value, key, c.*MemberOf<std::string>(key), error);
    case KeyType::kTaps:
      return ReadTaps(value, key, c.*MemberOf<std::array<float, 4>>(key), error);
    case KeyType::kBands:
      return ReadBands(value, key, c.*MemberOf<std::vector<BandParam>>(key), error);
  }
  return true;
}

bool ReadRecord(const json& root, ProcessorConfig& c, std::string& error) {
  if (!root.is_object()) return Fail(error, "config root must be a JSON object");
  static const std::vector<const ConfigKey*> order = KeysInReadOrder();
  for (const ConfigKey* key : order) {
    const auto it = root.find(key->name);
    if (it != root.end() && !ReadKey(*it, *key, c, error)) return false;
  }
  return true;
}

// Six decimals keep the file readable: 0.1f is written as 0.1.
double Rounded(float value) { return std::round(static_cast<double>(value) * 1e6) / 1e6; }

json TapsJson(const std::array<float, 4>& taps) {
  json array = json::array();
  for (float tap : taps) array.push_back(Rounded(tap));
  return array;
}

// Null for a key that is left out: an empty band list reads back as the defaults.
json KeyJson(const ProcessorConfig& c, const ConfigKey& key) {
  switch (key.type) {
    case KeyType::kFloat:
      return Rounded(c.*MemberOf<float>(key));
    case KeyType::kInteger:
    case KeyType::kFrames:
      return c.*MemberOf<int32_t>(key);
    case KeyType::kFlag:
      return c.*MemberOf<bool>(key);
    case KeyType::kAlgorithm:
      return SpatialAlgorithmName(c.*MemberOf<SpatialAlgorithm>(key));
    case KeyType::kTarget:
      return RenderTargetName(c.*MemberOf<RenderTarget>(key));
    case KeyType::kChannel:
      return c.*MemberOf<int32_t>(key) == 1 ? "L" : "R";
    case KeyType::kDevice:
      return c.*MemberOf<std::string>(key);
    case KeyType::kTaps:
      return TapsJson(c.*MemberOf<std::array<float, 4>>(key));
    case KeyType::kBands: {
      const std::vector<BandParam>& rows = c.*MemberOf<std::vector<BandParam>>(key);
      if (rows.empty()) return nullptr;
      json bands = json::array();
      for (const BandParam& band : rows) {
        // Sorted keys put the members in the order freq_hz, l_base_ms, r_base_ms.
        bands.push_back({{"freq_hz", Rounded(band.freq_hz)},
                         {"l_base_ms", Rounded(band.l_base_ms)},
                         {"r_base_ms", Rounded(band.r_base_ms)}});
      }
      return bands;
    }
  }
  return nullptr;
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
  for (const ConfigKey& key : ConfigKeys()) {
    if (json value = KeyJson(c, key); !value.is_null()) root[key.name] = std::move(value);
  }
  // A valid record is pure ASCII; replacing bad UTF-8 only keeps an invalid
  // one from throwing.
  return root.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace halvex
