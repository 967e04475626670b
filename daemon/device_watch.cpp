#include "daemon/device_watch.h"

#include <utility>

namespace halvex {

DeviceWatch::DeviceWatch(Reader read, Handler changed)
    : read_(std::move(read)), changed_(std::move(changed)) {}

DeviceWatch::~DeviceWatch() { Stop(); }

void DeviceWatch::Start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { Loop(); });
}

void DeviceWatch::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DeviceWatch::Loop() {
  std::string last;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    const std::string now = read_();
    // A moment without any device is no change: the settings still belong to the last one.
    if (!now.empty() && now != last) {
      changed_(now);
      last = now;
    }
    lock.lock();
    wake_.wait_for(lock, kPollInterval, [this] { return stopping_; });
  }
}

}  // namespace halvex
