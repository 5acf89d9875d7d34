#pragma once
// Cutting the TCP multiplex's byte stream into frames: a 4-byte little-endian payload length, then the
// payload (one packet, or one sealed envelope). A plain packet is routed by its byte 5, the channel
// byte of its header: 3 goes to reliable input, anything else to control. A sealed envelope always goes
// to control, where the encrypting wrapper opens it and re-sorts it in stream order. Payloads shorter
// than 6 bytes are consumed and dropped. Pure logic: the multiplexer feeds it what the socket reads.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class MuxFrameReader {
 public:
  // The largest payload accepted. A peer could otherwise announce 4 GiB and make the host buffer it
  // before any handshake; every frame this system sends is far smaller.
  static constexpr uint32_t maxFrameLength = 16 * 1024 * 1024;
  static constexpr size_t headerBytes = 4;
  // Shorter payloads cannot carry a channel byte: they are consumed and never delivered (a client's
  // first frame is such an empty one, whose acknowledgement tells it the host holds the connection).
  static constexpr size_t smallestDeliveredPayload = 6;

  enum class Route : uint8_t { control, inputReliable };
  struct Frame {
    Route route;
    Bytes payload;
  };

  // Appends a piece of the stream and adds every frame it completes to `out`, in stream order.
  // Returns false once a frame announced more than maxFrameLength: the stream cannot be trusted any
  // further and nothing more is cut from it.
  bool append(ByteView piece, std::vector<Frame>& out);

  bool overflowed() const { return overflowed_; }
  // Bytes received and not yet cut into a frame.
  size_t bufferedBytes() const { return buffer_.size() - start_; }
  // Memory held for the stream: what a length alone, before its bytes arrive, can make it hold.
  size_t reservedBytes() const { return buffer_.capacity(); }

 private:
  Bytes buffer_;
  size_t start_ = 0;  // first byte not yet consumed
  bool overflowed_ = false;
};

}  // namespace vela
