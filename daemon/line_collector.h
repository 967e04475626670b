// One command line, put together from the bytes a client sends in whatever pieces they arrive.
#pragma once

#include <cstddef>
#include <string>

namespace halvex {

// A line longer than the limit is refused whole rather than cut: a cut line could still read as
// a different, valid command.
class LineCollector {
 public:
  enum class State { kWaiting, kComplete, kTooLong };

  explicit LineCollector(size_t max_bytes) : max_bytes_(max_bytes) {}

  // How many bytes are worth reading next: enough to see the line end or to know the line is too
  // long, and none once the line is settled. Bytes after the line end are not part of it.
  size_t Room() const { return state_ == State::kWaiting ? max_bytes_ + 1 - received_.size() : 0; }
  // Takes bytes just received; at most Room() of them are looked at.
  State Add(const char* data, size_t size);
  // The client finished sending: what arrived so far is the whole line.
  State End();

  State state() const { return state_; }
  // The line without its end; meaningful once the state is kComplete.
  const std::string& line() const { return received_; }

 private:
  size_t max_bytes_;
  std::string received_;
  State state_ = State::kWaiting;
};

}  // namespace halvex
