// Line reading and whole-buffer writing on a connected socket, shared by the daemon and its clients.
#pragma once

#include <cstddef>
#include <string>

namespace halvex {

// Why ReadLine stopped collecting bytes.
enum class ReadEnd {
  kNewline,   // a "\n" arrived (not kept)
  kEndOfFile, // the peer closed
  kLimit,     // max bytes collected; the rest of the line stays unread
  kTimedOut,  // a receive time-out on the descriptor expired
  kError,     // any other read error
};

// Reads one byte at a time until "\n", end of file, a read error or max bytes. Returns what was
// collected; there is no error result.
std::string ReadLine(int fd, size_t max);
// Same, and says why it stopped.
std::string ReadLine(int fd, size_t max, ReadEnd& end);

// Writes every byte of data; false as soon as a write makes no progress. A peer that has gone
// yields false, never SIGPIPE.
bool WriteAll(int fd, const std::string& data);

// Send and receive time-outs, so a silent peer can never hold a reader or writer for ever.
void SetSocketTimeouts(int fd, int ms);

}  // namespace halvex
