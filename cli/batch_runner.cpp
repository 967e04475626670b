#include "cli/batch_runner.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/audio_files.h"
#include "cli/offline_runner.h"
#include "cli/progress_line.h"

namespace halvex {
namespace {

constexpr std::chrono::milliseconds kPrintInterval{100};

struct FileResult {
  std::vector<std::string> lines;
  bool ok = false;
  bool done = false;
};

size_t Cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

bool ParseCount(const std::string& text, size_t low, size_t high, size_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return false;
  value = std::strtoul(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

// mkdir -p: every missing folder on the way.
bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool ParseBatchOptions(const std::vector<std::string>& words, BatchOptions& options, std::string& error) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--no-resample") {
      options.settings.resample = false;
      continue;
    }
    if (word == "--loudness") {
      options.settings.loudness = true;
      continue;
    }
    const bool takes_value = word == "--out-dir" || word == "--config" || word == "--jobs" || word == "--format" ||
                             word == "--block";
    if (!takes_value) {
      if (word.rfind("--", 0) == 0 && word.size() > 2) {
        error = "unknown option: " + word;
        return false;
      }
      if (word == "--") {  // everything after is a file, even "--x"
        options.files.insert(options.files.end(), words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
        break;
      }
      options.files.push_back(word);
      continue;
    }
    if (i + 1 >= words.size()) {
      error = "missing value for " + word;
      return false;
    }
    const std::string& value = words[++i];
    if (word == "--out-dir") {
      options.out_dir = value;
    } else if (word == "--config") {
      options.config_path = value;
    } else if (word == "--format") {
      options.format = value;
    } else if (word == "--jobs" && !ParseCount(value, 1, kMaxJobs, options.jobs)) {
      error = "--jobs needs a number from 1 to " + std::to_string(kMaxJobs) + ": " + value;
      return false;
    } else if (word == "--block" && !ParseCount(value, 0, kMaxBlockFrames, options.settings.block)) {
      error = "--block needs a number from 0 to " + std::to_string(kMaxBlockFrames) + ": " + value;
      return false;
    }
  }
  if (options.out_dir.empty()) {
    error = "render needs --out-dir DIR";
    return false;
  }
  if (options.files.empty()) {
    error = "render needs at least one file";
    return false;
  }
  if (!options.format.empty()) {
    OutputKind kind;
    const std::string extension = options.format[0] == '.' ? options.format : "." + options.format;
    if (!OutputKindFor("x" + extension, kind, error)) return false;
  }
  return true;
}

std::string BatchOutputPath(const std::string& out_dir, const std::string& input, const std::string& format) {
  std::string name = BaseName(input);
  if (!format.empty()) {
    name.resize(name.size() - ExtensionOf(name).size());
    name += format[0] == '.' ? format : "." + format;
  }
  return (out_dir.size() > 1 && out_dir.back() == '/' ? out_dir.substr(0, out_dir.size() - 1) : out_dir) + "/" + name;
}

int RunBatch(const BatchOptions& options) {
  const size_t count = options.files.size();
  ProgressLine progress(STDERR_FILENO, count);
  if (!MakeFolders(options.out_dir)) {
    progress.Print("error: cannot create folder: " + options.out_dir);
    return 1;
  }
  std::string config_line;
  const ProcessorConfig config = LoadOfflineConfig(options.config_path, &config_line);
  if (!config_line.empty()) progress.Print(config_line);

  // Outputs are planned up front: two files with one output name would race for it, and a render
  // over its own input would destroy the music it reads.
  std::vector<std::string> outputs(count);
  std::vector<FileResult> results(count);
  std::vector<size_t> queue;
  for (size_t i = 0; i < count; ++i) {
    const std::string& input = options.files[i];
    outputs[i] = BatchOutputPath(options.out_dir, input, options.format);
    const auto earlier = std::find(outputs.begin(), outputs.begin() + static_cast<std::ptrdiff_t>(i), outputs[i]);
    if (earlier != outputs.begin() + static_cast<std::ptrdiff_t>(i)) {
      results[i].lines = {"error: " + input + ": same output name as an earlier file: " + outputs[i]};
      results[i].done = true;
    } else if (SameFile(input, outputs[i])) {
      results[i].lines = {"error: " + input + ": output would replace its input: " + outputs[i]};
      results[i].done = true;
    } else {
      queue.push_back(i);
    }
  }

  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t q = next.fetch_add(1); q < queue.size(); q = next.fetch_add(1)) {
      const size_t i = queue[q];
      const std::string& input = options.files[i];
      FileResult result;
      const LineOut say = [&](const std::string& line) {
        // Errors that do not name the input get it in front, so a batch says which file failed.
        if (line.rfind("error: ", 0) == 0 && line.find(input) == std::string::npos) {
          result.lines.push_back("error: " + input + ": " + line.substr(7));
        } else {
          result.lines.push_back(line);
        }
      };
      const ProgressOut report = [&](double fraction, double seconds) { progress.Report(i, fraction, seconds); };
      try {
        result.ok = RenderFile(input, outputs[i], options.settings, [&] { return config; }, say, report);
      } catch (const std::bad_alloc&) {
        say("error: out of memory: " + input);
      }
      progress.FileDone(i);
      std::lock_guard<std::mutex> lock(mutex);
      result.done = true;
      results[i] = std::move(result);
      finished.notify_one();
    }
  };
  const size_t jobs = std::min(options.jobs == 0 ? Cores() : options.jobs, queue.size());
  std::vector<std::thread> workers;
  for (size_t j = 0; j < jobs; ++j) workers.emplace_back(work);

  // This thread prints: each file's lines in the order given, as soon as those before it are out.
  bool failed = false;
  size_t printed = 0;
  std::unique_lock<std::mutex> lock(mutex);
  while (printed < count) {
    while (printed < count && results[printed].done) {
      const FileResult result = std::move(results[printed]);
      lock.unlock();
      for (const std::string& line : result.lines) progress.Print(line);
      failed = failed || !result.ok;
      ++printed;
      lock.lock();
    }
    if (printed == count) break;
    finished.wait_for(lock, kPrintInterval);
    lock.unlock();
    progress.Tick();
    lock.lock();
  }
  lock.unlock();
  for (std::thread& worker : workers) worker.join();
  progress.Clear();
  return failed ? 1 : 0;
}

}  // namespace halvex
