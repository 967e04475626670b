// Where the offline loop puts its frames: the interface, and a sink that streams a float WAV file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/output_file.h"
#include "cli/wav_io.h"

namespace halvex {

class AudioSink {
 public:
  virtual ~AudioSink() = default;
  virtual void Write(const float* samples, size_t frames, int channels) = 0;
  // Delivers everything written; false on failure.
  virtual bool Finish() = 0;
  // Why the sink failed; empty while all is well.
  virtual const std::string& error() const;
};

// Writes the 32-bit float file as frames arrive, through an OutputFile: the destination only
// changes when Finish succeeds. The header is written first from the expected length and
// corrected at the end, so an unseekable destination is right whenever the expectation was.
class WavSink : public AudioSink {
 public:
  WavSink(std::string path, int sample_rate, int channels = 2, uint64_t expected_frames = 0);
  bool ok() const { return error_.empty(); }
  void Write(const float* samples, size_t frames, int channels) override;
  bool Finish() override;
  const std::string& error() const override { return error_; }

 private:
  bool Flush();

  std::string path_;
  int sample_rate_;
  int channels_;
  OutputFile file_;
  std::unique_ptr<uint8_t[]> pending_;  // bytes not yet written: the first pending_size_
  size_t pending_size_ = 0;
  uint64_t data_bytes_ = 0;
  bool header_written_ = false;
  std::vector<uint8_t> header_;   // as written first
  std::string error_;
};

}  // namespace halvex
