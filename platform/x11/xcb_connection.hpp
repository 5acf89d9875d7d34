#pragma once
// One connection to an X server through xcb, owned. Every layer that talks to Xorg (displays, capture,
// input) opens its own: xcb connections are thread-safe, but each layer's requests stay its own.
#include <chrono>
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

// How long a reply of the X server is waited for. A server that has not answered by then is taken to be
// stalled (stopped, hung, swapped out): the caller goes on without the answer instead of waiting for ever,
// which a thread that must stay responsive (the main thread, the end of the program) cannot afford.
inline constexpr std::chrono::milliseconds xReplyLimit{2000};
using XReplyDeadline = std::chrono::steady_clock::time_point;
inline XReplyDeadline xReplyDeadline() { return std::chrono::steady_clock::now() + xReplyLimit; }

// The reply to the request `sequence`, waiting for it until `deadline` at most (the requests are flushed
// first). nullptr when the server answered with an error, when the connection broke, or when the deadline
// passed: a reply that comes later is then thrown away by xcb. Requests sent together share one deadline,
// so a stalled server costs one limit, not one per reply.
void* awaitXcbReply(xcb_connection_t* connection, unsigned int sequence, XReplyDeadline deadline);

// Whether a request sent checked (`xcb_..._checked`) was carried out: false when the server answered it
// with an error, or did not answer by `deadline`.
bool xcbRequestSucceeded(xcb_connection_t* connection, xcb_void_cookie_t cookie,
                         XReplyDeadline deadline = xReplyDeadline());

// True from a reply that did not come in time until the next one that does: while the server is taken to
// be stalled, each further wait is cut short (to a tenth of a second, time enough for a server that has
// come back), so that a stalled server costs its callers one limit, not one per request.
bool xServerStalled();

template <typename Reply>
XcbReply<Reply> xcbReplyBy(xcb_connection_t* connection, unsigned int sequence,
                           XReplyDeadline deadline = xReplyDeadline()) {
  return xcbOwn(static_cast<Reply*>(awaitXcbReply(connection, sequence, deadline)));
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
  // The number of the screen the display name chose (":0.1" → 1).
  int screenNumber() const { return screenNumber_; }
  const std::string& displayName() const { return display_; }
  // False once the server has gone or the connection broke.
  bool healthy() const { return xcb_connection_has_error(connection_) == 0; }

  // True when the server offers the extension (queried by name, e.g. "RANDR", "XTEST", "MIT-SHM"); false
  // too when the server does not answer within the limit.
  bool hasExtension(const std::string& name) const;

 private:
  XcbConnection(xcb_connection_t* connection, xcb_screen_t* screen, int screenNumber, std::string display)
      : connection_(connection), screen_(screen), screenNumber_(screenNumber), display_(std::move(display)) {}

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  int screenNumber_;
  std::string display_;
};

}  // namespace tavlo
