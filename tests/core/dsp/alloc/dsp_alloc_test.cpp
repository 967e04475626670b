// Proves the audio path allocation-free: every heap allocation made while a configured Processor
// runs frames is counted, whatever the configuration.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/processor.h"
#include "tests/support/test_signals.h"

#if defined(__SANITIZE_ADDRESS__)
#define HALVEX_SANITIZER_HEAP 1
// From the sanitizer runtime (GCC ships no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));
#endif

#if !defined(HALVEX_SANITIZER_HEAP)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

std::atomic<bool> g_counting{false};
std::atomic<size_t> g_allocations{0};

void Note() {
  if (g_counting.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
}

void* Aligned(size_t alignment, size_t size) {
  Note();
  return __libc_memalign(alignment < sizeof(void*) ? sizeof(void*) : alignment, size);
}

}  // namespace

// The malloc family, forwarded to glibc's own entry points.
extern "C" {
void* malloc(size_t size) {
  Note();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  Note();
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  Note();
  return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) { return Aligned(alignment, size); }
void* aligned_alloc(size_t alignment, size_t size) { return Aligned(alignment, size); }
void* valloc(size_t size) { return Aligned(4096, size); }
void* pvalloc(size_t size) { return Aligned(4096, (size + 4095) & ~size_t{4095}); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = Aligned(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void free(void* p) { __libc_free(p); }
}

// Every replaceable form of operator new and delete.
void* operator new(size_t size) {
  void* p = malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void* operator new(size_t size, std::align_val_t a) {
  void* p = Aligned(static_cast<size_t>(a), size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size, std::align_val_t a) { return operator new(size, a); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Aligned(static_cast<size_t>(a), size == 0 ? 1 : size);
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Aligned(static_cast<size_t>(a), size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }

#else  // HALVEX_SANITIZER_HEAP

namespace {

std::atomic<bool> g_counting{false};
std::atomic<size_t> g_allocations{0};

// AddressSanitizer owns the heap there; its hook sees every malloc and operator new instead.
void CountAllocation(const volatile void*, size_t) {
  if (g_counting.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
}

void IgnoreFree(const volatile void*) {}

// The runtime takes a pair of hooks or none.
[[maybe_unused]] const int g_hooks_installed =
    __sanitizer_install_malloc_and_free_hooks(CountAllocation, IgnoreFree);

}  // namespace

#endif  // HALVEX_SANITIZER_HEAP

namespace halvex {
namespace {

// Counts the allocations made while alive.
class AllocationCounter {
 public:
  AllocationCounter() {
    g_allocations.store(0);
    g_counting.store(true);
  }
  ~AllocationCounter() { g_counting.store(false); }
  size_t Count() const { return g_allocations.load(); }
};

struct Case {
  const char* name;
  std::function<void(ProcessorConfig&)> edit;
};

// Switches on every option the engine has, on top of an algorithm.
void EverythingOn(ProcessorConfig& c) {
  c.render_target = RenderTarget::kSpeakers;
  c.wet_dry_ratio = 0.5f;
  c.haas_delay_ms = 12.0f;
  c.haas_channel = 0;
  c.bass = 0.5f;
  c.treble_shelf_db = 4.0f;
  c.stft_expand = 1.0f;
  c.echo_mid_gain = 0.5f;
  c.ambience_spread = 1.0f;
  c.direct_spread = 1.0f;
  c.ambience_depth = 0.5f;
  c.distance = 5.0f;
  c.field_size = 3.0f;
  c.field_level = 0.0f;
  c.air = 1.0f;
  c.envelopment = 0.7f;
  c.recycle = 0.5f;
  c.dimension = 1.0f;
  c.panorama = 1.0f;
  c.centre_width = 1.0f;
}

// One line per configuration; whatever the factory builds for the algorithm is what runs.
const Case kCases[] = {
    {"EchoWidener", [](ProcessorConfig& c) { c.spatial_algorithm = SpatialAlgorithm::kEchoWidener; }},
    {"Experimental", [](ProcessorConfig& c) { c.spatial_algorithm = SpatialAlgorithm::kExperimental; }},
    {"DeepField", [](ProcessorConfig& c) { c.spatial_algorithm = SpatialAlgorithm::kDeepField; }},
    {"MatrixSurround", [](ProcessorConfig& c) { c.spatial_algorithm = SpatialAlgorithm::kMatrixSurround; }},
    {"MatrixSteer", [](ProcessorConfig& c) { c.spatial_algorithm = SpatialAlgorithm::kMatrixSteer; }},
    {"DeepFieldInactive", [](ProcessorConfig& c) { c.distance = 1.0f; c.field_level = -40.0f; }},
    {"EchoWidenerEverythingOn", [](ProcessorConfig& c) { EverythingOn(c); c.spatial_algorithm = SpatialAlgorithm::kEchoWidener; }},
    {"ExperimentalEverythingOn", [](ProcessorConfig& c) { EverythingOn(c); c.spatial_algorithm = SpatialAlgorithm::kExperimental; }},
    {"DeepFieldEverythingOn", [](ProcessorConfig& c) { EverythingOn(c); c.spatial_algorithm = SpatialAlgorithm::kDeepField; }},
    {"MatrixSurroundEverythingOn", [](ProcessorConfig& c) { EverythingOn(c); c.spatial_algorithm = SpatialAlgorithm::kMatrixSurround; }},
    {"MatrixSteerEverythingOn", [](ProcessorConfig& c) { EverythingOn(c); c.spatial_algorithm = SpatialAlgorithm::kMatrixSteer; }},
};

class ProcessPath : public ::testing::TestWithParam<Case> {};

// Loud noise, then silence: covers every spectral frame phase, the limiter and the decay.
std::vector<float> Signal(size_t frames) {
  std::vector<float> v(frames * 2, 0.0f);
  uint32_t s = 99;
  for (size_t i = 0; i < frames / 2; ++i) {  // the second half stays silent
    s = test::LcgStep(s);
    v[2 * i] = 2.0f * test::FullScaleFrom(s);
    v[2 * i + 1] = i % 3 == 0 ? v[2 * i] : -0.5f * v[2 * i];
  }
  return v;
}

TEST_P(ProcessPath, AllocatesNothing) {
  ProcessorConfig config = DefaultConfig();
  GetParam().edit(config);
  Processor processor;
  processor.Configure(config);
  constexpr size_t kFrames = 3 * 48000;
  std::vector<float> block = Signal(kFrames);
  std::vector<float> frames = block;
  DenormalGuard guard;
  size_t count = 0;
  {
    AllocationCounter counter;
    for (size_t i = 0; i < kFrames; ++i) {
      const StereoSample out = processor.ProcessFrame(frames[2 * i], frames[2 * i + 1]);
      frames[2 * i] = out.left;
      frames[2 * i + 1] = out.right;
    }
    for (size_t at = 0; at < kFrames; at += 1000) {
      processor.ProcessBlock(block.data() + 2 * at, std::min<size_t>(1000, kFrames - at), 2);
    }
    count = counter.Count();
  }
  EXPECT_EQ(count, 0u) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(EveryConfiguration, ProcessPath, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

// The counter itself must see allocations, or the tests above could never fail.
void* volatile g_sink = nullptr;

TEST(AllocationCounter, SeesNewMallocAndAlignedAllocations) {
  AllocationCounter counter;
  g_sink = new int(3);
  delete static_cast<int*>(g_sink);
  g_sink = std::malloc(40);
  std::free(g_sink);
  g_sink = ::operator new(64, std::align_val_t{64});
  ::operator delete(g_sink, std::align_val_t{64});
  std::vector<float> v(10);
  g_sink = v.data();
  EXPECT_EQ(counter.Count(), 4u);
}

}  // namespace
}  // namespace halvex
