#pragma once
// The camera and microphone quality rungs each device last reached, remembered for the process's life
// so that a returning device starts near where it left off. One object per process, handed to each
// session. Its lock is its own: a session never takes it while it holds its own mutex.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vela {

class RungMemory {
 public:
  enum class Device : uint8_t { camera, microphone };

  // The remembered rung of the device for the link device key; nothing when it has none.
  std::optional<int64_t> rung(Device device, const std::string& deviceKey) const {
    std::lock_guard guard(mutex_);
    const auto& memory = device == Device::camera ? camera_ : microphone_;
    auto it = memory.find(deviceKey);
    if (it == memory.end()) return std::nullopt;
    return it->second;
  }
  void remember(Device device, const std::string& deviceKey, int64_t rung) {
    std::lock_guard guard(mutex_);
    (device == Device::camera ? camera_ : microphone_)[deviceKey] = rung;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, int64_t> camera_;
  std::map<std::string, int64_t> microphone_;
};

}  // namespace vela
