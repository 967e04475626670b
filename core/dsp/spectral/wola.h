// Short-time Fourier analysis and weighted overlap-add resynthesis of a stereo stream.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/kit/engine_rate.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

inline constexpr size_t kFftSize = 1024;
inline constexpr size_t kFftBins = kFftSize / 2;  // bins 0..511 carry the information
inline constexpr size_t kWolaHop = 256;
inline constexpr size_t kWolaLatency = kFftSize;  // frames from input to output
inline constexpr float kBinHz = kEngineRateF / kFftSize;

// One stereo frame's spectrum; bin k and bin 1024 - k are complex conjugates.
struct StereoSpectrum {
  std::array<float, kFftSize> left_re{};
  std::array<float, kFftSize> left_im{};
  std::array<float, kFftSize> right_re{};
  std::array<float, kFftSize> right_im{};
};

// Changes a spectrum in place, or only observes it. Whoever changes bin k (1..511) writes the
// conjugate of the result into bin 1024 - k.
class SpectrumTransform {
 public:
  virtual ~SpectrumTransform() = default;
  virtual void Apply(StereoSpectrum& spectrum) = 0;
};

struct WolaEngine {
  std::array<float, kFftSize> input_left{};
  std::array<float, kFftSize> input_right{};
  std::array<float, 2 * kFftSize> output_left{};
  std::array<float, 2 * kFftSize> output_right{};
  size_t input_pos = 0;   // next write position in the input rings
  size_t output_pos = 0;  // next read position in the accumulators
  size_t hop_count = 0;   // frames since the last transform
  StereoSpectrum spectrum{};
  std::array<float, kFftSize> window{};  // square root of a periodic Hann window
  std::array<float, kFftSize / 2> twiddle_cos{};
  std::array<float, kFftSize / 2> twiddle_sin{};
  // The twiddles of each pass of span 16 to 1024 (twiddle j * 1024 / span for j below span / 2),
  // one pass after the other (8 + 16 + ... + 512 values), so every pass reads them contiguously.
  std::array<float, kFftSize - 8> pass_cos{};
  std::array<float, kFftSize - 8> pass_sin{};

  // Fills the window and the twiddle tables, then resets.
  void Configure();
  // Clears rings, accumulators, positions and the hop counter.
  void Reset();
  // One frame in, the frame of 1024 calls ago out; every 256th call transforms a full frame.
  // Inline, so the frames between transforms cost their callers no call.
  StereoSample Process(float left, float right, SpectrumTransform& transform) noexcept {
    input_left[input_pos] = left;
    input_right[input_pos] = right;
    input_pos = (input_pos + 1) & (kFftSize - 1);
    const StereoSample out{output_left[output_pos], output_right[output_pos]};
    output_left[output_pos] = 0.0f;
    output_right[output_pos] = 0.0f;
    output_pos = (output_pos + 1) & (2 * kFftSize - 1);
    if (hop_count == kWolaHop - 1) {
      hop_count = 0;
      TransformFrame(transform);
    } else {
      ++hop_count;
    }
    return out;
  }
  // `frames` frames at once, frame i's output to out[i]: exactly that many Process calls.
  void ProcessBlock(const StereoSample* in, StereoSample* out, size_t frames,
                    SpectrumTransform& transform) noexcept;
  // Input bookkeeping only: the transform observes every 256th call, nothing is resynthesised.
  void Analyse(float left, float right, SpectrumTransform& transform) noexcept;
  // Analyse over in[0..count) up to the first frame that completes a hop, that frame included;
  // returns how many frames it took. The transform can only have observed on the last of them.
  size_t AnalyseRun(const StereoSample* in, size_t count, SpectrumTransform& transform) noexcept;
  // In-place radix-2 transform of one channel; the inverse is scaled by 1/1024.
  void Fft(std::array<float, kFftSize>& re, std::array<float, kFftSize>& im,
           bool inverse) const noexcept;

 private:
  void AnalyseFrame(SpectrumTransform& transform) noexcept;
  // Analysis, the transform and overlap-add resynthesis of the frame that ends at input_pos.
  void TransformFrame(SpectrumTransform& transform) noexcept;
};

}  // namespace halvex
