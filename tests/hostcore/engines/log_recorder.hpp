#pragma once
// Collects the lines an engine logs, from whatever thread it logs on.
#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vela {

class LogRecorder {
 public:
  std::function<void(const std::string&)> sink() {
    return [this](const std::string& line) {
      std::lock_guard guard(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }
  // Lines that begin with `prefix`.
  std::vector<std::string> startingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& line : lines()) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace vela
