// Small files that the daemon reads and replaces whole: the configuration, and any other state it
// keeps beside it. One place for how such a file is read and how it is replaced.
#pragma once

#include <cstddef>
#include <string>

namespace halvex {

// Reads the whole file at `path` into `text` when it holds at most `max_bytes` bytes.
// False when it cannot be opened or read, or is larger; `text` is then unspecified.
bool ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string& text);

// Replaces the file at `path` with `text` atomically and durably: the parent folder is created
// when missing, the text written to a temporary file beside it, synced, then renamed over it.
// False with one line in `error` when anything failed; the file is then as it was.
bool ReplaceFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace halvex
