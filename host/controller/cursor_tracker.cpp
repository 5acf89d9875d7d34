#include "host/controller/cursor_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavlo {

namespace {

constexpr uint64_t pollIntervalUs = 100'000;
constexpr double pollReportEverySec = 5.0;
constexpr double resendWindowSec = 20.0;
constexpr double resendEverySec = 2.0;
constexpr int diagnosticReads = 12;

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

namespace {

// A width the display reported that can divide: positive and finite (NaN fails every comparison, and
// would pass a plain `<= 0` check into a clamp that returns it unchanged).
bool usableWidth(double width) { return std::isfinite(width) && width > 0; }

}  // namespace

double hostPixelsPerPoint(std::optional<DisplayWidths> display, int64_t streamPixelWidth) {
  if (!display || !usableWidth(display->points)) return 2.0;
  if (streamPixelWidth >= 1) return std::clamp(static_cast<double>(streamPixelWidth) / display->points, 1.0, 4.0);
  if (!usableWidth(display->pixels)) return 2.0;
  return std::clamp(display->pixels / display->points, 1.0, 4.0);
}

double cursorImageScale(std::optional<DisplayWidths> display, int64_t streamPixelWidth) {
  if (!display || !usableWidth(display->pixels) || streamPixelWidth < 1) return 1.0;
  return std::clamp(static_cast<double>(streamPixelWidth) / display->pixels, 1.0, 4.0);
}

std::shared_ptr<CursorTracker> CursorTracker::create(Dependencies deps) {
  return std::shared_ptr<CursorTracker>(new CursorTracker(std::move(deps)));
}

CursorTracker::~CursorTracker() { stopTimer(); }

void CursorTracker::stopTimer() {
  if (timer_) deps_.scheduler.cancel(*timer_);
  timer_.reset();
}

void CursorTracker::sync() {
  if (deps_.session() && !deps_.cursorVisible()) {
    lastHash_ = 0;
    cursorDiagCount_ = 0;
    lastKey_.clear();
    trackStartedAt_ = nowSec();
    lastResendAt_ = 0;
    if (timer_) return;
    // The first report of the poll's rate covers the time since tracking began, not since boot.
    lastPollReportAt_ = trackStartedAt_;
    cursorPolls_ = 0;
    std::weak_ptr<CursorTracker> weak = weak_from_this();
    auto post = deps_.postToMain;
    timer_ = deps_.scheduler.every(pollIntervalUs, [weak, post] {
      post([weak] {
        if (auto self = weak.lock()) self->tick();
      });
    });
    deps_.log("🖱 kursor ukryty w strumieniu → wysyłam KSZTAŁT kursora do klienta (10 Hz, tylko przy zmianie)");
  } else if (timer_) {
    stopTimer();
    deps_.log("🖱 śledzenie kształtu kursora zatrzymane");
  }
}

void CursorTracker::tick() {
  if (!timer_ || !deps_.session() || deps_.cursorVisible()) return;
  if (!deps_.postToReader) return poll();
  if (reading_->exchange(true)) return;
  std::weak_ptr<CursorTracker> weak = weak_from_this();
  // The reader holds the tracker weakly: a tracker gone meanwhile is not read for.
  deps_.postToReader([weak, post = deps_.postToMain, flag = reading_] {
    auto self = weak.lock();
    if (!self) return flag->store(false);
    Reading reading = self->read();
    self.reset();
    flag->store(false);
    post([weak, reading = std::move(reading)] {
      if (auto tracker = weak.lock()) tracker->apply(reading);
    });
  });
}

CursorTracker::Reading CursorTracker::read() const {
  Reading reading;
  reading.cursor = deps_.source.current();
  if (reading.cursor) reading.display = deps_.displayWidths();
  return reading;
}

void CursorTracker::poll() { apply(read()); }

void CursorTracker::apply(const Reading& reading) {
  std::shared_ptr<ControlledSession> session = deps_.session();
  if (!timer_ || !session || deps_.cursorVisible()) return;
  const std::optional<CursorSnapshot>& cursor = reading.cursor;
  if (!cursor) return;
  ++cursorPolls_;
  const double now = nowSec();
  const std::string signature = cursorSignature(*cursor);
  if (now - lastPollReportAt_ >= pollReportEverySec) {
    const double interval = now - lastPollReportAt_;
    deps_.log("🖱 odpytywanie kursora: " + std::to_string(cursorPolls_) + " odczytów w " + fixed(interval, 1) +
              " s (oczekiwane ~" + std::to_string(static_cast<int64_t>(interval * 10)) + "), bieżący kształt " +
              signature);
    cursorPolls_ = 0;
    lastPollReportAt_ = now;
  }
  const bool resendDue = now - trackStartedAt_ < resendWindowSec && now - lastResendAt_ >= resendEverySec;
  const std::optional<DisplayWidths>& display = reading.display;
  const int64_t streamWidth = session->streamPixelWidth();
  const double ppp = hostPixelsPerPoint(display, streamWidth);
  // The X server hands the image over in its own pixels, not in points: it is scaled only by what
  // separates those from the stream's pixels.
  const double imageScale = cursorImageScale(display, streamWidth);
  // The X server's serial tells two unnamed cursors of one size apart, which the signature cannot.
  const std::string key = signature + "#" + std::to_string(cursor->serial) + "@" + fixed(ppp, 2);
  if (key == lastKey_ && lastHash_ != 0 && !resendDue) return;
  if (resendDue) lastResendAt_ = now;
  lastKey_ = key;

  std::optional<CursorBitmap> bitmap = renderCursor(*cursor, imageScale);
  if (!bitmap) return;
  const uint32_t hash = sampledCursorHash(bitmap->bgra);
  const CursorShapeTable& table = CursorShapeTable::standard();
  const vela::CursorShape shape = table.shapeOf(cursor->name);
  if (cursorDiagCount_ == 0) {
    deps_.log("🖱 sygnatury referencyjne (" + std::to_string(table.size()) + "): " + table.namesJoined());
  }
  if (cursorDiagCount_ < diagnosticReads) {
    ++cursorDiagCount_;
    deps_.log("🖱 sygnatura bieżącego: " + signature + " → " + cursorShapeName(shape));
    deps_.log("🖱 odczyt kursora: currentSystem=jest " + std::to_string(bitmap->width) + "×" +
              std::to_string(bitmap->height) + " px, kształt=" + cursorShapeName(shape) +
              ", hash=" + std::to_string(hash) + (hash != lastHash_ ? " → WYSYŁAM" : " (bez zmiany)"));
  }
  if (hash == lastHash_ && !resendDue) return;
  if (!session->sendCursorImage(hash, bitmap->bgra, bitmap->width, bitmap->height,
                                static_cast<int64_t>(cursor->hotX * imageScale),
                                static_cast<int64_t>(cursor->hotY * imageScale),
                                std::max<int64_t>(1, static_cast<int64_t>(ppp)), shape)) {
    // Refused (the client's hello is not accepted yet): the cursor counts as not sent, so the next
    // tick tries again rather than waiting for it to change.
    lastKey_.clear();
    return;
  }
  lastHash_ = hash;
  deps_.log("🖱 WYSYŁAM kursor " + std::to_string(bitmap->width) + "×" + std::to_string(bitmap->height) + " px (≈" +
            std::to_string(static_cast<int64_t>(static_cast<double>(bitmap->width) / ppp)) + "×" +
            std::to_string(static_cast<int64_t>(static_cast<double>(bitmap->height) / ppp)) + " pt × " + fixed(ppp, 2) +
            "), kształt=" + cursorShapeName(shape));
}

}  // namespace tavlo
