#pragma once
// A virtual-display controller on the simulated window server, with a built-in and an external display
// online, in-memory settings and a fake clock that moves itself through every pause the controller takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "host/desktop/isolated_display_list.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "platform/display/sim_window_server.hpp"

namespace tavlo::testkit {

class SimDisplayFixture : public ::testing::Test {
 protected:
  SimDisplayFixture() {
    clock.setAdvanceOnWait(true);
    VirtualDisplayController::setLogSink([this](const std::string& line) {
      std::lock_guard lock(linesMutex);
      lines.push_back(line);
    });
  }
  ~SimDisplayFixture() override {
    VirtualDisplayController::setLogSink({});
    VirtualDisplayController::setActiveForce1x(false);
    VirtualDisplayController::setForce1xSuppressed(false);
  }

  uint64_t elapsedUs() const { return clock.nowUs() - FakeClock::startUs; }
  std::vector<std::string> logged() {
    std::lock_guard lock(linesMutex);
    return lines;
  }
  bool loggedLine(const std::string& line) {
    auto all = logged();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  bool loggedFragment(const std::string& fragment) {
    auto all = logged();
    return std::any_of(all.begin(), all.end(), [&](const auto& l) { return l.find(fragment) != std::string::npos; });
  }
  std::vector<uint32_t> storedList() const { return readIsolatedDisplayIDs(settings); }

  FakeClock clock;
  std::shared_ptr<SimWindowServer> server = std::make_shared<SimWindowServer>(clock);
  DisplayId builtIn = server->addPhysicalDisplay(2560, 1600);
  DisplayId external = server->addPhysicalDisplay(1920, 1080);
  Settings settings;
  SeededRandom random{7};
  VirtualDisplayController controller{server, settings, clock, random};
  std::mutex linesMutex;
  std::vector<std::string> lines;
};

}  // namespace tavlo::testkit
