// Notices when the active output device changes and says so, from a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace halvex {

// Polls rather than hooking the router: the router decides on the main loop, and what follows a
// change (a preset load, a file save) must not run there.
class DeviceWatch {
 public:
  using Reader = std::function<std::string()>;
  using Handler = std::function<void(const std::string&)>;

  static constexpr std::chrono::milliseconds kPollInterval{100};

  DeviceWatch(Reader read, Handler changed);
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // `changed` runs on the watch thread whenever the read value differs from the last non-empty
  // one, the first non-empty value included. The empty value (no device) is not reported.
  void Start();
  void Stop();

 private:
  void Loop();

  Reader read_;
  Handler changed_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace halvex
