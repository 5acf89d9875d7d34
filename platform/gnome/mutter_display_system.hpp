#pragma once
// The display system of a GNOME desktop (mutter, Wayland), over mutter's D-Bus interfaces.
//
// A virtual display is a remote-desktop session of ours with a screen-cast session linked to it and
// one RecordVirtual stream: mutter makes the monitor once a consumer of that stream negotiates a size,
// and gives it the size negotiated. So this system opens the stream's consumer (a
// PipeWireScreenStream) itself, at the pixel size of the mode asked for, publishes it in the
// ScreenCastFrames registry where the capture finds it, and re-negotiates it for a new mode. A HiDPI
// mode of W×H points is a monitor of 2W×2H pixels at logical scale 2; where mutter offers no scale 2
// (it keeps at least 800×480 logical pixels), the monitor stays at scale 1 and its mode still reads as
// W×H points on 2W×2H pixels, so that the client gets the pixels it asked for. The display keeps its
// DisplayId while mutter names the monitor anew.
//
// Other monitors (the desktop's physical ones) are known by an id drawn from their identity (vendor,
// product, serial number, connector), the same in every run, so that a list of switched-off displays
// kept by a run that crashed still names them. Origins are in mutter's layout coordinates and a
// display's bounds have its mode's size in points (what the sessions map input into); the main display
// is mutter's primary monitor. Configurations are applied for the login session only
// (mutter's temporary method) as complete layouts; a monitor switched back on gets the mode, scale and
// place it had.
//
// Mutter removes a client's sessions, and so its virtual monitors, when the client's bus connection
// goes: nothing is left behind after a crash, and there are no leftovers to switch off.
//
// Changes run one at a time on the display queue; queries are answered on the caller's thread from the
// layout mutter last reported.
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/display/display_system.hpp"
#include "platform/gnome/bus_connection.hpp"
#include "platform/gnome/monitors_config_plan.hpp"
#include "platform/gnome/mutter_display_config.hpp"
#include "platform/gnome/mutter_remote_session.hpp"
#include "platform/gnome/pipewire_screen_stream.hpp"
#include "platform/gnome/screen_cast_frames.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

// Where input for a virtual display goes: its session and stream, the stream's picture size and the
// display's bounds.
struct MutterInputTarget {
  std::shared_ptr<MutterRemoteSession> session;
  std::string stream;
  PixelSize pixels;
  DisplayBounds bounds;
};

class MutterDisplaySystem final : public DisplaySystem {
 public:
  struct Options {
    std::shared_ptr<BusConnection> bus;
    std::shared_ptr<ScreenCastFrames> frames;
    std::string pipewireRemote;  // empty: the session's own PipeWire
    LogSink log;                 // empty: SystemLog
  };

  // Null, with the reason in `error`, when mutter's interfaces do not answer on the bus.
  static std::shared_ptr<MutterDisplaySystem> open(Options options, std::string* error = nullptr);
  ~MutterDisplaySystem() override;

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

  // The input target of one of our virtual displays, or of the virtual display that contains the
  // layout point (x, y) when `id` is 0; empty when there is none.
  std::optional<MutterInputTarget> inputTarget(DisplayId id, std::optional<std::pair<double, double>> point = {});
  // The displays this system made that are still there.
  std::vector<DisplayId> virtualDisplays() const;

  // How long a new mode may take to show in mutter's layout.
  static constexpr int kModeSettleMs = 5000;
  static constexpr int kNodeTimeoutMs = 5000;
  // How often a scale is set on a monitor that mutter re-creates meanwhile, and how long it must hold.
  static constexpr int kScaleAttempts = 3;
  static constexpr std::chrono::milliseconds kScaleSettle{150};

 private:
  class Configuration;
  struct Virtual {
    std::shared_ptr<MutterRemoteSession> session;
    std::string stream;
    uint32_t node = 0;
    std::shared_ptr<PipeWireScreenStream> consumer;
    std::string connector;                 // empty until mutter shows the monitor
    std::set<std::string> shownBefore;     // the monitors there were when it was made
    PixelSize pixels;
    // Pixels per point on top of mutter's scale: 2 for a HiDPI mode that mutter keeps at scale 1.
    double pointScale = 1.0;
  };

  explicit MutterDisplaySystem(Options options);
  bool onQueue(const std::function<bool()>& job);
  std::optional<DisplayId> createOn(const VirtualDisplayDescriptor& descriptor);
  bool applyOn(DisplayId id, const VirtualDisplaySettings& settings);
  bool configureOn(std::vector<MonitorChange> changes);
  // Waits until mutter shows the virtual display's monitor at `pixels`; its connector, or empty.
  std::string awaitMonitor(DisplayId id, PixelSize pixels);
  // Waits until mutter no longer lists the monitor on `connector`.
  void awaitGone(const std::string& connector);

  // The id of the monitor on `connector` in `state`, and back.
  DisplayId idOf(const MutterDisplayState& state, const std::string& connector) const;
  std::string connectorOf(const MutterDisplayState& state, DisplayId id) const;
  void log(const std::string& line) const;
  void setPointScale(DisplayId id, double scale);
  double pointScaleOf(DisplayId id) const;

  const Options options_;
  MutterDisplayConfig config_;

  mutable std::mutex mutex_;  // guards the fields below
  std::map<DisplayId, Virtual> virtual_;
  std::map<std::string, RememberedPlacement> remembered_;
  DisplayId nextVirtualId_;

  SerialExecutor queue_;  // last: stops before the members its jobs use go
};

}  // namespace tavlo
