#pragma once
// A connection to the PipeWire server on a thread loop of its own: what the device daemons publish
// their nodes through. Node callbacks run on that loop's thread with the loop locked.
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct pw_context;
struct pw_core;
struct pw_thread_loop;

namespace tavlo {

// Node properties as PipeWire takes them (media.class, node.name, node.description, ...).
using NodeProperties = std::vector<std::pair<std::string, std::string>>;

class PipeWireContext {
 public:
  // Connects to the server at `remote` (a socket's path or name), or when it is empty to the one the
  // environment names (PIPEWIRE_REMOTE, else XDG_RUNTIME_DIR/pipewire-0). `onDisconnect` runs on the
  // loop thread when the server goes away. nullptr and `error` on failure.
  static std::unique_ptr<PipeWireContext> connect(std::function<void()> onDisconnect, std::string& error,
                                                  const std::string& remote = {});
  ~PipeWireContext();
  PipeWireContext(const PipeWireContext&) = delete;
  PipeWireContext& operator=(const PipeWireContext&) = delete;

  pw_thread_loop* loop() const { return loop_; }
  pw_core* core() const { return core_; }

 // The C callbacks' state (defined in the .cpp).
  struct Listener;

 private:
  PipeWireContext();

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  std::unique_ptr<Listener> listener_;
};

// Holds a thread loop's lock for a scope (calls into PipeWire from other threads need it).
class PipeWireLock {
 public:
  explicit PipeWireLock(pw_thread_loop* loop);
  ~PipeWireLock();
  PipeWireLock(const PipeWireLock&) = delete;
  PipeWireLock& operator=(const PipeWireLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

}  // namespace tavlo
