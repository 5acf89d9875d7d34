#pragma once
// The process's one link to AT-SPI2: the thread that runs libatspi (which is neither thread-safe nor
// usable without a GLib main loop), the connection to the accessibility bus, the event listener, and
// what the focus source keeps between calls (the last focused accessible, the process IDs of the
// applications, the observers and workspace subscribers).
//
// Every method but shared() and loop() runs on the loop thread (AtspiFocusSource hops there).
// Callbacks are called on the loop thread, never under a lock; an observer or subscriber removed there
// is not called again.
#include <atspi/atspi.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/focus/atspi_element.hpp"
#include "platform/focus/atspi_handles.hpp"
#include "platform/focus/focus_source.hpp"
#include "platform/focus/glib_loop_thread.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class AtspiDesktop : public std::enable_shared_from_this<AtspiDesktop> {
 public:
  // libatspi keeps one connection per process: every source shares the desktop that is alive.
  // `display` is the X display whose outputs turn root pixels into points (empty: $DISPLAY); the
  // first caller's choice holds while the desktop lives.
  static std::shared_ptr<AtspiDesktop> shared(const std::string& display);
  ~AtspiDesktop();
  AtspiDesktop(const AtspiDesktop&) = delete;
  AtspiDesktop& operator=(const AtspiDesktop&) = delete;

  GlibLoopThread& loop() { return loop_; }

  // Connects on first success; true while the accessibility bus and its registry answer.
  bool connect();
  void setTimeout(uint64_t timeoutUs);

  uint64_t addSubscription(FocusSource::WorkspaceCallback callback);
  void removeSubscription(uint64_t id);

  // 0 when the desktop is not connected or the process ID is not valid.
  uint64_t addObserver(int32_t pid, FocusObserver::Callback callback);
  void removeObserver(uint64_t id);
  FocusRegistration registerNotification(uint64_t id, FocusNotification notification);
  FocusRegistration watchDestruction(uint64_t id, const AtspiElementKey& key);

  std::optional<int32_t> frontmost();
  std::shared_ptr<FocusElement> focused();
  std::shared_ptr<FocusElement> focusedOf(int32_t pid);

  ScreenRect toPoints(const ScreenRect& pixels);

 private:
  explicit AtspiDesktop(std::string display);

  struct Observer {
    int32_t pid = 0;
    std::shared_ptr<const FocusObserver::Callback> callback;
    std::set<FocusNotification> registered;
    std::vector<AtspiElementKey> watched;
  };

  static void onEventThunk(AtspiEvent* event, void* self);
  void onEvent(AtspiEvent* event);
  void applicationLeft(const std::string& busName);
  void deliver(int32_t pid, FocusNotification notification);
  void deliverDestroyed(const AtspiElementKey& key);
  void deliverWorkspace(const WorkspaceEvent& event);
  void shutdown();

  int32_t pidOf(AtspiAccessible* accessible);
  std::vector<GRef<AtspiAccessible>> children(AtspiAccessible* parent);
  // Reads children while `budget` lasts, taking one from it for each.
  std::vector<GRef<AtspiAccessible>> children(AtspiAccessible* parent, size_t& budget);
  GRef<AtspiAccessible> applicationOf(int32_t pid);
  GRef<AtspiAccessible> focusedIn(AtspiAccessible* application);
  std::shared_ptr<FocusElement> wrap(GRef<AtspiAccessible> accessible);

  GlibLoopThread loop_;
  const std::string display_;
  bool connected_ = false;
  AtspiEventListener* listener_ = nullptr;
  GRef<AtspiAccessible> lastFocused_;
  int32_t activePid_ = 0;
  std::map<std::string, int32_t> pids_;  // bus name → process ID of the applications seen
  uint64_t nextId_ = 1;
  std::map<uint64_t, Observer> observers_;
  std::map<uint64_t, std::shared_ptr<const FocusSource::WorkspaceCallback>> subscriptions_;
  std::unique_ptr<XcbConnection> x_;
};

}  // namespace tavlo
