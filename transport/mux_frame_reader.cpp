#include "transport/mux_frame_reader.hpp"

#include "e2e/e2e_envelope.hpp"
#include "protocol/packet_header.hpp"

namespace vela {
namespace {

constexpr size_t channelByte = 5;  // offset of the channel in a plain packet header
constexpr uint32_t reserveAheadLimit = 1 << 20;

uint32_t readLength(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool MuxFrameReader::append(ByteView piece, std::vector<Frame>& out) {
  if (overflowed_) return false;
  // Keep the buffer from growing with consumed bytes: move the unconsumed tail to the front once the
  // consumed part dominates.
  if (start_ > 0 && start_ >= buffer_.size() - start_) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), piece.begin(), piece.end());
  for (;;) {
    size_t available = buffer_.size() - start_;
    if (available < headerBytes) break;
    uint32_t length = readLength(&buffer_[start_]);
    if (length > maxFrameLength) {
      overflowed_ = true;
      buffer_.clear();
      start_ = 0;
      return false;
    }
    if (available - headerBytes < length) {
      // Reserve once for the whole frame instead of regrowing piece by piece, but only up to a size
      // a peer may claim for free: beyond it the buffer grows with the bytes that really arrive.
      if (length <= reserveAheadLimit) buffer_.reserve(start_ + headerBytes + length);
      break;
    }
    const uint8_t* payload = &buffer_[start_ + headerBytes];
    start_ += headerBytes + length;
    if (length < smallestDeliveredPayload) continue;  // too short to carry a channel: consumed, never delivered
    // A sealed envelope hides its channel (its byte 5 is random nonce), so every envelope goes to control,
    // whose one pump opens it and passes reliable input on. Guessing from the nonce sent about one frame
    // in 256 through the other pump, which could overtake frames still queued on this one: a 5 MB
    // clipboard upload lost a piece to that, and keystrokes could swap places.
    Route route = Route::control;
    if (!E2EEnvelope::isEnvelope(ByteView(payload, length)) && payload[channelByte] == rawValue(Channel::inputReliable))
      route = Route::inputReliable;
    out.push_back({route, Bytes(payload, payload + length)});
  }
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return true;
}

}  // namespace vela
