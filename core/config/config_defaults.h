// The engine's configuration record and its factory defaults.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace halvex {

// The Haas zone: a copy of a sound that arrives at most this long after it fuses with it into
// one, wider sound; a later one is heard as an echo. Bounds the output delay, the echo taps and
// the field's reflections.
inline constexpr float kHaasLimitMs = 25.0f;

// Selects the spatial stage; values outside the table build the echo widener.
enum class SpatialAlgorithm : int32_t {
  kEchoWidener = 0,
  kExperimental = 1,
  kDeepField = 2,
  kMatrixSurround = 3,
  kMatrixSteer = 4,
};

// Whether the result is heard over loudspeakers or headphones.
enum class RenderTarget : int32_t {
  kSpeakers = 0,
  kHeadphones = 1,
};

// One row of the echo widener's band table.
struct BandParam {
  float freq_hz = 0.0f;
  float l_base_ms = 0.0f;
  float r_base_ms = 0.0f;

  friend bool operator==(const BandParam&, const BandParam&) = default;
};

// Every tunable of the engine and of the daemon's output choice. Names, ranges and file forms of
// the fields are in the key table (config_keys).
struct ProcessorConfig {
  SpatialAlgorithm spatial_algorithm = SpatialAlgorithm::kDeepField;
  RenderTarget render_target = RenderTarget::kHeadphones;
  // Read by nothing: the engine runs at a fixed 48000 Hz. These three and hot_reload stay
  // because stored files carry them; they are loaded, validated and saved unchanged.
  int32_t sample_rate_hz = 48000;
  int32_t bit_depth = 24;
  int32_t buffer_size_frames = 2048;
  float wet_dry_ratio = 1.0f;
  float widen_scale = 1.0f;
  float echo_side_gain = 3.0f;
  float echo_mid_gain = 0.0f;
  float haas_delay_ms = 0.0f;
  int32_t haas_channel = 1;  // 1 = left, anything else = right
  float steer_amount = 0.5f;
  float steer_depth = 0.3f;
  float stft_expand = 0.4f;
  float ambience_spread = 1.0f;
  float ambience_depth = 1.0f;
  float direct_spread = 0.0f;
  float distance = 8.0f;
  float field_size = 12.0f;
  float field_level = -26.1f;
  float air = 0.22f;
  float envelopment = 1.0f;
  float recycle = 0.0f;
  float centre_width = 0.3f;
  float dimension = 0.0f;
  float panorama = 0.0f;
  float surround_gain = 1.0f;
  float bass = 1.0f;
  float treble_shelf_hz = 6766.0f;
  float treble_shelf_db = 6.0f;
  std::array<float, 4> tap_multipliers{1.0f, 1.7f, 2.9f, 4.7f};
  std::array<float, 4> tap_volumes{0.5f, 0.25f, 0.125f, 0.0625f};
  bool alternate_tap_polarity = true;
  std::string output_device;
  bool hot_reload = true;  // read by nothing; kept for stored files, as sample_rate_hz above
  bool enabled = false;
  // Frames per cycle the DSP node asks its graph for while it runs; 0: the graph chooses.
  int32_t quantum = 2048;
  std::vector<BandParam> bands;

  // Field by field; a NaN field makes a record unequal to itself.
  friend bool operator==(const ProcessorConfig&, const ProcessorConfig&) = default;
};

// The factory configuration, including the 15-row default band table.
ProcessorConfig DefaultConfig();

}  // namespace halvex
