#include "core/config/config_validation.h"

#include <cmath>
#include <cstdint>

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

bool Fail(std::string& error, const char* message) {
  error = message;
  return false;
}

// Multipliers must rise strictly from 0 up to at most 10.
bool TapMultipliersValid(const std::array<float, 4>& taps) {
  float previous = 0.0f;
  for (float tap : taps) {
    if (!(tap > previous && tap <= 10.0f)) return false;
    previous = tap;
  }
  return true;
}

}  // namespace

bool IsSafeDeviceName(const std::string& name, std::string& error) {
  if (name.size() > kMaxDeviceNameLength) return Fail(error, "output_device is too long");
  for (char c : name) {
    if (!IsDeviceNameByte(static_cast<unsigned char>(c))) {
      return Fail(error,
                  "output_device may only contain letters, digits, '.', '_', '-' and ':'");
    }
  }
  return true;
}

bool IsValidQuantum(int64_t frames) {
  // Below 64 frames a cycle costs more in overhead than it saves; above 8192 the graph refuses.
  return frames == 0 || (frames >= 64 && frames <= 8192 && (frames & (frames - 1)) == 0);
}

std::string QuantumError(const std::string& text) {
  return "quantum must be 0 or a power of two from 64 to 8192: " + text;
}

bool ValidateConfig(const ProcessorConfig& c, std::string& error) {
  if (!IsPowerOfTwo(c.buffer_size_frames)) {
    return Fail(error, "buffer_size_frames is not a power of two");
  }
  if (!IsValidQuantum(c.quantum)) return Fail(error, QuantumError(std::to_string(c.quantum)).c_str());

  struct RangeRule {
    float value;
    float lo;
    float hi;
    const char* message;
  };
  // The checks before the device name, in the order they are reported.
  const RangeRule before_device[] = {
      {c.wet_dry_ratio, 0.0f, 1.0f, "wet_dry_ratio out of [0,1]"},
      {c.widen_scale, 0.0f, 1.0f, "widen_scale out of [0,1]"},
      {c.haas_delay_ms, 0.0f, kHaasLimitMs, "haas_delay_ms out of [0,25] ms"},
      {c.steer_amount, 0.0f, 1.0f, "steer_amount out of [0,1]"},
      {c.steer_depth, 0.0f, 1.0f, "steer_depth out of [0,1]"},
      {c.stft_expand, 0.0f, 1.0f, "stft_expand out of [0,1]"},
      {c.ambience_spread, 0.0f, 1.0f, "ambience_spread out of [0,1]"},
      {c.direct_spread, 0.0f, 1.0f, "direct_spread out of [0,1]"},
      {c.ambience_depth, 0.25f, 4.0f, "ambience_depth out of [0.25,4]"},
      {c.distance, 1.0f, 8.0f, "distance out of [1,8]"},
      {c.field_size, 0.5f, 12.0f, "field_size out of [0.5,12] s"},
      {c.field_level, -40.0f, 0.0f, "field_level out of [-40,0] dB"},
      {c.air, 0.0f, 1.0f, "air out of [0,1]"},
      {c.envelopment, 0.0f, 1.0f, "envelopment out of [0,1]"},
      {c.recycle, 0.0f, 1.0f, "recycle out of [0,1]"},
  };
  for (const RangeRule& rule : before_device) {
    if (!InRange(rule.value, rule.lo, rule.hi)) return Fail(error, rule.message);
  }

  if (!IsSafeDeviceName(c.output_device, error)) return false;

  const RangeRule after_device[] = {
      {c.centre_width, 0.0f, 1.0f, "centre_width/panorama out of [0,1]"},
      {c.panorama, 0.0f, 1.0f, "centre_width/panorama out of [0,1]"},
      {c.dimension, -1.0f, 1.0f, "dimension out of [-1,1]"},
      {c.surround_gain, 0.25f, 2.0f, "surround_gain out of [0.25,2]"},
      {c.bass, 0.3f, 1.0f, "bass out of [0.3,1]"},
      {c.treble_shelf_db, -6.0f, 6.0f, "treble_shelf_db out of [-6,6]"},
      {c.treble_shelf_hz, 2000.0f, 16000.0f, "treble_shelf_hz out of [2000,16000]"},
      {c.echo_side_gain, -4.0f, 4.0f, "echo_side_gain out of [-4,4]"},
      {c.echo_mid_gain, 0.0f, 1.0f, "echo_mid_gain out of [0,1]"},
  };
  for (const RangeRule& rule : after_device) {
    if (!InRange(rule.value, rule.lo, rule.hi)) return Fail(error, rule.message);
  }

  if (!TapMultipliersValid(c.tap_multipliers)) {
    return Fail(error, "tap_multipliers must be strictly increasing in (0,10]");
  }
  for (float volume : c.tap_volumes) {
    if (!InRange(volume, 0.0f, 1.0f)) return Fail(error, "a tap volume is out of [0,1]");
  }

  // Row by row: a row's delay range is reported before its longest tap.
  const float longest_multiplier = c.tap_multipliers[3];
  for (const BandParam& band : c.bands) {
    if (!InRange(band.l_base_ms, 0.0f, 15.0f) || !InRange(band.r_base_ms, 0.0f, 15.0f)) {
      return Fail(error, "a band base delay is out of [0,15] ms");
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

}  // namespace halvex
