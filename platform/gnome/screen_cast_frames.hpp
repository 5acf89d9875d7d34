#pragma once
// Which virtual monitors of the GNOME desktop have a screen-cast stream, shared between the display
// system that makes them and the capture backend that reads them.
//
// Ownership: the display system opens each monitor's PipeWireScreenStream (on the node mutter
// announced for its RecordVirtual stream, at the pixel size wanted, with cursor-mode "metadata" so that
// the capture decides whether the pointer is drawn), publishes it here under the monitor's DisplayId,
// resizes it when the mode changes, and withdraws and closes it when the monitor goes. The capture
// backend only looks streams up and subscribes to them; a capture keeps its stream alive (shared) until
// it stops, and sees it fail or close if the monitor goes first.
//
// Thread-safe; no call blocks on PipeWire.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/display/display_system.hpp"
#include "platform/gnome/pipewire_screen_stream.hpp"

namespace tavlo {

// A monitor with a live stream and its pixel size: the negotiated one, or the one asked for while the
// first negotiation is under way.
struct ScreenCastDisplay {
  DisplayId display = 0;
  PixelSize size;
  friend bool operator==(const ScreenCastDisplay&, const ScreenCastDisplay&) = default;
};

class ScreenCastFrames {
 public:
  // Publishes (or replaces) the display's stream.
  void publish(DisplayId display, std::shared_ptr<PipeWireScreenStream> stream);
  // Forgets the display's stream (unknown displays are ignored); the stream itself is not closed.
  void withdraw(DisplayId display);

  // The displays whose stream is neither failed nor closed, in DisplayId order.
  std::vector<ScreenCastDisplay> displays() const;
  // The display's stream, or null.
  std::shared_ptr<PipeWireScreenStream> lookup(DisplayId display) const;

 private:
  mutable std::mutex mutex_;  // guards streams_
  std::map<DisplayId, std::shared_ptr<PipeWireScreenStream>> streams_;
};

}  // namespace tavlo
