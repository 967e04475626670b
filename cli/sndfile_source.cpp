#include "cli/sndfile_source.h"

#include <cctype>

#include <sndfile.h>

#include "cli/input_file.h"

namespace halvex {

std::string SndfileMessage(SNDFILE* file) {
  std::string text = sf_strerror(file);
  for (const char* prefix : {"Error : ", "Error: "}) {
    if (text.rfind(prefix, 0) == 0) text.erase(0, std::string(prefix).size());
  }
  while (!text.empty() && (text.back() == '.' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

void SndfileSource::Closer::operator()(SNDFILE* file) const { sf_close(file); }

SndfileSource::SndfileSource(const std::string& path) : path_(path) {
  struct stat st {};
  const int fd = OpenInputFile(path, st);
  if (fd < 0) {
    error_ = "cannot open: " + path;
    return;
  }
  OpenDescriptor(fd);
}

SndfileSource::SndfileSource(int fd, const std::string& name) : path_(name) { OpenDescriptor(fd); }

void SndfileSource::OpenDescriptor(int fd) {
  SF_INFO info{};
  file_.reset(sf_open_fd(fd, SFM_READ, &info, SF_TRUE));
  if (!file_ || info.channels <= 0 || info.samplerate <= 0) {
    error_ = "cannot decode: " + path_ + " (" + (file_ ? "no channels" : SndfileMessage(nullptr)) + ")";
    file_.reset();  // a failed open has closed fd already
    return;
  }
  mono_ = info.channels == 1;
  format_ = AudioFormat{info.samplerate, mono_ ? 2 : info.channels};
  // Streams whose length is unknown (a cut Ogg file) report the largest count.
  if (info.frames >= 0 && info.frames != SF_COUNT_MAX) expected_ = static_cast<uint64_t>(info.frames);
}

AudioFormat SndfileSource::Format() const { return format_; }

size_t SndfileSource::Read(float* out, size_t frames) {
  if (!file_ || !error_.empty() || frames == 0) return 0;
  const sf_count_t got = sf_readf_float(file_.get(), out, static_cast<sf_count_t>(frames));
  // A short read is the end of the stream or a decoder that gave up: only the latter sets an error.
  if (got < static_cast<sf_count_t>(frames) && sf_error(file_.get()) != SF_ERR_NO_ERROR) {
    error_ = "cannot decode: " + path_ + " (" + SndfileMessage(file_.get()) + ")";
  }
  if (got <= 0) return 0;
  const size_t n = static_cast<size_t>(got);
  if (mono_) SpreadMonoInPlace(out, n);
  return n;
}

}  // namespace halvex
