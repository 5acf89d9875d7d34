#include "host/app/cursor_wiring.hpp"

#include <cstdio>

#include "host/app/isolation_watch.hpp"
#include "host/app/x11_keepalive_window.hpp"
#include "host/app/xfixes_cursor_source.hpp"
#include "host/controller/session_watchers.hpp"
#include "host/controller/cursor_tracker.hpp"
#include "host/controller/host_controller.hpp"
#include "platform/x11/randr_change_watch.hpp"

namespace tavlo {

void wireSessionWatchers(HostControllerSeams& seams, Scheduler& scheduler, MainExecutor& main,
                         const std::shared_ptr<VirtualDisplayController>& displays,
                         const std::shared_ptr<SerialExecutor>& displayWorker,
                         const std::optional<std::string>& display, HostController* const& controller) {
  if (!displays) return;
  // What the watchers are handed to reach the main thread and the controller's log.
  const std::function<void(std::function<void()>)> postToMain = [executor = &main](std::function<void()> job) {
    executor->post(std::move(job));
  };
  const LogSink log = [&controller](const std::string& line) {
    if (controller) controller->log(line);
  };
  std::weak_ptr<VirtualDisplayController> weakDisplays = displays;
  auto isolation = IsolationWatch::create(scheduler, displayWorker, [weakDisplays] {
    if (auto d = weakDisplays.lock()) d->enforceIsolation();
  });
  std::string error;
  std::weak_ptr<IsolationWatch> weakIsolation = isolation;
  std::shared_ptr<RandrChangeWatch> layoutWatch = RandrChangeWatch::open(
      display.value_or(""),
      [weakIsolation] {
        if (auto watch = weakIsolation.lock()) watch->enforceNow();
      },
      &error);
  if (!layoutWatch) std::fprintf(stderr, "tavlo-host: screen layout changes are caught by the 0.5 s check only (%s)\n", error.c_str());
  std::shared_ptr<XFixesCursorSource> source = XFixesCursorSource::open(display.value_or(""), &error);
  std::shared_ptr<CursorTracker> tracker;
  if (source) {
    // The cursor and the display's widths are asked off the main thread: a stalled X server holds up
    // only this reader, never the tray or the end of the program.
    auto reader = std::make_shared<SerialExecutor>("tl.cursor");
    tracker = CursorTracker::create({
        *source,
        scheduler,
        postToMain,
        [&controller] { return controller ? controller->session() : nullptr; },
        [&controller] { return controller && controller->cursorVisible.get(); },
        [source, displays]() -> std::optional<DisplayWidths> {
          std::optional<DisplayId> id = displays->displayID();
          return id ? source->outputWidths(*id) : std::nullopt;
        },
        log,
        [reader](std::function<void()> job) { reader->post(std::move(job)); },
    });
  } else {
    std::fprintf(stderr, "tavlo-host: the cursor's shape is not sent to clients (%s)\n", error.c_str());
  }
  // Client input keeps a tiny window on the virtual display.
  std::shared_ptr<X11KeepaliveWindow> window = X11KeepaliveWindow::open(
      display.value_or(""), scheduler, [displays]() -> std::optional<uint32_t> { return displays->displayID(); },
      &error);
  if (window) {
    std::shared_ptr<CompositorKeepalive> keepalive = CompositorKeepalive::create(*window, scheduler, postToMain, log);
    seams.noteInputActivity = [keepalive, window] { keepalive->noteInputActivity(); };
  }
  seams.syncCursorTracking = [isolation, layoutWatch, tracker, source, &controller] {
    isolation->sync(controller && controller->session());
    if (tracker) tracker->sync();
  };
}

std::shared_ptr<InputPermissionWatchdog> startInputPermissionWatch(Scheduler& scheduler, MainExecutor& main,
                                                const std::optional<std::string>& display, HostController& controller) {
  std::string error;
  std::shared_ptr<XcbConnection> connection = XcbConnection::open(display.value_or(""), &error);
  if (!connection) return nullptr;
  MainExecutor* executor = &main;
  HostController* host = &controller;
  auto watchdog = InputPermissionWatchdog::start({
      scheduler,
      [executor](std::function<void()> job) { executor->post(std::move(job)); },
      [connection] { return xtestAccess(*connection); },
      [host](bool blocked) { host->inputBlocked.set(blocked); },
      [host] { return host->inputBlocked.get(); },
      [host](const std::string& line) { host->log(line); },
  });
  return watchdog;
}

}  // namespace tavlo
