#pragma once
// The display every streaming session streams: one virtual display, sized so that the window server
// offers the mode the client needs, re-moded and verified against what the server really shows,
// re-created when its physical size cannot serve a mode, and made the main display. Its other half
// switches the physical displays off while a client streams and back on afterwards, remembering them
// persistently so that a crash cannot leave them off for good (virtual_display_isolation.cpp). Re-creation
// is in virtual_display_recreation.cpp.
//
// The host creates one controller per launch and hands it to every session. The sessions serialise the
// display operations with their display gate; the capture path and the host's watcher call
// enforceIsolation and isolationSettled at any time from other threads. The controller's state has one
// mutex, held for field updates only: calls into the window system, sleeps, settings writes and log
// lines happen outside it. Every pause (creation retries, mode polls, isolation settling) is a sleep
// on the given Clock.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/desktop/display_mode_plan.hpp"
#include "hostcore/engines/display_providing.hpp"
#include "platform/display/display_system.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/random.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class VirtualDisplayController final : public vela::DisplayProviding {
 public:
  // `settings` (the user defaults, holding the list of isolated displays) and `clock` and `random` must
  // outlive the controller.
  VirtualDisplayController(std::shared_ptr<DisplaySystem> system, JsonStore& settings,
                           const Clock& clock = SteadyClock::shared(), Random& random = SystemRandom::shared());
  VirtualDisplayController(const VirtualDisplayController&) = delete;
  VirtualDisplayController& operator=(const VirtualDisplayController&) = delete;

  bool isActive() const override;
  int64_t reModeCount() const override;
  std::string displayLabel() const override;
  void setDisplayLabel(std::string label) override;
  std::optional<vela::ProvidedDisplay> createDisplay(int64_t pixelWidth, int64_t pixelHeight) override;
  bool applyMode(int64_t pixelWidth, int64_t pixelHeight, int64_t nativePixelWidth,
                 int64_t nativePixelHeight) override;
  bool modeRequiresRecreate(int64_t pixelWidth, int64_t pixelHeight, int64_t nativePixelWidth,
                            int64_t nativePixelHeight) override;
  std::optional<vela::ProvidedDisplay> recreateForMode(int64_t pixelWidth, int64_t pixelHeight,
                                                       int64_t nativePixelWidth, int64_t nativePixelHeight) override;
  bool setAsMainDisplay() override;
  void restoreMainDisplay() override;
  void isolatePhysicalDisplays() override;
  void enforceIsolation() override;
  bool isolationSettled() const override;
  bool restorePhysicalDisplays() override;
  void destroy() override;

  // The id of the virtual display while one exists.
  std::optional<DisplayId> displayID() const;
  // At start-up, before any client: switches on the displays an earlier run left off, then off the
  // virtual displays it left on.
  void recoverIsolationOnLaunch();

  // Process-wide settings of the host. The log hook gets every line; while it is unset lines go to the
  // system log as "Tavlo: <line>". The force-1x flags are read at every mode computation: `activeForce1x`
  // asks for 1x modes for the current client, `force1xSuppressed` (a headset client) vetoes them.
  static void setLogSink(LogSink sink);
  static void setActiveForce1x(bool on);
  static void setForce1xSuppressed(bool on);

 private:
  // Creation and modes (virtual_display_controller.cpp, virtual_display_recreation.cpp).
  std::optional<DisplayId> makeDisplay(const PhysicalSizeMm& size);
  void adoptPhysicalSize(const PhysicalSizeMm& size);
  TargetMode targetFor(int64_t pixelWidth, int64_t pixelHeight) const;
  bool applyModeOn(DisplayId id, int64_t pixelWidth, int64_t pixelHeight);
  bool applyVerified(DisplayId id, const TargetMode& mode);
  void logVerifyFailure(DisplayId id, const TargetMode& mode);
  void rememberMode(int64_t pixelWidth, int64_t pixelHeight, bool hiDPI);
  void forgetMode();
  uint32_t serialNumber(bool fresh);

  // Isolation (virtual_display_isolation.cpp).
  std::vector<DisplayId> othersOnline(DisplayId id, bool& virtualOnline) const;
  // The displays as log lines name them, joined by ",".
  std::string displayNames(const std::vector<DisplayId>& ids) const;
  bool applyEnabledVerified(const std::vector<DisplayId>& ids, bool enabled, int attempts, uint64_t settleUs);
  void takeIsolationTurn();
  void releaseIsolationTurn();
  // True when destroy() must keep the display: a restore failed and nothing else would be left on.
  bool mustKeepForRestore(DisplayId id);

  static void log(const std::string& line);

  const std::shared_ptr<DisplaySystem> system_;
  JsonStore& settings_;
  const Clock& clock_;
  Random& random_;

  mutable std::mutex mutex_;  // every field below
  std::optional<DisplayId> display_;
  std::string displayLabel_ = "Tavlo Display";
  int64_t reModeCount_ = 0;
  int64_t lastPxW_ = 0;  // the last request that ended in a verified mode (0: none)
  int64_t lastPxH_ = 0;
  std::optional<bool> lastHiDPI_;
  double mmW_ = 344.0;  // the physical size the current display was made with
  double mmH_ = 224.0;
  std::optional<DisplayId> savedMainID_;
  std::optional<uint32_t> serial_;  // one identity per launch, drawn when the first display is made
  std::vector<DisplayId> isolatedIDs_;
  bool isolationClean_ = false;  // the clean state was logged since other displays were last seen
  bool isoBusy_ = false;         // an isolation step (re-disable, isolate, restore, recovery) runs
  uint64_t isoLastAttemptUs_ = 0;
  bool enforcementPaused_ = false;  // from a restore until the next display or isolation
  bool restoreFailed_ = false;      // the last restore left displays off
};

}  // namespace tavlo
