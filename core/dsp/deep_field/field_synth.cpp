#include "core/dsp/deep_field/field_synth.h"

#include <cmath>
#include <utility>

#include "core/dsp/deep_field/field_random.h"
#include "core/dsp/filters/biquad_chain.h"
#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {
namespace {

using field::Flush;
using field::Splat;

constexpr size_t kLines = FieldSynth::kLines;
constexpr size_t kLayers = FieldSynth::kLayers;
constexpr size_t kBlock = FieldSynth::kVelvetBlock;
constexpr size_t kHistory = VelvetSequence<FieldSynth::kLateTaps>::kHistory;
static_assert(VelvetSequence<FieldSynth::kMaxEarlyTaps>::kHistory == kHistory,
              "all velvet histories share one write position");
static_assert(kHistory >= FieldSynth::kLateSpan + kBlock, "a block's window fits the history");

// Taps of the six early sequences (primes, so no two sequences share a period).
constexpr std::array<size_t, FieldSynth::kEarlySequences> kVelvetCount{61, 67, 71, 73, 79, 83};
constexpr size_t kLateSlot = 6;                // frames per late tap
constexpr float kLateTapLevel = 0.057735022f;  // 1/sqrt(300)
// The lines each early layer emphasises.
constexpr std::array<size_t, kLayers> kLayerFirstLine{0, 2, 5};
constexpr std::array<size_t, kLayers> kLayerLineCount{3, 4, 3};
constexpr float kLayerEmphasis = 1.7f;
// The lines whose injection the right channel takes inverted: half of them, two in each half of
// the Householder mix, so the channels' fields decorrelate while each keeps the same energy.
constexpr std::array<bool, kLines> kRightInverted{false, true, true, false,
                                                  false, true, true, false};

// Tone of the field: peaking sections as (Hz, dB, bandwidth in octaves).
struct Peak {
  float hz;
  float db;
  float octaves;
};
constexpr std::array<Peak, 3> kColour{{{4500.0f, -2.5f, 0.9f},
                                       {9000.0f, -1.5f, 0.5f},
                                       {700.0f, 1.0f, 1.0f}}};
constexpr float kSpeakerColourScale = 0.6f;
constexpr float kSpeakerWidthScale = 0.85f;

constexpr uint32_t kVelvetSeed = 0x5EED1234u;
constexpr uint32_t kInjectionSeed = 0xC0DA6B8Du;

constexpr float kInvSqrt8 = 0.35355338f;
constexpr float kLateMix = 0.75f;
constexpr float kCentreGain = 0.68f;

// The lines reach the two outputs through orthogonal sign patterns (two columns of an 8x8
// Hadamard matrix), so the channels share the lines' energy but not their phase:
// left o0 - o1 + o2 - o3 + o4 - o5 + o6 - o7, right o0 + o1 - o2 - o3 + o4 + o5 - o6 - o7.
template <typename T>
[[gnu::always_inline]] inline T LeftLines(const T* o) {
  return o[0] - o[1] + o[2] - o[3] + o[4] - o[5] + o[6] - o[7];
}
template <typename T>
[[gnu::always_inline]] inline T RightLines(const T* o) {
  return o[0] + o[1] - o[2] - o[3] + o[4] + o[5] - o[6] - o[7];
}

// The colour sections, with their memories flushed: near the smallest normal float a resonant
// section whose a2 term underflows is left undamped and rings forever. Cloned so that the
// sections' fused multiply-adds are instructions rather than library calls.
[[gnu::always_inline]] inline float ColourOne(std::array<Biquad, 3>& chain, float x) noexcept {
  for (Biquad& b : chain) {
    x = b.Process(x);
    b.z1 = Flush(b.z1);
    b.z2 = Flush(b.z2);
  }
  return x;
}

HALVEX_FMA_CLONES
float Colour(std::array<Biquad, 3>& chain, float x) noexcept { return ColourOne(chain, x); }


}  // namespace

void FieldSynth::Configure(RenderTarget target, float field_size, float envelopment) {
  const bool headphones = target == RenderTarget::kHeadphones;
  network_.Configure(field_size);
  width_ = headphones ? envelopment : kSpeakerWidthScale * envelopment;
  const float colour_scale = headphones ? 1.0f : kSpeakerColourScale;
  for (size_t i = 0; i < kColour.size(); ++i) {
    colour_left_[i].SetPeaking(kColour[i].hz, kColour[i].db * colour_scale, kColour[i].octaves);
    colour_right_[i].SetPeaking(kColour[i].hz, kColour[i].db * colour_scale, kColour[i].octaves);
  }
  balance_.Configure();
  BuildVelvet(kVelvetSeed);
  BuildInjection(kInjectionSeed);
  Reset();
}

void FieldSynth::Reset() {
  for (auto& v : early_) v.Reset();
  for (auto& v : late_) v.Reset();
  velvet_write_ = 0;
  block_pos_ = 0;
  network_.Reset();
  for (Biquad& b : colour_left_) b.Reset();
  for (Biquad& b : colour_right_) b.Reset();
  balance_.Reset();
}

void FieldSynth::BuildVelvet(uint32_t seed) {
  uint32_t s = seed;
  for (size_t q = 0; q < kEarlySequences; ++q) {
    const size_t n = kVelvetCount[q];
    early_[q].Build(n, kEarlySpan / n, 1.0f / std::sqrt(static_cast<float>(n)), s);
  }
  for (auto& v : late_) v.Build(kLateTaps, kLateSlot, kLateTapLevel, s);
}

void FieldSynth::BuildInjection(uint32_t seed) {
  uint32_t x = seed;
  for (size_t layer = 0; layer < kLayers; ++layer) {
    std::array<float, kLines> v{1.0f, 1.0f, 1.0f, 1.0f, -1.0f, -1.0f, -1.0f, -1.0f};
    uint32_t s = x;
    for (size_t n = kLines - 1; n >= 1; --n) {
      s = FieldRandomStep(s);
      std::swap(v[n], v[s % (n + 1)]);
    }
    const size_t first = kLayerFirstLine[layer];
    for (size_t n = first; n < first + kLayerLineCount[layer]; ++n) v[n] *= kLayerEmphasis;
    float norm2 = 0.0f;
    for (float e : v) norm2 += e * e;
    const float norm = std::sqrt(norm2);
    for (size_t n = 0; n < kLines; ++n) {
      injection_left_[layer][n] = v[n] / norm;
      injection_right_[layer][n] =
          kRightInverted[n] ? -injection_left_[layer][n] : injection_left_[layer][n];
    }
    x = s;
  }
}

void FieldSynth::InjectAndAdvance(const std::array<float, kLines>& acc,
                                  std::array<float, kLines>& out) noexcept {
  network_.Advance(out);
  network_.Feed(acc, out);
}

StereoSample FieldSynth::Process(const std::array<FieldSend, 3>& sends,
                                 const FieldSend& late) noexcept {
  const size_t write = velvet_write_;
  if (block_pos_ == 0) {
    for (auto& v : early_) v.SumFar(write);
    for (auto& v : late_) v.SumFar(write);
  }

  // The lines' outputs do not depend on this frame's injection, so the long serial path to the
  // output (lines, colour, balance) starts first and the early diffusion overlaps it.
  std::array<float, kLines> o;
  network_.Advance(o);
  const float late_left = late_[0].Step(late.left, write, block_pos_);
  const float late_right = late_[1].Step(late.right, write, block_pos_);
  float left = kLateMix * late_left + LeftLines(o.data()) * kInvSqrt8;
  float right = kLateMix * late_right + RightLines(o.data()) * kInvSqrt8;
  left = Colour(colour_left_, left);
  right = Colour(colour_right_, right);
  const StereoSample balanced = balance_.Process(left, right);

  alignas(16) std::array<float, kLines> acc{};
  for (size_t k = 0; k < kLayers; ++k) {
    const Float4 vl = Splat(early_[2 * k].Step(sends[k].left, write, block_pos_));
    const Float4 vr = Splat(early_[2 * k + 1].Step(sends[k].right, write, block_pos_));
    for (size_t h = 0; h < kLines; h += 4) {
      Store4(acc.data() + h, Load4(acc.data() + h) + (vl * Load4(injection_left_[k].data() + h) +
                                                      vr * Load4(injection_right_[k].data() + h)));
    }
  }
  network_.Feed(acc, o);
  velvet_write_ = (write + 1) & (kHistory - 1);
  block_pos_ = (block_pos_ + 1) % kBlock;

  const float u = (balanced.left + balanced.right) / 2.0f;
  const float v = (balanced.left - balanced.right) / 2.0f * width_;
  return {kCentreGain * u + v, kCentreGain * u - v};
}

// The frames of a block step by step: every velvet sum across the block at once, then the lines,
// the colour, the balance and the feedback each over the whole block. The lines read only frames
// written at least 1097 frames ago, so this block's feedback writes can wait until its outputs
// are known; each recursive state still sees its frames in order, with the operations of
// Process, so the result is bit for bit that of kVelvetBlock calls of Process.
HALVEX_FMA_CLONES
void FieldSynth::ProcessBlock(const SendRows& x,
                              std::array<StereoSample, kVelvetBlock>& out) noexcept {
  static_assert(kSendRows == 2 * kLayers + 2 && kSendBlock == kBlock,
                "a row per early sequence and per late one, a block long");
  if (block_pos_ != 0) {
    for (size_t i = 0; i < kBlock; ++i) {
      const std::array<FieldSend, 3> sends{
          {{x[0][i], x[1][i]}, {x[2][i], x[3][i]}, {x[4][i], x[5][i]}}};
      out[i] = Process(sends, {x[6][i], x[7][i]});
    }
    return;
  }
  const size_t write = velvet_write_;
  for (size_t q = 0; q < kEarlySequences; ++q) early_[q].WriteBlock(write, x[q].data());
  late_[0].WriteBlock(write, x[2 * kLayers].data());
  late_[1].WriteBlock(write, x[2 * kLayers + 1].data());
  for (auto& v : early_) v.SumBlock(write);
  for (auto& v : late_) v.SumBlock(write);

  alignas(32) FieldNetwork::Block o;
  network_.AdvanceBlock(o);

  alignas(64) std::array<float, kBlock> left;
  alignas(64) std::array<float, kBlock> right;
  for (size_t i = 0; i < kBlock; ++i) {
    const std::array<float, kLines> oi{o[0][i], o[1][i], o[2][i], o[3][i],
                                       o[4][i], o[5][i], o[6][i], o[7][i]};
    left[i] = kLateMix * late_[0].sum[i] + LeftLines(oi.data()) * kInvSqrt8;
    right[i] = kLateMix * late_[1].sum[i] + RightLines(oi.data()) * kInvSqrt8;
  }
  RunBiquadChains({colour_left_.data(), colour_left_.size(), left.data(), field::kFlush},
                  {colour_right_.data(), colour_right_.size(), right.data()}, kBlock);
  balance_.ProcessBlock(left.data(), right.data());
  for (size_t i = 0; i < kBlock; ++i) {
    const float u = (left[i] + right[i]) / 2.0f;
    const float v = (left[i] - right[i]) / 2.0f * width_;
    out[i] = {kCentreGain * u + v, kCentreGain * u - v};
  }

  // The layers' injections summed onto 0 in layer order, as in Process (0 + x is not x for
  // x = -0, so the first add stays). Line by line, so a line's sums stay in registers across
  // the layers.
  alignas(32) FieldNetwork::Block acc;
  for (size_t n = 0; n < kLines; ++n) {
    field::Lanes32 sum{};
    for (size_t k = 0; k < kLayers; ++k) {
      field::Lanes32 vl, vr;
      field::LoadLanes(vl, early_[2 * k].sum.data());
      field::LoadLanes(vr, early_[2 * k + 1].sum.data());
      const float il = injection_left_[k][n];
      const float ir = injection_right_[k][n];
      field::ForParts(
          [il, ir](Float8& s, const Float8& l, const Float8& r) { s += l * il + r * ir; }, sum,
          vl, vr);
    }
    field::StoreLanes(acc[n].data(), sum);
  }
  network_.FeedBlock(acc, o);
  velvet_write_ = (write + kBlock) & (kHistory - 1);
}

}  // namespace halvex
