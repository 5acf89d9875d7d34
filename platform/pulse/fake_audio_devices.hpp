#pragma once
// An in-process audio server for tests: a list of sources, a default, and counters of the questions
// asked. Any call can be made to fail.
#include <mutex>

#include "platform/pulse/audio_devices.hpp"

namespace tavlo {

class FakeAudioDevices final : public AudioDevices {
 public:
  std::optional<std::vector<AudioSource>> sources() override {
    std::lock_guard guard(mutex_);
    ++sourceQueries;
    if (failSources) return std::nullopt;
    return list;
  }
  std::optional<std::string> defaultSource() override {
    std::lock_guard guard(mutex_);
    if (failDefault || defaultName.empty()) return std::nullopt;
    return defaultName;
  }
  bool setDefaultSource(const std::string& name) override {
    std::lock_guard guard(mutex_);
    ++defaultChanges;
    if (failSetDefault) return false;
    defaultName = name;
    return true;
  }

  // Set by the test before the code under test runs, read after it.
  std::vector<AudioSource> list;
  std::string defaultName;
  bool failSources = false;
  bool failDefault = false;
  bool failSetDefault = false;
  int sourceQueries = 0;
  int defaultChanges = 0;

 private:
  std::mutex mutex_;
};

}  // namespace tavlo
