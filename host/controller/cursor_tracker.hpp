#pragma once
// The cursor-shape tracker: while a client streams with the cursor left out of the video, the desktop's
// cursor is read ten times a second and its image goes to the client whenever it changed (and every
// 2 s during the first 20 s, for a client that missed the first one). One owner, the controller's main
// thread. The desktop is asked on a reader of its own (an X server that stalls must not stall the main
// thread): each tick reads the cursor and the display's widths there, at most one read at a time, and
// posts what it read to the main thread.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/controller/controlled_session.hpp"
#include "host/controller/cursor_shapes.hpp"
#include "host/controller/cursor_source.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

// The virtual display's width in points (its RandR scale applied) and in the X server's pixels.
struct DisplayWidths {
  double points = 0;
  double pixels = 0;
};

// Stream pixels per point: 2.0 without a virtual display (`points` none or not positive); with a
// stream at least 1 pixel wide, its width over the display's points, in [1, 4]; else the display's own
// pixels per point, in [1, 4].
double hostPixelsPerPoint(std::optional<DisplayWidths> display, int64_t streamPixelWidth);
// Stream pixels per pixel of the X server, by which the cursor's image (in the server's pixels) is
// scaled: 1.0 without a display or a stream, else in [1, 4].
double cursorImageScale(std::optional<DisplayWidths> display, int64_t streamPixelWidth);

class CursorTracker : public std::enable_shared_from_this<CursorTracker> {
 public:
  struct Dependencies {
    CursorSource& source;
    Scheduler& scheduler;
    std::function<void(std::function<void()>)> postToMain;
    std::function<std::shared_ptr<ControlledSession>()> session;
    std::function<bool()> cursorVisible;
    // The virtual display's widths; none without one.
    std::function<std::optional<DisplayWidths>()> displayWidths;
    LogSink log;
    // Where `source` and `displayWidths` are asked; empty: on the main thread, within the tick.
    std::function<void(std::function<void()>)> postToReader{};
  };
  static std::shared_ptr<CursorTracker> create(Dependencies deps);
  ~CursorTracker();

  // Starts or stops the 10 Hz poll after the session or the cursor's visibility changed.
  void sync();
  // One read of the cursor and what follows from it (a tick of the poll without a reader).
  void poll();
  bool tracking() const { return timer_.has_value(); }

 private:
  explicit CursorTracker(Dependencies deps) : deps_(std::move(deps)) {}
  struct Reading {
    std::optional<CursorSnapshot> cursor;
    std::optional<DisplayWidths> display;
  };
  double nowSec() const { return static_cast<double>(deps_.scheduler.clock().nowUs()) / 1e6; }
  void stopTimer();
  void tick();
  Reading read() const;
  void apply(const Reading& reading);

  Dependencies deps_;
  std::optional<Scheduler::JobId> timer_;
  // A read is queued or under way on the reader: ticks meanwhile are skipped, not queued behind it.
  std::shared_ptr<std::atomic<bool>> reading_ = std::make_shared<std::atomic<bool>>(false);
  uint32_t lastHash_ = 0;
  int cursorDiagCount_ = 0;
  std::string lastKey_;
  int cursorPolls_ = 0;
  double lastPollReportAt_ = 0;
  double trackStartedAt_ = 0;
  double lastResendAt_ = 0;
};

}  // namespace tavlo
