#pragma once
// The window system as the virtual-display controller sees it: virtual displays it may create, mode
// and release, the online displays, the main display, and display configurations that move displays
// and switch them on and off.
//
// Two implementations: XorgDisplaySystem (Xorg with the dummy driver, through RandR) and SimWindowServer
// (deterministic, in process, with the habits of a window server that tests need to provoke). Every
// call may come from any thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

using DisplayId = uint32_t;

// A display's mode: its size in points and in pixels (a HiDPI mode has 2×2 pixels per point).
struct DisplayMode {
  int64_t width = 0;
  int64_t height = 0;
  int64_t pixelWidth = 0;
  int64_t pixelHeight = 0;
  double refreshRate = 0;

  friend bool operator==(const DisplayMode&, const DisplayMode&) = default;
};

// A display's rectangle in the global coordinates that configurations use for origins.
struct DisplayBounds {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
};

// What a virtual display is made with: its name, identity and physical size. The physical size decides
// which modes a window server offers on it.
struct VirtualDisplayDescriptor {
  std::string name;
  uint32_t maxPixelsWide = 0;
  uint32_t maxPixelsHigh = 0;
  double widthMm = 0;
  double heightMm = 0;
  uint32_t vendorID = 0;
  uint32_t productID = 0;
  uint32_t serialNumber = 0;
};

// One mode requested for a virtual display, in points.
struct VirtualDisplaySettings {
  bool hiDPI = false;
  int64_t width = 0;
  int64_t height = 0;
  double refreshRate = 60.0;
};

// A batch of display changes applied together. Dropped without complete(), it changes nothing.
class DisplayConfiguration {
 public:
  virtual ~DisplayConfiguration() = default;
  virtual void setOrigin(DisplayId id, int64_t x, int64_t y) = 0;
  virtual void setEnabled(DisplayId id, bool enabled) = 0;
  // Applies the batch for the login session; false when the system refused it.
  virtual bool complete() = 0;
};

class DisplaySystem {
 public:
  virtual ~DisplaySystem() = default;

  // Empty when the system refuses to make the display.
  virtual std::optional<DisplayId> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) = 0;
  virtual void releaseVirtualDisplay(DisplayId id) = 0;
  // Switches off the virtual displays an earlier run of the program left on (it ended without
  // releasing them) and returns them; a display that is the only one on stays. A window server that
  // removes a program's virtual displays when it ends has none.
  virtual std::vector<DisplayId> switchOffLeftoverVirtualDisplays() { return {}; }
  // Asks for a mode; true when the request was accepted, which does not mean the mode is live yet.
  virtual bool applySettings(DisplayId id, const VirtualDisplaySettings& settings) = 0;

  // The live mode; empty while the display has none (off, or being reconfigured).
  virtual std::optional<DisplayMode> currentMode(DisplayId id) = 0;
  // The modes the system lists for the display.
  virtual std::vector<DisplayMode> modes(DisplayId id) = 0;
  virtual double rotationDegrees(DisplayId id) = 0;
  virtual std::optional<DisplayBounds> bounds(DisplayId id) = 0;
  // The display at the origin; 0 when no display is online.
  virtual DisplayId mainDisplay() = 0;
  // The displays that are switched on, in the system's order.
  virtual std::vector<DisplayId> onlineDisplays() = 0;

  // Empty when no configuration can be opened.
  virtual std::unique_ptr<DisplayConfiguration> beginConfiguration() = 0;

  // What people call the display in log lines (an X server's output name, "HDMI-1"); its number when
  // it has no name.
  virtual std::string displayName(DisplayId id) { return std::to_string(id); }

  // False while the window server does not answer (an X server that was stopped or hangs): switching
  // displays and checking on them again is then pointless until it answers.
  virtual bool answering() { return true; }
};

}  // namespace tavlo
