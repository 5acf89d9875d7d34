#pragma once
// One of mutter's remote-desktop sessions with the screen-cast session linked to it: the pair that
// makes virtual monitors (RecordVirtual) and takes input for them. Mutter accepts input only from a
// remote-desktop session that has a screen-cast session linked to it, and removes the session with its
// monitors when it is stopped or when the bus connection that made it goes.
//
// The life of a session: create() → recordVirtual() for each monitor → start() (waits until every
// stream has announced its PipeWire node) → input → stop(). Thread-safe; input is sent without waiting
// for mutter's answer and keeps its order.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/gnome/bus_connection.hpp"

namespace tavlo {

namespace mutter {
inline constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
inline constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
inline constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
inline constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
inline constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
inline constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
inline constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
}  // namespace mutter

// How the pointer reaches a screen-cast stream (mutter's cursor-mode values).
enum class CastCursorMode : uint32_t {
  hidden = 0,
  embedded = 1,  // drawn into the pictures
  metadata = 2,  // sent beside the pictures
};

class MutterRemoteSession {
 public:
  // Creates the pair on `bus`. Null, with mutter's answer in `error`, when either is refused.
  static std::unique_ptr<MutterRemoteSession> create(std::shared_ptr<BusConnection> bus, std::string* error = nullptr);
  ~MutterRemoteSession();  // stops the session
  MutterRemoteSession(const MutterRemoteSession&) = delete;
  MutterRemoteSession& operator=(const MutterRemoteSession&) = delete;

  // Adds a virtual monitor; its size follows what the PipeWire consumer of its stream negotiates.
  // The stream's object path, or empty with mutter's answer in `error`.
  std::optional<std::string> recordVirtual(CastCursorMode cursor, std::string* error = nullptr);
  // Starts the session and waits until each recorded stream announced its node (or `timeout` passed,
  // or mutter closed the session). False, with why in `error`, unless every stream has its node.
  bool start(std::chrono::milliseconds timeout, std::string* error = nullptr);
  // The PipeWire node of a recorded stream, once announced.
  std::optional<uint32_t> nodeOf(const std::string& stream) const;
  // Ends the session (mutter removes its monitors). Idempotent. Mutter refuses to stop a session that
  // never started: that one goes with the bus connection.
  void stop();
  // False once stopped, or once mutter closed the session (its Closed signal) or the bus went.
  bool alive() const;

  // Input, in the coordinates of a stream's own pictures (pixels of the virtual monitor).
  void pointerMotionAbsolute(const std::string& stream, double x, double y);
  void pointerMotionRelative(double dx, double dy);
  void pointerButton(int32_t evdevButton, bool pressed);
  // Smooth scrolling in pixels; `finish` marks the end of a scroll sequence (mutter's flag).
  void pointerAxis(double dx, double dy, bool finish);
  // Wheel clicks: axis 0 vertical, 1 horizontal; positive steps scroll down or right.
  void pointerAxisDiscrete(uint32_t axis, int32_t steps);
  void keyboardKeycode(uint32_t evdevKeycode, bool pressed);
  void keyboardKeysym(uint32_t keysym, bool pressed);
  void touchDown(const std::string& stream, uint32_t slot, double x, double y);
  void touchMotion(const std::string& stream, uint32_t slot, double x, double y);
  void touchUp(uint32_t slot);
  // Hands queued input to the bus.
  void flush();

  const std::string& remoteDesktopPath() const { return remotePath_; }
  const std::string& screenCastPath() const { return castPath_; }
  const std::shared_ptr<BusConnection>& bus() const { return bus_; }

 private:
  MutterRemoteSession(std::shared_ptr<BusConnection> bus, std::string remotePath, std::string castPath);
  void sendInput(const char* method, const BusConnection::Arguments& arguments);

  struct Shared;
  const std::shared_ptr<BusConnection> bus_;
  const std::string remotePath_;
  const std::string castPath_;
  std::shared_ptr<Shared> shared_;  // what the signal handlers write
  std::vector<uint64_t> subscriptions_;
};

}  // namespace tavlo
