#include "core/dsp/kit/denormal_guard.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace halvex {
namespace {

#if defined(__x86_64__) || defined(__i386__)
constexpr unsigned int kFlushBits = 0x8040;  // FTZ (bit 15) | DAZ (bit 6) of MXCSR
unsigned int ReadControl() { return _mm_getcsr(); }
void WriteControl(unsigned int v) { _mm_setcsr(v); }
#elif defined(__aarch64__)
constexpr unsigned int kFlushBits = 1u << 24;  // FPCR.FZ
unsigned int ReadControl() {
  unsigned long v;
  asm volatile("mrs %0, fpcr" : "=r"(v));
  return static_cast<unsigned int>(v);
}
void WriteControl(unsigned int v) {
  unsigned long w = v;
  asm volatile("msr fpcr, %0" : : "r"(w));
}
#else
constexpr unsigned int kFlushBits = 0;
unsigned int ReadControl() { return 0; }
void WriteControl(unsigned int) {}
#endif

}  // namespace

DenormalGuard::DenormalGuard() noexcept : saved_(ReadControl()) { WriteControl(saved_ | kFlushBits); }

DenormalGuard::~DenormalGuard() { WriteControl(saved_); }

}  // namespace halvex
