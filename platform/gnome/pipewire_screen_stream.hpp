#pragma once
// A consumer of one PipeWire screen-cast node (the stream mutter makes for a virtual monitor): the
// pictures it sends, copied out as BGRX, and the pointer it describes in the buffers' metadata.
//
// The stream has a connection and a loop thread of its own. It negotiates BGRx (BGRA, RGBx and RGBA are
// taken too and delivered as BGRX) at a fixed size in shared memory. A virtual monitor takes the size
// its consumer negotiates, so the size asked for here becomes the monitor's; resize() renegotiates it.
// The producer sends a picture only when something was drawn; a pointer that moves over a still
// picture arrives as metadata alone (a buffer without video).
//
// Each picture is copied out of PipeWire's buffer on the loop thread and the buffer goes straight back;
// subscribers get the copy. Copies are recycled from a small pool: a subscriber that keeps every one of
// them makes later pictures be dropped, never the memory grow. A buffer whose size, stride or offsets
// do not describe the negotiated picture is dropped with a log line.
//
// Thread-safe. Handlers run on the loop thread without the stream's lock; they must return quickly and
// must not call close() or unsubscribe() of their own stream (they may take other locks).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/cursor_overlay.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class PipeWireContext;

struct PixelSize {
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// The pointer as the producer last described it, in the picture's pixels.
struct ScreenCursor {
  bool visible = false;  // false: no metadata seen (the video embeds the pointer), or it left the monitor
  int32_t x = 0;         // where the hot spot is
  int32_t y = 0;
  int32_t hotspotX = 0;  // the hot spot's place in the image
  int32_t hotspotY = 0;
  uint32_t serial = 0;   // changes with the image
  std::shared_ptr<const CursorImage> image;  // premultiplied ARGB; null before the first bitmap
};

// One picture copied out of the stream: 4 bytes a pixel in B, G, R, X order, rows `bytesPerRow` apart.
struct ScreenFrame {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPerRow = 0;
  uint64_t sequence = 0;  // counts the pictures of the stream, from 1
  std::vector<uint8_t> pixels;
};

class PipeWireScreenStream : public std::enable_shared_from_this<PipeWireScreenStream> {
 public:
  enum class State {
    connecting,  // waiting for the node and the negotiation
    streaming,   // pictures may come
    paused,      // the producer stopped sending (the monitor is kept)
    failed,      // the connection or the node went; `error` says why; the stream stays failed
    closed,      // close() was called
  };
  struct Status {
    State state = State::connecting;
    PixelSize size;  // the negotiated size; zero until the first negotiation
    std::string error;
  };
  // A state or negotiated size changed (loop thread).
  using StatusHandler = std::function<void(const Status& status)>;
  // A new picture (`picture` non-null), or only the pointer moved or changed (`picture` null). The
  // cursor is the one current with the picture.
  using FrameHandler = std::function<void(std::shared_ptr<const ScreenFrame> picture, const ScreenCursor& cursor)>;

  struct Options {
    uint32_t nodeId = 0;  // the node the producer announced
    PixelSize size;       // the picture size asked for (each side 1…kMaxSide)
    // The PipeWire server's socket; empty: the session's own (PIPEWIRE_REMOTE, else the runtime folder's
    // pipewire-0).
    std::string remote;
    uint32_t maxFramesPerSecond = 60;
    StatusHandler onStatus;  // may be empty
    LogSink log;             // empty: SystemLog
  };

  static constexpr int32_t kMaxSide = 16384;

  // Connects and asks for the node's stream. nullptr, with why in `error`, when the server cannot be
  // reached, the size is out of range or the stream cannot be made. Negotiation goes on in the
  // background: the status reports `streaming` with the size once pictures can come.
  static std::shared_ptr<PipeWireScreenStream> open(Options options, std::string* error = nullptr);
  ~PipeWireScreenStream();
  PipeWireScreenStream(const PipeWireScreenStream&) = delete;
  PipeWireScreenStream& operator=(const PipeWireScreenStream&) = delete;

  // Asks for another picture size; the status reports the new size once it is negotiated (the size
  // already negotiated is left as it is). False, with why in `error`, when the size is out of range or
  // the stream is failed or closed.
  bool resize(PixelSize size, std::string* error = nullptr);
  // What was asked for last, and what the producer agreed to (zero before the first negotiation).
  PixelSize requestedSize() const;
  PixelSize negotiatedSize() const;
  Status status() const;
  uint32_t nodeId() const { return options_.nodeId; }

  // The handler gets every picture and pointer change from now on; the token removes it. After
  // unsubscribe returns, the handler is not running and will not be called again.
  uint64_t subscribe(FrameHandler handler);
  void unsubscribe(uint64_t token);
  // The latest picture (null before the first) and the pointer now.
  std::shared_ptr<const ScreenFrame> latestFrame() const;
  ScreenCursor cursor() const;

  // Disconnects; the state becomes `closed`. Idempotent; the destructor closes too.
  void close();

  // The C callbacks' state (defined in the .cpp).
  struct Events;

 private:
  friend class ScreenStreamCallbacks;
  explicit PipeWireScreenStream(Options options);
  // Loop thread (or with the loop locked).
  bool connectStream(PixelSize size, std::string* error);
  void deliver(std::shared_ptr<const ScreenFrame> picture, const ScreenCursor& cursor);
  void fail(const std::string& why);
  // Applies `change` to the status unless it is failed or closed, and reports a difference.
  void updateStatus(const std::function<void(Status&)>& change);
  void log(const std::string& line) const;

  const Options options_;
  // Held by resize, unsubscribe and close while they use the connection (never by the loop thread):
  // close may end it under them otherwise.
  std::mutex connectionMutex_;
  std::unique_ptr<PipeWireContext> context_;
  std::unique_ptr<Events> events_;

  mutable std::mutex mutex_;  // guards the fields below
  Status status_;
  PixelSize requested_;
  std::shared_ptr<const ScreenFrame> latest_;
  ScreenCursor cursor_;
  std::map<uint64_t, std::shared_ptr<const FrameHandler>> subscribers_;
  uint64_t nextToken_ = 1;
};

}  // namespace tavlo
