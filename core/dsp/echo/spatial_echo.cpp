#include "core/dsp/echo/spatial_echo.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "core/dsp/kit/multiversion.h"

namespace halvex {
namespace {

constexpr size_t kLineMask = EchoWidenerStage::kEchoLineLength - 1;
constexpr size_t kBatch = EchoWidenerStage::kEchoBatch;
constexpr size_t kTaps = EchoWidenerStage::kBandTaps;

// Sums one channel's active taps over its lines, in the order of the list (bands ascending,
// taps in order), one fused multiply-add each.
__attribute__((always_inline)) inline float SumTaps(const EchoWidenerStage::EchoLine* lines,
                                                    const EchoWidenerStage::ActiveTap* taps,
                                                    size_t begin, size_t end, size_t written,
                                                    float echo) noexcept {
  for (size_t i = begin; i < end; ++i) {
    const EchoWidenerStage::ActiveTap& t = taps[i];
    echo = std::fmaf(t.gain, lines[t.band].samples[(written - t.delay) & kLineMask], echo);
  }
  return echo;
}

// One channel's taps for the frames of a batch, whose first frame writes slot `write`.
struct BatchChannel {
  const EchoWidenerStage::EchoLine* lines;
  const EchoWidenerStage::ActiveTap* taps;
  size_t count;
  size_t write;
  float* out;
};

// The kBatch frames of a batch in the eight lanes of one vector: lane j is frame j's chain,
// in list order, so the result is that of one frame at a time. Slots at most `write - 1` are
// read, and the repeated slots past the end of a line cover a batch that would wrap.
__attribute__((target("arch=x86-64-v3"))) void SumBatchV3(const BatchChannel& a,
                                                          const BatchChannel& b) noexcept {
  static_assert(kBatch == 8, "one 256-bit vector per batch");
  auto slot = [](const BatchChannel& c, size_t i) {
    const EchoWidenerStage::ActiveTap& t = c.taps[i];
    return c.lines[t.band].samples.data() + ((c.write - t.delay) & kLineMask);
  };
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  const size_t common = std::min(a.count, b.count);
  for (size_t i = 0; i < common; ++i) {
    acc_a = _mm256_fmadd_ps(_mm256_set1_ps(a.taps[i].gain), _mm256_loadu_ps(slot(a, i)), acc_a);
    acc_b = _mm256_fmadd_ps(_mm256_set1_ps(b.taps[i].gain), _mm256_loadu_ps(slot(b, i)), acc_b);
  }
  for (size_t i = common; i < a.count; ++i) {
    acc_a = _mm256_fmadd_ps(_mm256_set1_ps(a.taps[i].gain), _mm256_loadu_ps(slot(a, i)), acc_a);
  }
  for (size_t i = common; i < b.count; ++i) {
    acc_b = _mm256_fmadd_ps(_mm256_set1_ps(b.taps[i].gain), _mm256_loadu_ps(slot(b, i)), acc_b);
  }
  _mm256_storeu_ps(a.out, acc_a);
  _mm256_storeu_ps(b.out, acc_b);
}

void SumBatchChannel(const BatchChannel& c) noexcept {
  for (size_t j = 0; j < kBatch; ++j) {
    c.out[j] = SumTaps(c.lines, c.taps, 0, c.count, c.write + j, 0.0f);
  }
}

void SumBatchBaseline(const BatchChannel& a, const BatchChannel& b) noexcept {
  SumBatchChannel(a);
  SumBatchChannel(b);
}

using SumBatchFn = void (*)(const BatchChannel&, const BatchChannel&) noexcept;

SumBatchFn SumBatchBuild(SplitLevel level) {
  return PickBuild<SumBatchFn>(level, SumBatchBaseline, SumBatchV3, SumBatchV3);
}

const SumBatchFn SumBatch = SumBatchBuild(BestSplitLevel());


// What one frame of echo needs besides the stage's lines: the direct pair, this frame's band
// signals and steering gains, and the mix gains (already halved).
struct EchoFrame {
  float left;
  float right;
  const float* left_bands;
  const float* right_bands;
  const float* left_gains;
  const float* right_gains;
  size_t band_count;
  float half_mid;
  float half_side;
};

// Stores this frame's steered band values in the echo lines, sums the taps, and adds the side
// and mid echoes to the direct pair. No tap reads the slot just written (delays are at least
// 1), so storing every band first changes nothing. The two channels' chains are interleaved so
// they run side by side. Cloned so the fused multiply-adds are instructions, not libm calls.
HALVEX_FMA_CLONES StereoSample EchoAndMix(
    EchoWidenerStage::EchoLine* left_lines, EchoWidenerStage::EchoLine* right_lines, size_t* write,
    const EchoWidenerStage::ActiveTap* left_taps, size_t left_count,
    const EchoWidenerStage::ActiveTap* right_taps, size_t right_count,
    const EchoFrame& frame) noexcept {
  const size_t band_count = frame.band_count;
  const float* left_bands = frame.left_bands;
  const float* right_bands = frame.right_bands;
  const float* left_gains = frame.left_gains;
  const float* right_gains = frame.right_gains;
  const size_t wl = write[0];
  const size_t wr = write[1];
  for (size_t b = 0; b < band_count; ++b) {
    left_lines[b].samples[wl] = left_bands[b] * left_gains[b];
    right_lines[b].samples[wr] = right_bands[b] * right_gains[b];
  }
  write[0] = (wl + 1) & kLineMask;
  write[1] = (wr + 1) & kLineMask;
  float echo_left = 0.0f;
  float echo_right = 0.0f;
  const size_t common = std::min(left_count, right_count);
  for (size_t i = 0; i < common; ++i) {
    const EchoWidenerStage::ActiveTap& l = left_taps[i];
    const EchoWidenerStage::ActiveTap& r = right_taps[i];
    echo_left =
        std::fmaf(l.gain, left_lines[l.band].samples[(wl - l.delay) & kLineMask], echo_left);
    echo_right =
        std::fmaf(r.gain, right_lines[r.band].samples[(wr - r.delay) & kLineMask], echo_right);
  }
  echo_left = SumTaps(left_lines, left_taps, common, left_count, wl, echo_left);
  echo_right = SumTaps(right_lines, right_taps, common, right_count, wr, echo_right);
  const float side = echo_left - echo_right;
  const float mid = echo_left + echo_right;
  return {std::fmaf(frame.half_side, side, std::fmaf(frame.half_mid, mid, frame.left)),
          std::fmaf(-frame.half_side, side, std::fmaf(frame.half_mid, mid, frame.right))};
}

// Stores this frame's steered band values of both channels in the lines of bands first to
// end - 1 (the heard bands lie in that range; a band between them that is never heard has
// values 0 and lines no tap reads) and advances the write indices, keeping the repeated slots
// past the end in step. The lines of a channel share one write index, equal for both channels.
void StoreBands(std::array<EchoWidenerStage::EchoLine, kMaxEchoBands>* lines, size_t* write,
                const EchoFrame& frame, size_t first, size_t end) noexcept {
  const size_t w = write[0];
  EchoWidenerStage::EchoLine* left = lines[0].data();
  EchoWidenerStage::EchoLine* right = lines[1].data();
  // The products first, whole vectors into local arrays the lines cannot overlap; stored
  // straight into the lines, they would be checked for overlap on every frame.
  std::array<float, kMaxEchoBands> steered_left;
  std::array<float, kMaxEchoBands> steered_right;
  for (size_t b = 0; b < kMaxEchoBands; ++b) {
    steered_left[b] = frame.left_bands[b] * frame.left_gains[b];
    steered_right[b] = frame.right_bands[b] * frame.right_gains[b];
  }
  for (size_t b = first; b < end; ++b) {
    left[b].samples[w] = steered_left[b];
    right[b].samples[w] = steered_right[b];
  }
  if (w < kBatch) {
    for (size_t b = first; b < end; ++b) {
      left[b].samples[w + EchoWidenerStage::kEchoLineLength] = steered_left[b];
      right[b].samples[w + EchoWidenerStage::kEchoLineLength] = steered_right[b];
    }
  }
  write[0] = (w + 1) & kLineMask;
  write[1] = write[0];
}

// The side and mid echoes added to the direct pair, as EchoAndMix ends.
HALVEX_FMA_CLONES StereoSample MixEchoes(
    const EchoFrame& frame, float echo_left, float echo_right) noexcept {
  const float side = echo_left - echo_right;
  const float mid = echo_left + echo_right;
  return {std::fmaf(frame.half_side, side, std::fmaf(frame.half_mid, mid, frame.left)),
          std::fmaf(-frame.half_side, side, std::fmaf(frame.half_mid, mid, frame.right))};
}

}  // namespace

bool SumEchoBatch(SplitLevel level, const EchoWidenerStage::EchoLine* lines,
                  const EchoWidenerStage::ActiveTap* taps, size_t count, size_t write,
                  float* out) {
  std::array<float, kBatch> unused{};
  const BatchChannel channel{lines, taps, count, write, out};
  const BatchChannel none{lines, taps, 0, write, unused.data()};
  if (!CpuRuns(level)) return false;
  SumBatchBuild(level)(channel, none);
  return true;
}

size_t EchoWidenerStage::BuildBands(const ProcessorConfig& config, BandEdges& edges) {
  return BuildBandEdges(config.bands, edges);
}

void EchoWidenerStage::ConfigureTaps(const ProcessorConfig& config, size_t band_count) {
  tap_gains_ = BuildTapGains(config);
  for (auto& channel : tap_delays_) {
    for (auto& band : channel) band.fill(0);
  }
  const size_t n = std::min(band_count, std::min(config.bands.size(), kMaxEchoBands));
  for (size_t b = 0; b < n; ++b) {
    for (size_t k = 0; k < kEchoTaps; ++k) {
      const float multiplier = config.tap_multipliers[k];
      tap_delays_[0][b][k] = TapDelayFrames(config.bands[b].l_base_ms, multiplier);
      tap_delays_[1][b][k] = TapDelayFrames(config.bands[b].r_base_ms, multiplier);
    }
  }
  for (size_t c = 0; c < 2; ++c) {
    active_count_[c] = 0;
    for (size_t b = 0; b < n; ++b) {
      for (size_t k = 0; k < kEchoTaps; ++k) {
        const size_t d = tap_delays_[c][b][k];
        if (d != 0) {
          active_taps_[c][active_count_[c]++] = {static_cast<uint32_t>(b), static_cast<uint32_t>(d),
                                                 tap_gains_[k]};
        }
      }
    }
  }
  // Echoes can be summed a batch ahead only if no tap reads a frame of its own batch.
  batched_ = true;
  for (size_t c = 0; c < 2; ++c) {
    for (size_t i = 0; i < active_count_[c]; ++i) {
      batched_ = batched_ && active_taps_[c][i].delay >= kEchoBatch;
    }
  }
}

void EchoWidenerStage::Configure(const ProcessorConfig& config) {
  BandEdges edges{};
  band_count_ = BuildBands(config, edges);
  const LinkwitzRileyFir crossover;
  ConfigureTaps(config, band_count_);
  // A band with every tap off on both sides is never heard: its echo lines are never read and
  // its steering gains only scale those lines. Its filter is left at zero, so its band values
  // stay 0; the default table's lowest and highest bands are such bands. Filter b of the
  // convolver is band b, so its outputs land where the steering reads them, whole vectors at
  // a time.
  std::array<float, kMaxEchoBands * kTaps> designs{};
  first_heard_ = 0;
  end_heard_ = 0;
  for (size_t b = 0; b < band_count_; ++b) {
    bool heard = false;
    for (size_t k = 0; k < kEchoTaps; ++k) {
      heard = heard || tap_delays_[0][b][k] != 0 || tap_delays_[1][b][k] != 0;
    }
    if (!heard) continue;
    const FirCoeffs design = crossover.BandFir(edges[b], edges[b + 1], kTaps);
    std::copy(design.begin(), design.end(), designs.begin() + b * kTaps);
    if (end_heard_ == 0) first_heard_ = b;
    end_heard_ = b + 1;
  }
  steering_.Configure(config.steer_amount, config.steer_depth, band_count_);
  stft_on_ = config.stft_expand > 0.0f;
  static_assert(kWolaHop % BlockBandConvolver::kBlock == 0,
                "a block of band filtering never spans a transform of the pre-stage");
  ahead_ = stft_on_ && end_heard_ > 0;
  // Only the convolver of the path in use holds filters.
  convolver_.Configure(designs.data(), ahead_ ? 0 : end_heard_);
  ahead_convolver_.Configure(designs.data(), ahead_ ? end_heard_ : 0);
  if (stft_on_) {
    widener_.Configure(config.stft_expand);
  }
  side_gain_ = config.echo_side_gain;
  mid_gain_ = config.echo_mid_gain;
  Reset();
}

void EchoWidenerStage::Reset() {
  for (auto& channel : echo_lines_) {
    for (size_t b = 0; b < band_count_; ++b) {
      channel[b].samples.fill(0.0f);
    }
  }
  echo_write_.fill(0);
  for (auto& channel : echo_batch_) channel.fill(0.0f);
  batch_frame_ = 0;
  ahead_frame_ = 0;
  convolver_.Reset();
  ahead_convolver_.Reset();
  band_left_.fill(0.0f);
  band_right_.fill(0.0f);
  for (BandValues& v : block_left_) v.fill(0.0f);
  for (BandValues& v : block_right_) v.fill(0.0f);
  steering_.Reset();
  widener_.Reset();
}

size_t EchoWidenerStage::Latency() const { return stft_on_ ? kWolaLatency : 0; }

StereoSample EchoWidenerStage::PreStage(StereoSample in) noexcept {
  return stft_on_ ? widener_.Process(in.left, in.right) : in;
}

StereoSample EchoWidenerStage::PreStageAhead(StereoSample in, BandValues& left_bands,
                                             BandValues& right_bands) noexcept {
  constexpr size_t kBlock = BlockBandConvolver::kBlock;
  if (ahead_frame_ == 0) {
    // The pre-stage and the band filters start together at Reset and kBlock divides its hop,
    // so a block starts with at least kBlock final frames ahead.
    std::array<float, kBlock> block_left;
    std::array<float, kBlock> block_right;
    for (size_t i = 0; i < kBlock; ++i) {
      const StereoSample s = widener_.Upcoming(i);
      block_left[i] = s.left;
      block_right[i] = s.right;
    }
    ahead_convolver_.FilterBlock(block_left.data(), block_right.data());
  }
  ahead_convolver_.BlockOutput(ahead_frame_, left_bands.data(), right_bands.data());
  ahead_frame_ = ahead_frame_ + 1 == kBlock ? 0 : ahead_frame_ + 1;
  return widener_.Process(in.left, in.right);
}

StereoSample EchoWidenerStage::Echo(StereoSample direct, const BandValues& left_bands,
                                    const BandValues& right_bands) noexcept {
  steering_.Update(left_bands, right_bands);
  const EchoFrame frame{direct.left,
                        direct.right,
                        left_bands.data(),
                        right_bands.data(),
                        steering_.gain_left().data(),
                        steering_.gain_right().data(),
                        band_count_,
                        0.5f * mid_gain_,
                        0.5f * side_gain_};
  if (!batched_) {
    return EchoAndMix(echo_lines_[0].data(), echo_lines_[1].data(), echo_write_.data(),
                      active_taps_[0].data(), active_count_[0], active_taps_[1].data(),
                      active_count_[1], frame);
  }
  if (batch_frame_ == 0) {
    SumBatch({echo_lines_[0].data(), active_taps_[0].data(), active_count_[0], echo_write_[0],
              echo_batch_[0].data()},
             {echo_lines_[1].data(), active_taps_[1].data(), active_count_[1], echo_write_[1],
              echo_batch_[1].data()});
  }
  StoreBands(echo_lines_.data(), echo_write_.data(), frame, first_heard_, end_heard_);
  const StereoSample wet =
      MixEchoes(frame, echo_batch_[0][batch_frame_], echo_batch_[1][batch_frame_]);
  batch_frame_ = (batch_frame_ + 1) % kEchoBatch;
  return wet;
}

StageOutput EchoWidenerStage::Process(float left, float right) noexcept {
  if (ahead_) {
    const StereoSample direct = PreStageAhead({left, right}, band_left_, band_right_);
    return {Echo(direct, band_left_, band_right_), direct};
  }
  const StereoSample direct = PreStage({left, right});
  convolver_.Process(direct.left, direct.right, band_left_.data(), band_right_.data());
  return {Echo(direct, band_left_, band_right_), direct};
}

// The pre-stage, the band filters and the echoes are separate objects, each fed its frames in
// order, so running each across the block in turn gives the bits of frame after frame; each
// pass is a loop of independent calls that overlap in the CPU rather than one long chain.
void EchoWidenerStage::ProcessBlock(const StereoSample* in, StageOutput* out,
                                    size_t frames) noexcept {
  for (size_t done = 0; done < frames; done += kMaxStageBlock) {
    const size_t n = std::min(kMaxStageBlock, frames - done);
    if (ahead_) {
      for (size_t i = 0; i < n; ++i) {
        out[done + i].dry = PreStageAhead(in[done + i], block_left_[i], block_right_[i]);
      }
    } else {
      for (size_t i = 0; i < n; ++i) out[done + i].dry = PreStage(in[done + i]);
      for (size_t i = 0; i < n; ++i) {
        const StereoSample d = out[done + i].dry;
        convolver_.Process(d.left, d.right, block_left_[i].data(), block_right_[i].data());
      }
    }
    for (size_t i = 0; i < n; ++i) {
      out[done + i].wet = Echo(out[done + i].dry, block_left_[i], block_right_[i]);
    }
  }
}

}  // namespace halvex
