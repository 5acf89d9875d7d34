#pragma once
// The focus source of a Linux desktop: AT-SPI2 over the accessibility bus (libatspi). "Trusted" means
// an accessibility bus can be reached and its registry answers; nothing connects before the first
// isTrusted(), and a failed attempt is tried again by the next one.
//
// How the desktop maps onto the interface:
// - frontmost application: the one with a window in the active state; activation: a window of another
//   application becoming active; termination: the application leaving the desktop;
// - focused element: the last one that announced it took the focus while it still holds it, otherwise
//   the focused element of the frontmost application's active window;
// - roles: entries (text fields), password entries (secure), text views and terminals (text areas),
//   editable combo boxes; "value settable" is the editable state, "selected text range" the text
//   interface;
// - frames: screen extents, which AT-SPI gives in root pixels, turned into points by the HiDPI scale
//   of the RandR output that holds them (see root_pixels_to_points.hpp);
// - registration: an application that has not joined the accessibility bus yet answers
//   cannotComplete, so that the watcher tries again while it starts.
//
// libatspi runs on a thread of its own ("vela.atspi") shared by every source of the process; each
// call here waits for that thread. Callbacks arrive on it. libatspi keeps the accessibility bus it first
// joined: a bus that is restarted later is not joined again until the process restarts. It starts on
// GLib's default main context and is moved onto the thread's own at once, so nothing else in the
// process should iterate the default context while the first isTrusted() runs.
#include <memory>
#include <string>

#include "platform/focus/focus_source.hpp"

namespace tavlo {

class AtspiDesktop;

class AtspiFocusSource final : public FocusSource {
 public:
  // `display`: the X display whose outputs give the HiDPI scales (empty: $DISPLAY).
  static std::unique_ptr<AtspiFocusSource> create(const std::string& display = {});
  ~AtspiFocusSource() override;

  bool isTrusted() override;
  void setMessagingTimeout(uint64_t timeoutUs) override;
  std::unique_ptr<FocusSubscription> observeWorkspace(WorkspaceCallback callback) override;
  std::optional<int32_t> frontmostApplication() override;
  std::unique_ptr<FocusObserver> createObserver(int32_t pid, FocusObserver::Callback callback) override;
  std::shared_ptr<FocusElement> focusedElement() override;
  std::shared_ptr<FocusElement> focusedElementOf(int32_t pid) override;

 private:
  explicit AtspiFocusSource(std::shared_ptr<AtspiDesktop> desktop) : desktop_(std::move(desktop)) {}
  std::shared_ptr<AtspiDesktop> desktop_;
};

}  // namespace tavlo
