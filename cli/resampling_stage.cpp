#include "cli/resampling_stage.h"

#include <algorithm>

namespace halvex {
namespace {

// The resamplers are fed in chunks of this many frames whatever the engine's block size, so the
// output is the same for every --block.
constexpr size_t kChunkFrames = 4096;

}  // namespace

ResampledSource::ResampledSource(AudioSource& inner, int engine_rate, bool pad_for_return)
    : inner_(inner),
      engine_rate_(engine_rate),
      pad_for_return_(pad_for_return),
      channels_(static_cast<size_t>(std::max(inner.Format().channels, 0))),
      resampler_(inner.Format().sample_rate, engine_rate, inner.Format().channels),
      chunk_(kChunkFrames * channels_) {}

AudioFormat ResampledSource::Format() const { return AudioFormat{engine_rate_, inner_.Format().channels}; }

std::optional<uint64_t> ResampledSource::ExpectedFrames() const {
  const std::optional<uint64_t> frames = inner_.ExpectedFrames();
  if (!frames) return std::nullopt;
  return *frames * static_cast<uint64_t>(engine_rate_) / static_cast<uint64_t>(inner_.Format().sample_rate);
}

void ResampledSource::Refill() {
  converted_.erase(converted_.begin(), converted_.begin() + static_cast<std::ptrdiff_t>(converted_at_ * channels_));
  converted_at_ = 0;
  while (converted_.empty() && !ended_) {
    const size_t n = inner_.Read(chunk_.data(), kChunkFrames);
    input_frames_ += n;
    if (n > 0) {
      resampler_.Process(chunk_.data(), n, converted_);
      continue;
    }
    ended_ = true;
    resampler_.Flush(converted_);
    if (pad_for_return_) {
      // Two file frames beyond the end, in engine frames rounded up: converting back then rounds
      // to at least the file's length.
      const uint64_t rate = static_cast<uint64_t>(inner_.Format().sample_rate);
      padded_length_ = ((input_frames_ + 2) * static_cast<uint64_t>(engine_rate_) + rate - 1) / rate;
    } else {
      padded_length_ = delivered_ + converted_.size() / std::max<size_t>(channels_, 1);
    }
  }
}

size_t ResampledSource::Read(float* out, size_t frames) {
  if (!resampler_.ok() || channels_ == 0) return 0;
  if (converted_at_ * channels_ >= converted_.size()) Refill();
  const size_t available = converted_.size() / channels_ - converted_at_;
  size_t n = std::min(frames, available);
  std::copy_n(converted_.data() + converted_at_ * channels_, n * channels_, out);
  converted_at_ += n;
  if (n == 0 && ended_ && delivered_ < padded_length_) {
    n = static_cast<size_t>(std::min<uint64_t>(frames, padded_length_ - delivered_));
    std::fill_n(out, n * channels_, 0.0f);
  }
  delivered_ += n;
  return n;
}

ResampledSink::ResampledSink(AudioSink& inner, const ResampledSource& clock, int engine_rate, int file_rate,
                             int channels)
    : inner_(inner),
      clock_(clock),
      channels_(static_cast<size_t>(std::max(channels, 0))),
      resampler_(engine_rate, file_rate, channels) {}

void ResampledSink::Pass(const float* samples, size_t frames) {
  // Until the file has ended its length is open; the output never runs ahead of the input anyway.
  if (clock_.InputEnded()) frames = static_cast<size_t>(std::min<uint64_t>(frames, clock_.InputFrames() - std::min(clock_.InputFrames(), written_)));
  if (frames == 0) return;
  inner_.Write(samples, frames, static_cast<int>(channels_));
  written_ += frames;
}

void ResampledSink::Convert(bool flush) {
  converted_.clear();
  const size_t whole = flush ? pending_.size() : pending_.size() / (kChunkFrames * channels_) * kChunkFrames * channels_;
  for (size_t at = 0; at < whole; at += kChunkFrames * channels_) {
    const size_t n = std::min(kChunkFrames * channels_, whole - at) / channels_;
    resampler_.Process(pending_.data() + at, n, converted_);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
  if (flush) resampler_.Flush(converted_);
  Pass(converted_.data(), converted_.size() / channels_);
}

void ResampledSink::Write(const float* samples, size_t frames, int channels) {
  if (channels_ == 0 || static_cast<size_t>(channels) != channels_) return;
  pending_.insert(pending_.end(), samples, samples + frames * channels_);
  if (pending_.size() >= kChunkFrames * channels_) Convert(false);
}

bool ResampledSink::Finish() {
  if (channels_ > 0) {
    Convert(true);
    // Never expected (the source padded for it), but the promise is the file's own frame count.
    const std::vector<float> silence(kChunkFrames * channels_, 0.0f);
    while (clock_.InputEnded() && written_ < clock_.InputFrames()) {
      Pass(silence.data(), kChunkFrames);
    }
  }
  return inner_.Finish();
}

}  // namespace halvex
