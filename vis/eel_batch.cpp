// The batched interpreter: one lowered program run over many lanes at once, each operation a
// loop over the lanes so that the compiler can vectorise it.
#include <algorithm>

#include "vis/eel.h"
#include "vis/eel_builtins.h"

namespace halvex::vis {

namespace {

constexpr size_t N = Program::kBatchSize;

// One run over a batch: stack entry d holds one value per lane at stack + N * d.
class BatchRun {
 public:
  explicit BatchRun(const Program::Batch& b) : b_(b), n_(std::min(b.count, N)), top_(b.stack) {}

  void Step(const FastOp& f) {
    switch (f.op) {
      case kFPush:
        Push();
        std::fill(top_, top_ + n_, f.value);
        break;
      case kFLoad: Load(f.slot); break;
      case kFStore: std::copy(top_, top_ + n_, Lane(f.slot)); break;
      case kFStorePop:
        std::copy(top_, top_ + n_, Lane(f.slot));
        Pop(1);
        break;
      case kFPop: Pop(1); break;
      case kFNegate:
        for (size_t k = 0; k < n_; ++k) top_[k] = -top_[k];
        break;
      case kFArith: Arith(f.code); break;
      case kFAddC:
      case kFSubC:
      case kFMulC:
      case kFDivC: WithConstant(f.op, f.value); break;
      case kFAddV:
      case kFSubV:
      case kFMulV:
      case kFDivV: WithVariable(f.op, f.slot); break;
      case kFCall: Call(f.code, f.argc); break;
      case kFUnsupported:
        Pop(f.argc);
        Push();
        std::fill(top_, top_ + n_, 0.0);
        break;
      default:
        break;
    }
  }

 private:
  double* Lane(uint32_t slot) const { return b_.lanes + static_cast<size_t>(slot) * N; }
  void Push() { top_ = b_.stack + N * depth_++; }
  void Pop(size_t count) {
    depth_ -= count;
    top_ = b_.stack + N * (depth_ > 0 ? depth_ - 1 : 0);
  }

  void Load(uint32_t slot) {
    Push();
    if (b_.is_lane[slot]) {
      std::copy(Lane(slot), Lane(slot) + n_, top_);
    } else {
      std::fill(top_, top_ + n_, b_.scalars[slot]);
    }
  }

  void Arith(uint8_t code) {
    double* a = top_ - N;
    switch (code) {
      case kAdd: for (size_t k = 0; k < n_; ++k) a[k] += top_[k]; break;
      case kSub: for (size_t k = 0; k < n_; ++k) a[k] -= top_[k]; break;
      case kMul: for (size_t k = 0; k < n_; ++k) a[k] *= top_[k]; break;
      default: for (size_t k = 0; k < n_; ++k) a[k] = EelArith(code, a[k], top_[k]); break;
    }
    Pop(1);
  }

  void WithConstant(uint8_t op, double value) {
    switch (op) {
      case kFAddC: for (size_t k = 0; k < n_; ++k) top_[k] += value; break;
      case kFSubC: for (size_t k = 0; k < n_; ++k) top_[k] -= value; break;
      case kFMulC: for (size_t k = 0; k < n_; ++k) top_[k] *= value; break;
      default:
        for (size_t k = 0; k < n_; ++k) top_[k] = value == 0.0 ? 0.0 : top_[k] / value;
        break;
    }
  }

  void WithVariable(uint8_t op, uint32_t slot) {
    // A variable that is not a lane is the same for every lane: broadcast it.
    double scalar[N];
    const double* v = Lane(slot);
    if (!b_.is_lane[slot]) {
      std::fill(scalar, scalar + n_, b_.scalars[slot]);
      v = scalar;
    }
    switch (op) {
      case kFAddV: for (size_t k = 0; k < n_; ++k) top_[k] += v[k]; break;
      case kFSubV: for (size_t k = 0; k < n_; ++k) top_[k] -= v[k]; break;
      case kFMulV: for (size_t k = 0; k < n_; ++k) top_[k] *= v[k]; break;
      default:
        for (size_t k = 0; k < n_; ++k) top_[k] = v[k] == 0.0 ? 0.0 : top_[k] / v[k];
        break;
    }
  }

  void Call(uint8_t code, uint8_t argc) {
    double* base = top_ - static_cast<size_t>(argc - 1) * N;
    // Every lane starts its run with the same generator state, so each sees the same draw.
    uint32_t after = rng_;
    for (size_t k = 0; k < n_; ++k) {
      double args[3] = {0.0, 0.0, 0.0};
      for (size_t a = 0; a < argc && a < 3; ++a) args[a] = base[a * N + k];
      uint32_t state = rng_;
      base[k] = EelCall(code, args, state);
      after = state;
    }
    rng_ = after;
    Pop(argc - 1u);
  }

  const Program::Batch& b_;
  const size_t n_;
  size_t depth_ = 0;  // stack entries in use
  double* top_;       // lane 0 of the top entry (meaningful while depth_ > 0)
  uint32_t rng_ = 22222;
};

}  // namespace

bool Program::RunBatch(const Batch& batch) const noexcept {
  if (!fast_ok_) return false;
  BatchRun run(batch);
  for (const FastOp& f : fast_) run.Step(f);
  return true;
}

}  // namespace halvex::vis
