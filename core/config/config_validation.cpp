#include "core/config/config_validation.h"

#include <cmath>
#include <cstdint>

#include "core/config/config_keys.h"
#include "core/config/fail.h"
#include "core/config/number_format.h"

namespace halvex {

namespace {

// Written so that NaN compares false and therefore fails.
bool InRange(float value, float lo, float hi) { return value >= lo && value <= hi; }

bool IsPowerOfTwo(int32_t value) {
  return value >= 1 && (static_cast<uint32_t>(value) & (static_cast<uint32_t>(value) - 1)) == 0;
}

bool IsDeviceNameByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-' || c == ':';
}

// Multipliers must rise strictly from 0 up to at most `hi`.
bool TapsRise(const std::array<float, 4>& taps, float hi) {
  float previous = 0.0f;
  for (float tap : taps) {
    if (!(tap > previous && tap <= hi)) return false;
    previous = tap;
  }
  return true;
}

// Row by row: a row's delay range is reported before its longest tap.
bool BandsValid(const ConfigKey& key, const ProcessorConfig& c, std::string& error) {
  const float longest_multiplier = c.tap_multipliers[3];
  for (const BandParam& band : c.bands) {
    if (!InRange(band.l_base_ms, key.lo, key.hi) || !InRange(band.r_base_ms, key.lo, key.hi)) {
      return Fail(error, "a band base delay is out of [" + FormatNumber(key.lo) + "," +
                             FormatNumber(key.hi) + "] ms");
    }
    if (band.l_base_ms * longest_multiplier > kHaasLimitMs ||
        band.r_base_ms * longest_multiplier > kHaasLimitMs) {
      return Fail(error, "a band's longest tap exceeds the 25 ms Haas zone");
    }
  }
  // Band edges are geometric means of neighbouring frequencies: a zero, negative or non-finite
  // frequency would turn every edge, and with it the whole output, into NaN.
  for (const BandParam& band : c.bands) {
    if (!(band.freq_hz > 0.0f) || !std::isfinite(band.freq_hz)) {
      return Fail(error, "a band frequency must be a positive number");
    }
  }
  return true;
}

bool KeyValid(const ConfigKey& key, const ProcessorConfig& c, std::string& error) {
  switch (key.rule) {
    case KeyRule::kNone:
      return true;
    case KeyRule::kRange:
      return InRange(c.*MemberOf<float>(key), key.lo, key.hi) ||
             Fail(error, RangeMessage(key));
    case KeyRule::kPowerOfTwo:
      return IsPowerOfTwo(c.*MemberOf<int32_t>(key)) ||
             Fail(error, std::string(key.name) + " is not a power of two");
    case KeyRule::kQuantum: {
      const int32_t frames = c.*MemberOf<int32_t>(key);
      return IsValidQuantum(frames) || Fail(error, QuantumError(std::to_string(frames)));
    }
    case KeyRule::kSafeName:
      return IsSafeDeviceName(c.*MemberOf<std::string>(key), error);
    case KeyRule::kRisingTaps:
      return TapsRise(c.*MemberOf<std::array<float, 4>>(key), key.hi) ||
             Fail(error, std::string(key.name) + " must be strictly increasing in (0," +
                             FormatNumber(key.hi) + "]");
    case KeyRule::kEachInRange:
      for (float value : c.*MemberOf<std::array<float, 4>>(key)) {
        if (!InRange(value, key.lo, key.hi)) {
          return Fail(error, "a tap volume is out of [" + FormatNumber(key.lo) + "," +
                                 FormatNumber(key.hi) + "]");
        }
      }
      return true;
    case KeyRule::kBands:
      return BandsValid(key, c, error);
  }
  return true;
}

}  // namespace

bool IsSafeDeviceName(const std::string& name, std::string& error) {
  const std::string key = KeyOfType(KeyType::kDevice).name;
  if (name.size() > kMaxDeviceNameLength) return Fail(error, key + " is too long");
  for (char c : name) {
    if (!IsDeviceNameByte(static_cast<unsigned char>(c))) {
      return Fail(error, key + " may only contain letters, digits, '.', '_', '-' and ':'");
    }
  }
  return true;
}

bool IsValidQuantum(int64_t frames) {
  // Below 64 frames a cycle costs more in overhead than it saves; above 8192 the graph refuses.
  return frames == 0 || (frames >= 64 && frames <= 8192 && (frames & (frames - 1)) == 0);
}

std::string QuantumError(const std::string& text) {
  return std::string(KeyOfType(KeyType::kFrames).name) +
         " must be 0 or a power of two from 64 to 8192: " + text;
}

bool ValidateConfig(const ProcessorConfig& c, std::string& error) {
  static const std::vector<const ConfigKey*> rules = KeysInCheckOrder();
  for (const ConfigKey* key : rules) {
    if (!KeyValid(*key, c, error)) return false;
  }
  return true;
}

}  // namespace halvex
