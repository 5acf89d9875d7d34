#pragma once
// A window server in process, for deterministic tests of the display controller. It behaves as the
// controller must expect of a real one: it offers a mode only when the mode's density suits the
// display's physical size (and substitutes another otherwise), shows a new mode only after a delay,
// has no live mode for a while during reconfiguration, may hand out 1x for HiDPI (or the reverse), may refuse to
// create displays, gives every new virtual display a new id, and has displays that refuse to switch.
// Time is the given Clock's, so delays pass with a FakeClock.
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/display/display_system.hpp"
#include "platform/runtime/clock.hpp"

namespace tavlo {

class SimWindowServer final : public DisplaySystem {
 public:
  explicit SimWindowServer(const Clock& clock) : clock_(clock) {}

  // The scene. A physical display is online at 1x, to the right of the displays already there; the first
  // one is the main display.
  DisplayId addPhysicalDisplay(int64_t pixelWidth, int64_t pixelHeight);
  // Plugs a display in or out, or lets one wake up on its own.
  void setOnline(DisplayId id, bool online);
  // The next `times` configurations that switch the display off (or on) leave it as it is; -1: all.
  void refuseSwitchOff(DisplayId id, int times);
  void refuseSwitchOn(DisplayId id, int times);
  // The next `times` virtual displays are refused.
  void failCreations(int times);
  // A requested mode becomes live `visibleAfterUs` after the request; during the first `missingForUs` the
  // display has no live mode at all.
  void setModeDelay(uint64_t visibleAfterUs, uint64_t missingForUs);
  // Requests of one density served at the other, at the same point size.
  enum class Substitution { none, hiDPIAs1x, oneXAsHiDPI };
  void setSubstitution(Substitution substitution);
  // Displays carrying this serial number get a substitute for every mode, whatever their size.
  void refuseModesOnSerial(uint32_t serial);
  void setApplyRefused(bool on);
  void setConfigurationRefused(bool on);
  // Called at each completed configuration, before its changes take effect.
  void setOnConfiguration(std::function<void()> observer);

  // What happened.
  int createdCount() const;
  int releasedCount() const;
  int applyCount() const;
  int configurationCount() const;
  int switchOffRequests(DisplayId id) const;
  int switchOnRequests(DisplayId id) const;
  bool exists(DisplayId id) const;
  bool isOnline(DisplayId id) const;
  std::optional<VirtualDisplayDescriptor> descriptor(DisplayId id) const;

  // DisplaySystem
  std::optional<DisplayId> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override;
  void releaseVirtualDisplay(DisplayId id) override;
  bool applySettings(DisplayId id, const VirtualDisplaySettings& settings) override;
  std::optional<DisplayMode> currentMode(DisplayId id) override;
  std::vector<DisplayMode> modes(DisplayId id) override;
  double rotationDegrees(DisplayId id) override;
  std::optional<DisplayBounds> bounds(DisplayId id) override;
  DisplayId mainDisplay() override;
  std::vector<DisplayId> onlineDisplays() override;
  std::unique_ptr<DisplayConfiguration> beginConfiguration() override;

 private:
  struct Display {
    DisplayId id = 0;
    bool isVirtual = false;
    VirtualDisplayDescriptor descriptor;
    bool online = true;
    int64_t x = 0;
    int64_t y = 0;
    std::optional<DisplayMode> live;
    std::optional<DisplayMode> pending;
    uint64_t pendingVisibleAtUs = 0;
    uint64_t pendingMissingUntilUs = 0;
    int refuseOff = 0;
    int refuseOn = 0;
    int offRequests = 0;
    int onRequests = 0;
  };
  struct Change {
    DisplayId id;
    bool isOrigin;
    int64_t x, y;
    bool enabled;
  };
  class Configuration;

  Display* findLocked(DisplayId id);
  const Display* findLocked(DisplayId id) const;
  void settleLocked(Display& display);
  int64_t rightEdgeLocked() const;
  bool completeConfiguration(const std::vector<Change>& changes);

  const Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<Display> displays_;
  DisplayId nextPhysicalId_ = 1;
  DisplayId nextVirtualId_ = 1000;
  int failCreations_ = 0;
  uint64_t visibleAfterUs_ = 0;
  uint64_t missingForUs_ = 0;
  Substitution substitution_ = Substitution::none;
  std::vector<uint32_t> refusedSerials_;
  bool applyRefused_ = false;
  bool configurationRefused_ = false;
  std::function<void()> onConfiguration_;
  int created_ = 0;
  int released_ = 0;
  int applies_ = 0;
  int configurations_ = 0;
};

}  // namespace tavlo
