#pragma once
// Other programs on the test desktop, each on an X connection of its own: a reader that asks for the
// CLIPBOARD one step at a time (several transfers to one window at once, INCR taken chunk by chunk),
// and an owner that misbehaves the ways a hostile or broken program can.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/runtime/bytes.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo::pasteboardtest {

// Waits (in real time: the X server works on its own) until `done` holds, at most five seconds.
template <class Predicate>
bool eventually(Predicate done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class RawClipboardReader {
 public:
  explicit RawClipboardReader(const std::string& display);
  bool connected() const { return connection_ != nullptr; }

  // Asks for `target` into `property` (a default one when empty); the round trip behind it makes the
  // server pass the request on first.
  void ask(const std::string& target, const std::string& property = {});
  // The answer's bytes as they are (an INCR answer is its header); nothing when the owner refused or
  // did not answer within five seconds.
  std::optional<Bytes> answer(const std::string& property = {});
  // Waits (five seconds at most) for the owner's answer into `property`, leaves it in place and says
  // whether it starts an INCR transfer; nothing on a refusal or no answer.
  std::optional<bool> awaitAnswer(const std::string& property);
  // Takes the next INCR chunk from `property` (deleting it asks for the one after); the first call
  // takes the header. Nothing when no chunk came within five seconds.
  std::optional<Bytes> takeChunk(const std::string& property);

 private:
  xcb_atom_t intern(const std::string& name);
  xcb_atom_t propertyAtom(const std::string& name) { return name.empty() ? property_ : intern(name); }
  // The next event that `match` accepts, within five seconds; others stay queued for later calls.
  template <class Match>
  XcbReply<xcb_generic_event_t> nextEvent(Match match);
  // The owner answered into `property` (not refused, within five seconds).
  bool answered(xcb_atom_t property);
  std::optional<Bytes> take(xcb_atom_t property);

  std::unique_ptr<XcbConnection> connection_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_atom_t property_ = 0;
  std::deque<XcbReply<xcb_generic_event_t>> held_;
  // Properties whose INCR header was taken: a chunk waits for its new value first.
  std::deque<xcb_atom_t> inTransfer_;
};

// Owns the CLIPBOARD and answers TARGETS with UTF8_STRING (or with `targetCount` copies of it), then
// serves UTF8_STRING badly: one property of `itemBytes`, an INCR stream of `chunkBytes` chunks that
// ends after `itemBytes` (never, at 0), or no answer at all.
class HostileClipboardOwner {
 public:
  enum class Serves { oneProperty, incr, nothing };
  struct Behaviour {
    Serves serves = Serves::oneProperty;
    size_t itemBytes = 0;
    size_t chunkBytes = 0;
    size_t targetCount = 0;  // 0: an honest list
  };

  HostileClipboardOwner(const std::string& display, Behaviour behaviour);
  ~HostileClipboardOwner() { stop(); }
  HostileClipboardOwner(const HostileClipboardOwner&) = delete;
  HostileClipboardOwner& operator=(const HostileClipboardOwner&) = delete;

  // Owns the clipboard (the server has made it the owner).
  bool owns() const { return owns_; }
  void stop();

  // Requests for the item seen, and INCR chunks written, so far.
  int itemRequests() const { return itemRequests_.load(); }
  uint64_t chunksSent() const { return chunksSent_.load(); }

 private:
  void run();
  void serveTargets(xcb_window_t requestor, xcb_atom_t property);
  void serveItem(xcb_window_t requestor, xcb_atom_t property);
  void nextChunk(xcb_window_t requestor, xcb_atom_t property);
  // Writes `bytes` of `type` into a property, repeating the piece buffer.
  void writeLarge(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, uint8_t format, size_t bytes);

  Behaviour behaviour_;
  std::unique_ptr<XcbConnection> connection_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_atom_t clipboard_ = 0, targets_ = 0, utf8_ = 0, incr_ = 0;
  bool owns_ = false;
  Bytes piece_;  // the one buffer every write is made of
  size_t incrSent_ = 0;
  xcb_window_t incrWindow_ = 0;
  xcb_atom_t incrProperty_ = 0;
  std::atomic<int> itemRequests_{0};
  std::atomic<uint64_t> chunksSent_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tavlo::pasteboardtest
