#include "daemon/line_collector.h"

#include <algorithm>

namespace halvex {

LineCollector::State LineCollector::Add(const char* data, size_t size) {
  if (state_ != State::kWaiting) return state_;
  const size_t before = received_.size();
  received_.append(data, std::min(size, Room()));
  const size_t end = received_.find('\n', before);
  if (end != std::string::npos) {
    received_.resize(end);
    state_ = State::kComplete;
  } else if (received_.size() > max_bytes_) {
    state_ = State::kTooLong;
  }
  return state_;
}

LineCollector::State LineCollector::End() {
  if (state_ == State::kWaiting) state_ = State::kComplete;
  return state_;
}

}  // namespace halvex
