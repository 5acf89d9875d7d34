#pragma once
// The display system of an Xorg server with the dummy video driver, driven through RandR.
//
// A display is a RandR output and its id is the output's XID; a display is online while a CRTC shows
// it. A virtual display is an output this system takes that no one else uses (a disconnected one, or
// one it marked as its own before), moded with modes it creates at run time. HiDPI is a scale kept on the
// output (TAVLO_SCALE): a mode of W×H points at scale 2 is a CRTC of 2W×2H pixels. Bounds and origins
// are in root pixels. The main display is the primary output, kept at (0, 0).
//
// A display switched off keeps, in an output property, the mode and place it had, so that switching it
// on again, even from a later run of the program, puts it back where it was.
//
// A virtual display's name and identity have no place in RandR and are not kept. Unlike a window
// server's, a virtual display here outlives the program unless it is released: the host releases it
// when it quits (through the controller's destroy), and keeps it when it is the only screen left on.
// An output it takes keeps the marker property TAVLO_VIRTUAL on the server from then on, also across a
// crash of the program: the next run switches off a marked output it finds on
// (switchOffLeftoverVirtualDisplays) instead of taking it for a physical display.
//
// Changes to the server's configuration run one at a time on the display queue; queries are answered
// on the caller's thread.
#include <map>
#include <memory>
#include <string>

#include "platform/display/display_system.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

struct RandrLayout;
struct RandrOutput;

// Whether the host may take `output` for a virtual display: it shows nothing, has a CRTC, and is either
// one this system marked as its own before (`ours`) or a free output of a driver that shows a mode with
// no monitor behind it (the dummy driver's DUMMYn, the Intel driver's VIRTUALn). A free output of
// another driver (modesetting, vendor drivers) refuses a mode with nothing plugged in, and Xvfb and
// Xwayland have none: taking one would only fail, client after client.
bool outputCanBeTaken(const RandrOutput& output, bool shown, bool ours);

class XorgDisplaySystem final : public DisplaySystem {
 public:
  // Connects to `display` (":N"; empty: $DISPLAY). Empty, with the reason in `error`, when the server
  // cannot be reached or has no RandR.
  static std::shared_ptr<XorgDisplaySystem> open(const std::string& display, std::string* error = nullptr);
  ~XorgDisplaySystem() override;

  std::optional<DisplayId> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override;
  // The name of the output the next virtual display would take; empty when there is none, so that
  // start-up can say so before any client asks.
  std::optional<std::string> outputToTake();
  void releaseVirtualDisplay(DisplayId id) override;
  // The outputs marked as this program's virtual displays (TAVLO_VIRTUAL) that show something and are
  // not this run's: a run that crashed or was killed left them on.
  std::vector<DisplayId> switchOffLeftoverVirtualDisplays() override;
  bool applySettings(DisplayId id, const VirtualDisplaySettings& settings) override;
  std::optional<DisplayMode> currentMode(DisplayId id) override;
  std::vector<DisplayMode> modes(DisplayId id) override;
  double rotationDegrees(DisplayId id) override;
  std::optional<DisplayBounds> bounds(DisplayId id) override;
  DisplayId mainDisplay() override;
  std::vector<DisplayId> onlineDisplays() override;
  std::unique_ptr<DisplayConfiguration> beginConfiguration() override;
  // False from a reply the X server did not give in time until it answers again.
  bool answering() override;
  // The RandR output's name; its number when the output is gone or the server does not answer.
  std::string displayName(DisplayId id) override;

 private:
  class Configuration;
  struct Change {
    DisplayId id;
    bool isOrigin;
    int64_t x, y;
    bool enabled;
  };
  struct VirtualOutput {
    uint32_t maxPixelsWide;
    uint32_t maxPixelsHigh;
    double widthMm;
    double heightMm;
  };

  explicit XorgDisplaySystem(std::unique_ptr<XcbConnection> connection);
  // Runs `job` on the display queue and returns its result (false when the queue has stopped).
  bool onQueue(const std::function<bool()>& job);
  // On the queue.
  bool createOn(const VirtualDisplayDescriptor& descriptor, DisplayId& created);
  bool takeable(const RandrLayout& layout, const RandrOutput& output);
  void releaseOn(DisplayId id);
  std::vector<DisplayId> switchOffLeftoversOn();
  bool applyOn(DisplayId id, const VirtualDisplaySettings& settings);
  bool configureOn(const std::vector<Change>& changes);
  void dropOurModes(const RandrLayout& layout, DisplayId output, uint32_t keep);
  void settlePrimary(DisplayId preferred);
  void showPhysicalSize(DisplayId id, const VirtualOutput& output);

  std::unique_ptr<XcbConnection> connection_;
  std::map<DisplayId, VirtualOutput> virtual_;  // touched on the queue only
  SerialExecutor queue_;                        // last: stops before the members its jobs use go
};

}  // namespace tavlo
