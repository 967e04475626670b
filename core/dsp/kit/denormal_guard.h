// Sets flush-to-zero and denormals-are-zero for the current thread while alive.
#pragma once

namespace halvex {

// Recursive filters decaying after loud input would otherwise crawl through subnormal values:
// slow on x86 and never exactly silent. Wrap every processing run (offline block loop, the
// real-time callback) in one of these so offline and live renders agree.
class DenormalGuard {
 public:
  DenormalGuard() noexcept;
  ~DenormalGuard();
  DenormalGuard(const DenormalGuard&) = delete;
  DenormalGuard& operator=(const DenormalGuard&) = delete;

 private:
  unsigned int saved_ = 0;
};

}  // namespace halvex
