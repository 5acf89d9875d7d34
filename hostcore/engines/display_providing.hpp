#pragma once
// The display a streaming session obtains, re-modes and isolates. Sessions see only this interface;
// the one implementation (the virtual-display controller of the desktop layer) is shared by every
// session of the process and may block for seconds in any call.
#include <cstdint>
#include <optional>
#include <string>

namespace vela {

// A provided display. The sizes are always the ones the caller asked for, not the mode finally set:
// a caller that needs the live mode asks the window system.
struct ProvidedDisplay {
  uint32_t displayID = 0;  // the capture engine and the input injector are bound to it
  int64_t pixelWidth = 0;
  int64_t pixelHeight = 0;

  friend bool operator==(const ProvidedDisplay&, const ProvidedDisplay&) = default;
};

class DisplayProviding {
 public:
  virtual ~DisplayProviding() = default;

  // True between a successful createDisplay / recreateForMode and destroy.
  virtual bool isActive() const = 0;
  // Mode changes actually carried out on the current display since it was made (the first one
  // included); a request that finds the wanted mode already set does not count. 0 after destroy.
  virtual int64_t reModeCount() const = 0;
  // The name the next created display carries ("Tavlo Display" unless set); renames nothing existing.
  virtual std::string displayLabel() const = 0;
  virtual void setDisplayLabel(std::string label) = 0;

  // Makes sure a display moded for the size exists; an existing display is returned unchanged.
  virtual std::optional<ProvidedDisplay> createDisplay(int64_t pixelWidth, int64_t pixelHeight) = 0;
  // Re-modes the existing display; true when it ends in a mode that serves the size (also when nothing
  // had to change), false without a display. The native sizes are the client panel's own.
  virtual bool applyMode(int64_t pixelWidth, int64_t pixelHeight, int64_t nativePixelWidth,
                         int64_t nativePixelHeight) = 0;
  // True when the mode cannot be reached without re-creating the display (its physical size does not
  // suit the mode); false without a display.
  virtual bool modeRequiresRecreate(int64_t pixelWidth, int64_t pixelHeight, int64_t nativePixelWidth,
                                    int64_t nativePixelHeight) = 0;
  // Replaces the display by one sized for the mode; the id may change, so the caller re-binds capture
  // and input. Empty only when no display at all could be made.
  virtual std::optional<ProvidedDisplay> recreateForMode(int64_t pixelWidth, int64_t pixelHeight,
                                                         int64_t nativePixelWidth, int64_t nativePixelHeight) = 0;

  // Makes the provided display the one at the origin; true also when it already is.
  virtual bool setAsMainDisplay() = 0;
  virtual void restoreMainDisplay() = 0;

  // Switches every other online display off for the session, remembering them persistently.
  virtual void isolatePhysicalDisplays() = 0;
  // Switches off again any physical display that came back; cheap when there is nothing to do and safe
  // from several threads at once (the capture path calls it per frame while its gate holds).
  virtual void enforceIsolation() = 0;
  // True when the provided display is the only online display (or there is none to judge).
  virtual bool isolationSettled() const = 0;
  // Switches the isolated displays back on and forgets them. True when there were displays to restore
  // and all of them came back; false when nothing was isolated, or when some stayed off (their list then
  // stays stored, so that the next launch tries again).
  virtual bool restorePhysicalDisplays() = 0;

  // Restores the main display if it was changed and drops the display. After a restore that left the
  // physical displays off, a display that is the only one online is kept instead (isActive() stays
  // true): dropping it would leave the desktop without any screen.
  virtual void destroy() = 0;
};

}  // namespace vela
