#pragma once
// One connection to an X server through xcb, owned. Every layer that talks to Xorg (displays, capture,
// input) opens its own: xcb connections are thread-safe, but each layer's requests stay its own.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <xcb/xcb.h>

namespace tavlo {

// A reply or event from xcb, freed with free() as xcb requires.
template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
XcbReply<T> xcbOwn(T* reply) {
  return XcbReply<T>(reply, &std::free);
}

class XcbConnection {
 public:
  // Connects to `display` (":N"; empty: $DISPLAY). Empty on failure, with the reason in `error`.
  static std::unique_ptr<XcbConnection> open(const std::string& display, std::string* error = nullptr);
  ~XcbConnection();
  XcbConnection(const XcbConnection&) = delete;
  XcbConnection& operator=(const XcbConnection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  const std::string& displayName() const { return display_; }
  // False once the server has gone or the connection broke.
  bool healthy() const { return xcb_connection_has_error(connection_) == 0; }

  // True when the server offers the extension (queried by name, e.g. "RANDR", "XTEST", "MIT-SHM").
  bool hasExtension(const std::string& name) const;

 private:
  XcbConnection(xcb_connection_t* connection, xcb_screen_t* screen, std::string display)
      : connection_(connection), screen_(screen), display_(std::move(display)) {}

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  std::string display_;
};

}  // namespace tavlo
