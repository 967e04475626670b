#include "vis/analysis.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace halvex::vis {
namespace {

std::vector<StereoFrame> Sine(double hz, float amplitude, size_t n = 1024) {
  std::vector<StereoFrame> frames(n);
  for (size_t i = 0; i < n; ++i) {
    const float s = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * i / 48000.0));
    frames[i] = {s, s};
  }
  return frames;
}

TEST(Analyzer, ReportsNeutralFeaturesWithoutAudio) {
  Analyzer a;
  a.Configure(48000);
  AudioRing ring;
  const AudioFeatures f = a.Analyse(ring);
  for (float level : {f.bass, f.mid, f.treb, f.bass_att, f.mid_att, f.treb_att}) {
    EXPECT_EQ(level, 1.0f);
  }
  EXPECT_FALSE(f.beat);
  EXPECT_TRUE(std::all_of(f.spectrum.begin(), f.spectrum.end(), [](float s) { return s == 0; }));
}

TEST(Analyzer, AFullScaleSinePeaksNearOneHalfInItsBin) {
  Analyzer a;
  a.Configure(0);  // falls back to 48000
  EXPECT_EQ(a.sample_rate(), 48000);
  // Bin 64 is exactly 3000 Hz.
  const std::vector<StereoFrame> sine = Sine(3000.0, 1.0f);
  AudioFeatures f;
  a.FillSpectrum(sine.data(), sine.size(), f);
  const auto peak = std::max_element(f.spectrum.begin(), f.spectrum.end());
  EXPECT_EQ(peak - f.spectrum.begin(), 64);
  EXPECT_NEAR(*peak, 0.5f, 0.01f);
  EXPECT_NEAR(f.spectrum[63], 0.25f, 0.01f);  // the Hann window's neighbours: half the peak
  EXPECT_LT(f.spectrum[70], 1e-3f);
}

TEST(Analyzer, UsesOnlyTheStartOfTheWindowForShortBuffers) {
  Analyzer a;
  const std::vector<StereoFrame> dc(512, StereoFrame{1.0f, 1.0f});
  AudioFeatures f;
  a.FillSpectrum(dc.data(), dc.size(), f);
  // The first half of a Hann window sums to 256.
  EXPECT_NEAR(f.spectrum[0], 256.0f / 512.0f, 1e-3f);
}

TEST(Analyzer, BandEdgesUseTheBinWidthAsAFloat) {
  const struct {
    int rate;
    size_t mid, treb, end;
  } cases[] = {{48000, 6, 49, 470}, {44100, 6, 53, 512}, {96000, 3, 24, 235}, {1, 512, 512, 512}};
  for (const auto& c : cases) {
    const BandEdges e = BandEdgesFor(c.rate);
    EXPECT_EQ(e.mid, c.mid) << c.rate;
    EXPECT_EQ(e.treb, c.treb) << c.rate;
    EXPECT_EQ(e.end, c.end) << c.rate;
  }
}

TEST(Analyzer, EachToneMovesOnlyItsBand) {
  // Bin 475 lies above the treble band's end (bin 469) at 48000 Hz, so it moves nothing.
  const struct {
    int bin;
    int band;  // 0 bass, 1 mid, 2 treb, -1 none
  } cases[] = {{3, 0}, {20, 1}, {200, 2}, {475, -1}};
  for (const auto& c : cases) {
    Analyzer a;
    a.Configure(48000);
    std::vector<StereoFrame> noise(1024);
    uint32_t seed = 1;
    for (StereoFrame& f : noise) {
      seed = test::LcgStep(seed);
      f.left = f.right = 0.005f * test::UniformFrom(seed);
    }
    a.AnalyseBuffer(noise.data(), noise.size());
    std::vector<StereoFrame> mixed = Sine(c.bin * 46.875, 0.5f);
    for (size_t i = 0; i < mixed.size(); ++i) {
      mixed[i].left += noise[i].left;
      mixed[i].right += noise[i].right;
    }
    const AudioFeatures f = a.AnalyseBuffer(mixed.data(), mixed.size());
    const float levels[3] = {f.bass, f.mid, f.treb};
    for (int band = 0; band < 3; ++band) {
      if (band == c.band) {
        EXPECT_GT(levels[band], 5.0f) << "bin " << c.bin << " band " << band;
      } else {
        EXPECT_LT(levels[band], 2.0f) << "bin " << c.bin << " band " << band;
      }
    }
  }
}

TEST(Analyzer, NormalisesByTheLongTermAverage) {
  Analyzer a;
  a.Configure(48000);
  const std::vector<StereoFrame> tone = Sine(100.0, 0.5f);
  const AudioFeatures first = a.AnalyseBuffer(tone.data(), tone.size());
  EXPECT_EQ(first.bass, 1.0f);  // the first frame sets the average
  EXPECT_EQ(first.mid, 1.0f);
  EXPECT_FALSE(first.beat);
  const AudioFeatures steady = a.AnalyseBuffer(tone.data(), tone.size());
  EXPECT_FLOAT_EQ(steady.bass, 1.0f);
  EXPECT_FLOAT_EQ(steady.bass_att, 1.0f);
  // Twice the level: raw/avg with the average moved 1% toward it.
  const std::vector<StereoFrame> loud = Sine(100.0, 1.0f);
  const AudioFeatures jump = a.AnalyseBuffer(loud.data(), loud.size());
  EXPECT_NEAR(jump.bass, 2.0f / 1.01f, 1e-4f);
  EXPECT_NEAR(jump.bass_att, 1.0f + 0.03f * (jump.bass - 1.0f), 1e-5f);
  EXPECT_TRUE(jump.beat);
}

TEST(Analyzer, HoldsBeatsForEightFramesAndCountsTheExactThreshold) {
  Analyzer a;
  a.Configure(48000);
  const std::vector<StereoFrame> quiet = Sine(100.0, 0.1f);
  const std::vector<StereoFrame> loud = Sine(100.0, 1.0f);
  a.AnalyseBuffer(quiet.data(), quiet.size());
  EXPECT_TRUE(a.AnalyseBuffer(loud.data(), loud.size()).beat);
  for (int i = 0; i < 8; ++i) {
    EXPECT_FALSE(a.AnalyseBuffer(loud.data(), loud.size()).beat) << i;
  }
  // With beat_avg at 1 and every band at its average, a bass of exactly 1.35 is a beat: the
  // average of 1 moves to 1 + 0.02 * 0.35 = 1.007, and 1.35 >= 1.35 * 1.007 does not hold, so
  // aim the next frame's bass at 1.35 * the updated average.
  Analyzer b;
  b.Configure(48000);
  b.AnalyseBuffer(quiet.data(), quiet.size());  // bass average = raw level of `quiet`
  // bass = r / avg' with avg' = avg + 0.01 (r - avg); beat_avg' = 1 + 0.02 (bass - 1).
  // Solve bass = 1.35 * beat_avg' -> bass = 1.35 * 0.98 / (1 - 1.35 * 0.02).
  const double bass = 1.35 * 0.98 / (1.0 - 1.35 * 0.02);
  // r / (0.99 avg + 0.01 r) = bass -> r = bass * 0.99 avg / (1 - 0.01 bass).
  const double scale = bass * 0.99 / (1.0 - 0.01 * bass);
  const std::vector<StereoFrame> aimed = Sine(100.0, static_cast<float>(0.1 * scale * 1.0001));
  const std::vector<StereoFrame> under = Sine(100.0, static_cast<float>(0.1 * scale * 0.999));
  Analyzer c = b;
  EXPECT_TRUE(b.AnalyseBuffer(aimed.data(), aimed.size()).beat);
  EXPECT_FALSE(c.AnalyseBuffer(under.data(), under.size()).beat);
}

TEST(Analyzer, TakesTheNewestFramesForTheWave) {
  Analyzer a;
  std::vector<StereoFrame> frames(700);
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = {static_cast<float>(i), -1.0f};
  const AudioFeatures f = a.AnalyseBuffer(frames.data(), frames.size());
  EXPECT_EQ(f.wave_left.front(), 124.0f);
  EXPECT_EQ(f.wave_left.back(), 699.0f);
  const AudioFeatures few = a.AnalyseBuffer(frames.data(), 10);
  EXPECT_EQ(few.wave_left[9], 9.0f);
  EXPECT_EQ(few.wave_left[10], 0.0f);
  EXPECT_EQ(few.wave_right[10], 0.0f);
}

}  // namespace
}  // namespace halvex::vis
