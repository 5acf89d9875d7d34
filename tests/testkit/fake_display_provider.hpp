#pragma once
// A display provider in memory, for tests of whatever drives one (the session, the controller). It keeps
// the provider's contract (an existing display is returned unchanged, mode changes are counted only when
// they change something, no display means false, destroy resets the count) and records every call.
// Knobs make a step fail or make the isolation take its time. Safe from several threads.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hostcore/engines/display_providing.hpp"

namespace vela::testkit {

class FakeDisplayProvider final : public DisplayProviding {
 public:
  struct Knobs {
    bool failCreate = false;
    bool failApplyMode = false;
    bool requireRecreate = false;  // modeRequiresRecreate answers this while a display exists
    bool failRecreate = false;
    bool failSetMain = false;
    bool isolationSettles = true;  // isolationSettled once the physical displays were isolated
  };

  explicit FakeDisplayProvider(uint32_t firstDisplayID = 1000) : nextID_(firstDisplayID) {}

  bool isActive() const override;
  int64_t reModeCount() const override;
  std::string displayLabel() const override;
  void setDisplayLabel(std::string label) override;
  std::optional<ProvidedDisplay> createDisplay(int64_t pixelWidth, int64_t pixelHeight) override;
  bool applyMode(int64_t pixelWidth, int64_t pixelHeight, int64_t nativePixelWidth, int64_t nativePixelHeight) override;
  bool modeRequiresRecreate(int64_t pixelWidth, int64_t pixelHeight, int64_t nativePixelWidth,
                            int64_t nativePixelHeight) override;
  std::optional<ProvidedDisplay> recreateForMode(int64_t pixelWidth, int64_t pixelHeight, int64_t nativePixelWidth,
                                                 int64_t nativePixelHeight) override;
  bool setAsMainDisplay() override;
  void restoreMainDisplay() override;
  void isolatePhysicalDisplays() override;
  void enforceIsolation() override;
  bool isolationSettled() const override;
  bool restorePhysicalDisplays() override;
  void destroy() override;

  void setKnobs(Knobs knobs);
  // Called on the caller's thread, with no lock held, before each recorded operation runs, with the
  // operation's name ("restorePhysicalDisplays", ...): a test holds a caller there to order two threads.
  void setBeforeCall(std::function<void(const std::string& call)> hook);
  // "createDisplay 1280×720", "applyMode 2560×1440", "setAsMainDisplay", ... in call order.
  std::vector<std::string> calls() const;
  uint32_t displayID() const;  // 0 without a display
  std::pair<int64_t, int64_t> mode() const;
  bool isMain() const;
  bool isolated() const;
  int64_t enforceCount() const;

 private:
  void record(std::string call);  // mutex_ held
  void beforeCall(const std::string& call);  // mutex_ not held

  mutable std::mutex mutex_;
  Knobs knobs_;
  std::function<void(const std::string&)> beforeCall_;
  std::vector<std::string> calls_;
  std::string label_ = "Tavlo Display";
  uint32_t nextID_;
  uint32_t displayID_ = 0;
  int64_t modeW_ = 0;
  int64_t modeH_ = 0;
  int64_t reModeCount_ = 0;
  bool main_ = false;
  bool isolated_ = false;
  int64_t enforceCount_ = 0;
};

}  // namespace vela::testkit
