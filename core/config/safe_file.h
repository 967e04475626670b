// Small files that the daemon reads and replaces whole: the configuration, and any other state it
// keeps beside it. One place for how such a file is read and how it is replaced.
#pragma once

#include <cstddef>
#include <string>

namespace halvex {

// How reading a small file went.
enum class SmallFileRead {
  kOk,
  kCannotOpen,   // missing, unreadable, a folder
  kNotRegular,   // a FIFO, socket or device: never read, as it could block or never end
  kTooLarge,     // more than the caller's limit
  kReadFailed,
};

// Reads the whole regular file at `path` into `text` when it holds at most `max_bytes` bytes.
// Never blocks on a FIFO or device: those are refused at once. `text` is unspecified unless kOk.
SmallFileRead ReadSmallFileChecked(const std::string& path, std::size_t max_bytes, std::string& text);

// The same, as a yes or no.
bool ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string& text);

// Creates a new file, open for reading and writing, named `stem` + 8 random hex digits + `suffix`;
// the name goes to `name`. Exclusive and never through a link: a link, FIFO or file someone
// planted at a guessable name is left alone. Mode 0666 before the umask. -1 on failure.
int CreateUniqueFile(const std::string& stem, const std::string& suffix, std::string& name);

// Replaces the file at `path` with `text` atomically and durably: the parent folder is created
// when missing, the text written to a new temporary file of a unique name beside it (created
// exclusively, never through a link or into something already there), synced, then renamed over
// `path` itself (a link at `path` is replaced, its target left alone).
// False with one line in `error` when anything failed; the file is then as it was.
bool ReplaceFileAtomically(const std::string& path, const std::string& text, std::string& error);
// The same, with the system's reason appended to the message (": No space left on device"), for
// files whose messages may say more than the configuration file's fixed texts.
bool ReplaceFileAtomicallyWithReason(const std::string& path, const std::string& text,
                                     std::string& error);

}  // namespace halvex
