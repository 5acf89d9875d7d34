#pragma once
// One display of an Xorg server read as a sequence of NV12 pictures: the RandR output's CRTC rectangle
// grabbed through MIT-SHM, the cursor blended in from XFIXES when it is shown, converted and scaled to
// the stream's size. XDAMAGE says when the rectangle changed; a read without a change (no drawing in
// the rectangle, no cursor movement, no new configuration) delivers nothing.
//
// The reader has its own connection to the server. It follows the output through RandR: a new mode or
// position is picked up at the next read; an output that is off or gone reads as unavailable until it
// comes back.
//
// Not thread-safe: one thread (the capture thread) runs every call.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/capture/cursor_overlay.hpp"
#include "platform/capture/damage_tracker.hpp"
#include "platform/capture/nv12_converter.hpp"
#include "platform/capture/shm_grabber.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class X11FrameReader {
 public:
  enum class Outcome {
    frame,        // the target holds a new picture
    unchanged,    // nothing changed since the last frame: nothing was written
    unavailable,  // the output is off or gone, or the server refused the grab
    noTarget,     // there was news, but the caller had no picture to write into: it stays news
  };
  // Gives the picture to write into, of the configured size; nullopt when none is free.
  using TargetSource = std::function<std::optional<Nv12View>()>;

  // Connects to `display` (":N"; empty: $DISPLAY) and follows the RandR output `outputId`. nullptr, with
  // the reason in `error`, when the server cannot be reached or lacks MIT-SHM, DAMAGE, XFIXES or RandR.
  // The output itself is looked up at each read. `converterThreads` as for Nv12Converter.
  static std::unique_ptr<X11FrameReader> open(const std::string& display, uint32_t outputId,
                                              std::string* error = nullptr,
                                              int converterThreads = Nv12Converter::kDefaultThreads);
  ~X11FrameReader();
  X11FrameReader(const X11FrameReader&) = delete;
  X11FrameReader& operator=(const X11FrameReader&) = delete;

  // The picture size to deliver (at least 2 × 2) and whether the cursor is drawn. The next read
  // delivers a frame, changed or not.
  void configure(int32_t width, int32_t height, bool showsCursor);

  // The connection's descriptor, readable when the server sent events: a caller may wait on it
  // between reads.
  int eventDescriptor() const;
  // Takes every event that has arrived, without waiting.
  void handleEvents();

  // Delivers the current picture when it changed since the last frame: takes a target from
  // `acquireTarget` only then, and writes the picture into it. Takes the events that have arrived first.
  Outcome read(const TargetSource& acquireTarget);

  // False once the server has gone.
  bool healthy() const { return connection_->healthy(); }
  // The rectangle read, in root pixels; empty while the output is unavailable.
  const PixelRect& area() const { return area_; }
  uint32_t outputId() const { return outputId_; }

 private:
  X11FrameReader() = default;
  bool refreshGeometry();
  bool cursorMoved() const;

  std::unique_ptr<XcbConnection> connection_;
  std::unique_ptr<DamageTracker> damage_;
  std::unique_ptr<CursorOverlay> cursor_;
  std::unique_ptr<ShmGrabber> grabber_;
  std::unique_ptr<Nv12Converter> converter_;
  uint8_t randrFirstEvent_ = 0;
  int converterThreads_ = 1;
  uint32_t outputId_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  bool showsCursor_ = false;
  PixelRect area_;
  bool geometryStale_ = true;  // RandR reported a change, or the last grab failed
  bool forceFrame_ = true;     // a new configuration or geometry: deliver whatever the damage says
  CursorPlacement deliveredCursor_;  // where the cursor was in the last delivered frame
  bool cursorDelivered_ = false;
};

}  // namespace tavlo
