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

// Frees a handle with `Free`, the library's destroy function for its type.
template <auto Free>
struct PwDeleter {
  template <typename T>
  void operator()(T* handle) const noexcept {
    Free(handle);
  }
};

// Registries, metadata and plain proxies are all destroyed as proxies.
struct PwProxyDeleter {
  template <typename T>
  void operator()(T* proxy) const noexcept {
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(proxy));
  }
};

using PwMainLoopPtr = std::unique_ptr<pw_main_loop, PwDeleter<pw_main_loop_destroy>>;
using PwContextPtr = std::unique_ptr<pw_context, PwDeleter<pw_context_destroy>>;
using PwCorePtr = std::unique_ptr<pw_core, PwDeleter<pw_core_disconnect>>;
using PwFilterPtr = std::unique_ptr<pw_filter, PwDeleter<pw_filter_destroy>>;
using PwStreamPtr = std::unique_ptr<pw_stream, PwDeleter<pw_stream_destroy>>;
using PwPropertiesPtr = std::unique_ptr<pw_properties, PwDeleter<pw_properties_free>>;
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
