#include "vis/analysis.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace halvex::vis {

namespace {

constexpr int kDefaultRate = 48000;
constexpr size_t kLog2Fft = 10;
// A full-scale sine under the Hann window peaks at N/4 = 256; this brings it to 0.5.
constexpr float kSpectrumScale = 1.0f / 512.0f;
constexpr float kAverageRate = 0.01f;  // long-term band average, per frame
constexpr float kAttRate = 0.03f;      // smoothed levels, per frame
constexpr float kBeatAverageRate = 0.02f;
constexpr float kBeatRatio = 1.35f;
constexpr int kBeatHoldFrames = 8;
constexpr float kBassTopHz = 300.0f;
constexpr float kMidTopHz = 2300.0f;
constexpr float kTrebTopHz = 22050.0f;

struct Tables {
  float window[Analyzer::kFftSize];
  float cos_twiddle[Analyzer::kFftSize / 2];  // e^(-2 pi i j / N) = cos - i sin
  float sin_twiddle[Analyzer::kFftSize / 2];
  uint16_t reversed[Analyzer::kFftSize];
};

const Tables& FftTables() {
  static const Tables tables = [] {
    Tables t{};
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    constexpr size_t n = Analyzer::kFftSize;
    for (size_t i = 0; i < n; ++i) {
      t.window[i] = static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * i / n));
      size_t r = 0;
      for (size_t b = 0; b < kLog2Fft; ++b) r |= ((i >> b) & 1u) << (kLog2Fft - 1 - b);
      t.reversed[i] = static_cast<uint16_t>(r);
    }
    for (size_t j = 0; j < n / 2; ++j) {
      t.cos_twiddle[j] = static_cast<float>(std::cos(kTwoPi * j / n));
      t.sin_twiddle[j] = static_cast<float>(std::sin(kTwoPi * j / n));
    }
    return t;
  }();
  return tables;
}

float BandMean(const std::array<float, AudioFeatures::kSpectrumSize>& spectrum, size_t begin,
               size_t end) {
  if (end <= begin) return 0.0f;
  float sum = 0.0f;
  for (size_t k = begin; k < end; ++k) sum += spectrum[k];
  return sum / static_cast<float>(end - begin);
}

// The truncated bin index of a frequency, capped at the spectrum's size.
size_t EdgeBin(float hz, float bin_hz) {
  const float bin = hz / bin_hz;
  return bin >= static_cast<float>(AudioFeatures::kSpectrumSize)
             ? AudioFeatures::kSpectrumSize
             : static_cast<size_t>(bin);
}

// Updates one band's long-term average and returns the band's normalised level.
float Normalise(float raw, float& average) {
  if (average > 0.0f) {
    average += kAverageRate * (raw - average);
    return average > 1e-9f ? raw / average : 1.0f;
  }
  average = raw;
  return 1.0f;
}

}  // namespace

BandEdges BandEdgesFor(int sample_rate) {
  const float bin_hz = static_cast<float>(sample_rate) / static_cast<float>(Analyzer::kFftSize);
  return BandEdges{EdgeBin(kBassTopHz, bin_hz), EdgeBin(kMidTopHz, bin_hz),
                   EdgeBin(kTrebTopHz, bin_hz)};
}

void Analyzer::Configure(int sample_rate) {
  *this = Analyzer{};
  sample_rate_ = sample_rate < 1 ? kDefaultRate : sample_rate;
}

AudioFeatures Analyzer::Analyse(const AudioRing& ring) {
  return AnalyseBuffer(buffer_.data(), ring.ReadNewest(buffer_.data(), buffer_.size()));
}

AudioFeatures Analyzer::AnalyseBuffer(const StereoFrame* frames, size_t n) {
  AudioFeatures f;
  if (n == 0) return f;
  const size_t m = std::min(n, AudioFeatures::kWaveSize);
  for (size_t i = 0; i < m; ++i) {
    f.wave_left[i] = frames[n - m + i].left;
    f.wave_right[i] = frames[n - m + i].right;
  }
  FillSpectrum(frames, n, f);

  const BandEdges e = BandEdgesFor(sample_rate_);
  f.bass = Normalise(BandMean(f.spectrum, 0, e.mid), bass_avg_);
  f.mid = Normalise(BandMean(f.spectrum, e.mid, e.treb), mid_avg_);
  f.treb = Normalise(BandMean(f.spectrum, e.treb, e.end), treb_avg_);

  bass_att_ += kAttRate * (f.bass - bass_att_);
  mid_att_ += kAttRate * (f.mid - mid_att_);
  treb_att_ += kAttRate * (f.treb - treb_att_);
  f.bass_att = bass_att_;
  f.mid_att = mid_att_;
  f.treb_att = treb_att_;

  beat_avg_ += kBeatAverageRate * (f.bass - beat_avg_);
  if (beat_hold_ > 0) {
    --beat_hold_;
  } else if (f.bass >= kBeatRatio * beat_avg_) {
    f.beat = true;
    beat_hold_ = kBeatHoldFrames;
  }
  return f;
}

void Analyzer::FillSpectrum(const StereoFrame* frames, size_t n, AudioFeatures& features) const {
  const Tables& t = FftTables();
  float re[kFftSize] = {};
  float im[kFftSize] = {};
  const size_t m = std::min(n, kFftSize);
  const StereoFrame* newest = frames + (n - m);
  for (size_t i = 0; i < m; ++i) {
    const float mono = (newest[i].left + newest[i].right) * 0.5f;
    re[t.reversed[kFftSize - m + i]] = mono * t.window[i];
  }
  // Iterative radix-2 passes over the bit-reversed input; block length 2, 4, ..., N.
  for (size_t length = 2; length <= kFftSize; length <<= 1) {
    const size_t half = length / 2;
    const size_t stride = kFftSize / length;
    for (size_t block = 0; block < kFftSize; block += length) {
      for (size_t k = 0; k < half; ++k) {
        const float wr = t.cos_twiddle[k * stride];
        const float wi = -t.sin_twiddle[k * stride];
        const size_t a = block + k;
        const size_t b = a + half;
        const float xr = re[b] * wr - im[b] * wi;
        const float xi = re[b] * wi + im[b] * wr;
        re[b] = re[a] - xr;
        im[b] = im[a] - xi;
        re[a] += xr;
        im[a] += xi;
      }
    }
  }
  for (size_t k = 0; k < AudioFeatures::kSpectrumSize; ++k) {
    features.spectrum[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]) * kSpectrumScale;
  }
}

}  // namespace halvex::vis
