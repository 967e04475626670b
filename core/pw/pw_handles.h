// Owners for PipeWire handles: each frees its handle when it goes. Held as members declared in
// the order the handles are made, they are freed in reverse order, and an early return cannot
// leak one. A listener is declared after the object it listens to, so it is removed first.
#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <pipewire/stream.h>

#include <memory>
#include <utility>

namespace halvex {

struct PwMainLoopDeleter {
  void operator()(pw_main_loop* loop) const noexcept { pw_main_loop_destroy(loop); }
};
struct PwContextDeleter {
  void operator()(pw_context* context) const noexcept { pw_context_destroy(context); }
};
struct PwCoreDeleter {
  void operator()(pw_core* core) const noexcept { pw_core_disconnect(core); }
};
struct PwFilterDeleter {
  void operator()(pw_filter* filter) const noexcept { pw_filter_destroy(filter); }
};
struct PwStreamDeleter {
  void operator()(pw_stream* stream) const noexcept { pw_stream_destroy(stream); }
};
struct PwPropertiesDeleter {
  void operator()(pw_properties* properties) const noexcept { pw_properties_free(properties); }
};
// Registries, metadata and plain proxies are all destroyed as proxies.
struct PwProxyDeleter {
  template <typename T>
  void operator()(T* proxy) const noexcept {
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(proxy));
  }
};

using PwMainLoopPtr = std::unique_ptr<pw_main_loop, PwMainLoopDeleter>;
using PwContextPtr = std::unique_ptr<pw_context, PwContextDeleter>;
using PwCorePtr = std::unique_ptr<pw_core, PwCoreDeleter>;
using PwFilterPtr = std::unique_ptr<pw_filter, PwFilterDeleter>;
using PwStreamPtr = std::unique_ptr<pw_stream, PwStreamDeleter>;
using PwPropertiesPtr = std::unique_ptr<pw_properties, PwPropertiesDeleter>;
template <typename T>
using PwProxyPtr = std::unique_ptr<T, PwProxyDeleter>;

// A timer, signal or event source, destroyed on the loop it was added to.
class PwLoopSource {
 public:
  PwLoopSource() = default;
  PwLoopSource(pw_loop* loop, spa_source* source) : loop_(loop), source_(source) {}
  PwLoopSource(PwLoopSource&& other) noexcept
      : loop_(other.loop_), source_(std::exchange(other.source_, nullptr)) {}
  PwLoopSource& operator=(PwLoopSource&& other) noexcept {
    if (this != &other) {
      Reset();
      loop_ = other.loop_;
      source_ = std::exchange(other.source_, nullptr);
    }
    return *this;
  }
  ~PwLoopSource() { Reset(); }

  void Reset() noexcept {
    if (source_ != nullptr) pw_loop_destroy_source(loop_, source_);
    source_ = nullptr;
  }
  spa_source* get() const noexcept { return source_; }
  explicit operator bool() const noexcept { return source_ != nullptr; }

 private:
  pw_loop* loop_ = nullptr;
  spa_source* source_ = nullptr;
};

// A listener hook; removed when this goes or on Remove. Its address is registered with the
// object, so it never moves.
class PwListener {
 public:
  PwListener() = default;
  PwListener(const PwListener&) = delete;
  PwListener& operator=(const PwListener&) = delete;
  ~PwListener() { Remove(); }

  spa_hook* hook() noexcept { return &hook_; }
  // Idempotent: a hook is never unlinked twice.
  void Remove() noexcept {
    if (hook_.link.next != nullptr) spa_hook_remove(&hook_);
    hook_ = spa_hook{};
  }

 private:
  spa_hook hook_{};
};

}  // namespace halvex
