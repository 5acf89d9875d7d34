#pragma once
// An EventPoster that keeps what it is given, for tests: the events in order, the warps and the
// flushes. Displays and the cursor are set by the test; mouse events and warps move the cursor as the
// window system would.
#include <map>
#include <mutex>
#include <vector>

#include "platform/input/event_poster.hpp"

namespace tavlo {

class RecordingPoster final : public EventPoster {
 public:
  struct Capabilities {
    bool tabletData = true;
    bool gestures = true;
  };

  RecordingPoster() : RecordingPoster(Capabilities{}) {}
  explicit RecordingPoster(Capabilities capabilities) : capabilities_(capabilities) {}

  void post(const SystemEvent& event) override;
  void flush() override;
  std::optional<ScreenRect> displayBounds(uint32_t displayID) override;
  std::optional<ScreenPoint> cursorPosition() override;
  void warpCursor(ScreenPoint point, uint32_t displayID) override;
  bool hasPermission() override;
  bool requestPermission() override;
  bool carriesTabletData() const override { return capabilities_.tabletData; }
  bool carriesGestures() const override { return capabilities_.gestures; }

  // Test controls.
  void setDisplayBounds(uint32_t displayID, std::optional<ScreenRect> bounds);
  // Empty: the cursor cannot be read (mouse events then do not set it either).
  void setCursorPosition(std::optional<ScreenPoint> point);
  void setPermission(bool granted);

  // What was posted, in order; take() also forgets it.
  std::vector<SystemEvent> events() const;
  std::vector<SystemEvent> take();
  std::vector<ScreenPoint> warps() const;
  int flushCount() const;

 private:
  const Capabilities capabilities_;
  mutable std::mutex mutex_;  // everything below
  std::vector<SystemEvent> events_;
  std::vector<ScreenPoint> warps_;
  std::map<uint32_t, ScreenRect> displays_;
  std::optional<ScreenPoint> cursor_ = ScreenPoint{};
  bool permission_ = true;
  int flushes_ = 0;
};

}  // namespace tavlo
