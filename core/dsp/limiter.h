// A cubic soft clipper that meets its ceiling with zero slope at 1.5 x ceiling.
#pragma once

namespace halvex {

class SoftClipLimiter {
 public:
  void SetCeiling(float ceiling_db);
  float Process(float x) const noexcept {
    if (x >= knee_) return ceiling_;
    if (x <= -knee_) return -ceiling_;
    return x * (1.0f - coefficient_ * x * x);
  }
  float ceiling() const { return ceiling_; }
  float knee() const { return knee_; }
  float coefficient() const { return coefficient_; }

 private:
  float ceiling_ = 1.0f;
  float knee_ = 1.0f;
  float coefficient_ = 0.0f;
};

}  // namespace halvex
