// Test signals shared by the suites and the benchmarks: repeatable noise from the engine's own
// linear congruential step, so every run and every build sees the same input.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvex::test {

inline uint32_t LcgStep(uint32_t s) { return s * 1664525u + 1013904223u; }

// Uniform in [-1, 1) from the top 24 bits of the state, exact in a float.
inline float UniformFrom(uint32_t s) { return static_cast<float>(s >> 8) / 8388608.0f - 1.0f; }
// Full scale: the whole state read as a signed fraction of 2^31, in [-1, 1).
inline float FullScaleFrom(uint32_t s) {
  return static_cast<float>(static_cast<int32_t>(s)) / 2147483648.0f;
}

// A generator of UniformFrom values; `Noise{seed}` or a default seed per suite.
template <uint32_t kSeed = 1>
struct UniformNoise {
  uint32_t state = kSeed;
  float operator()() {
    state = LcgStep(state);
    return UniformFrom(state);
  }
};

// `samples` values of amplitude * UniformFrom, one step per value.
inline std::vector<float> UniformNoiseSamples(size_t samples, float amplitude, uint32_t seed) {
  std::vector<float> out(samples);
  for (float& v : out) {
    seed = LcgStep(seed);
    v = amplitude * UniformFrom(seed);
  }
  return out;
}

// `samples` values of amplitude * FullScaleFrom, one step per value.
inline std::vector<float> FullScaleNoiseSamples(size_t samples, uint32_t seed,
                                                float amplitude = 1.0f) {
  std::vector<float> out(samples);
  for (float& v : out) {
    seed = LcgStep(seed);
    v = amplitude * FullScaleFrom(seed);
  }
  return out;
}

// `frames` interleaved stereo frames of UniformNoiseSamples.
inline std::vector<float> StereoNoise(size_t frames, float amplitude, uint32_t seed) {
  return UniformNoiseSamples(2 * frames, amplitude, seed);
}

// A tone per channel with shared noise (added left, subtracted right) at 48000 Hz, so a
// recording can be lined up with it by cross-correlation.
struct TwoTones {
  float left_hz, left_amp, right_hz, right_amp;
  uint32_t seed;
};

// `frames` interleaved stereo frames, silent outside [begin, end).
inline std::vector<float> TwoTonesWithNoise(const TwoTones& tones, size_t frames, size_t begin,
                                            size_t end) {
  std::vector<float> out(2 * frames, 0.0f);
  uint32_t seed = tones.seed;
  for (size_t i = begin; i < end && i < frames; ++i) {
    seed = LcgStep(seed);
    const float noise = 0.5f * UniformFrom(seed);
    const float t = static_cast<float>(i) / 48000.0f;
    out[2 * i] = tones.left_amp * std::sin(6.2831853f * tones.left_hz * t) + 0.1f * noise;
    out[2 * i + 1] = tones.right_amp * std::sin(6.2831853f * tones.right_hz * t) - 0.1f * noise;
  }
  return out;
}

}  // namespace halvex::test
