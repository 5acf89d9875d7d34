#pragma once
// An update engine the test drives: it records checks and reports whatever the test says, at once.
#include <optional>
#include <string>

#include "host/update/update_engine.hpp"

namespace tavlo::testkit {

class FakeUpdateEngine final : public UpdateEngine {
 public:
  std::optional<UpdateStartRefusal> startError;
  bool busy = false;
  int checks = 0;
  int installs = 0;
  UpdateEngineEvents events;

  std::optional<UpdateStartRefusal> start(UpdateEngineEvents e) override {
    if (startError) return startError;
    events = std::move(e);
    return std::nullopt;
  }
  bool sessionInProgress() const override { return busy; }
  void checkInBackground() override { ++checks; }

  void find(const std::string& display, const std::string& version) { events.found({display, version}); }
  void noUpdate() { events.noUpdate(); }
  void fail(int code, const std::string& text) { events.failed({code, text}); }
  void ready() {
    events.readyToInstall([this] { ++installs; });
  }
};

}  // namespace tavlo::testkit
