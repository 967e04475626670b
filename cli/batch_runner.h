// Rendering many files into one folder on several worker threads: `halvex render --out-dir DIR ...`.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/render_job.h"

namespace halvex {

constexpr size_t kMaxJobs = 256;

struct BatchOptions {
  std::string out_dir;
  std::string config_path;
  std::string format;  // extension for every output ("flac" or ".flac"); empty: each input's own
  size_t jobs = 0;     // 0: one per core
  RenderSettings settings;
  std::vector<std::string> files;
};

// The words after "render". Errors are one line: "unknown option: --x", "--jobs needs a number
// from 1 to 256: x", "missing value for --out-dir", ...
bool ParseBatchOptions(const std::vector<std::string>& words, BatchOptions& options, std::string& error);

// Where a file's render goes: the folder, the file's own name, and the format's extension if given.
std::string BatchOutputPath(const std::string& out_dir, const std::string& input, const std::string& format);

// Renders every file, each with its own engine, and prints each file's lines in the order given
// while the others go on. Returns 1 when any file failed, else 0.
int RunBatch(const BatchOptions& options);

}  // namespace halvex
