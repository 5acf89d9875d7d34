// NACK answering from the retransmission store and the client's camera stream.
#include <utility>

#include "hostcore/session/cam_frame_assembly.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/nack_answering.hpp"
#include "media/cam_decoder.hpp"

namespace vela {

namespace {

// Diagnostics count each camera datagram's payload with its headers.
constexpr int64_t camOverheadBytes = 40;
constexpr int64_t camLogEvery = 300;

}  // namespace

void HostSession::answerNack(const VideoNack& nack) {
  uint64_t now = nowUs();
  uint64_t guard;
  {
    Locked locked(*this);
    NackAnswering::refill(locked->retransmit, now);
    guard = NackAnswering::guardUs(locked->adaptation.fbLagEwmaUs);
  }
  // The store guards itself: looked up without the session mutex.
  auto chunks = components_.retx->chunksFor(nack);
  if (chunks.empty()) return;
  size_t admitted = 0;
  {
    Locked locked(*this);
    for (auto& chunk : chunks) {
      bool keyframe = chunk->frameFlags.contains(FrameFlags::idr);
      if (NackAnswering::admit(locked->retransmit, chunk->frameId, chunk->chunkIdx, keyframe, now, guard))
        chunks[admitted++] = chunk;
    }
  }
  // Exactly as on first transmission: the primary path and every secondary one, the next sequence.
  for (size_t i = 0; i < admitted; ++i) sendChunk(chunks[i]);
}

// A camera frame lost on the way makes the decoder withhold pictures until the client's next keyframe.
// The protocol has no message that asks the client's camera for one: the picture comes back with the
// keyframe the client's encoder sends of its own accord.
void HostSession::handleCamChunk(const CamChunk& chunk) {
  std::optional<Bytes> accessUnit;
  std::shared_ptr<CamDecoder> decoder;
  bool lost;
  {
    Locked locked(*this);
    locked->diag.diagCamBytes += static_cast<int64_t>(chunk.payload.size()) + camOverheadBytes;
    accessUnit = addCamChunk(locked->media, chunk);
    if (!accessUnit) return;
    locked->media.camUpFrames += 1;
    decoder = locked->media.camDecoder;
    lost = std::exchange(locked->media.camLossPending, false);
  }
  if (!decoder) return;
  if (lost) decoder->unitLost();
  auto picture = decoder->decode(*accessUnit, chunk.captureTimestampUs);
  if (!picture) return;
  if (auto cb = callbacks(); cb->onCamFrame) cb->onCamFrame(*picture);
  int64_t decoded;
  {
    Locked locked(*this);
    decoded = ++locked->media.camFramesDecoded;
  }
  if (decoded == 1 || decoded % camLogEvery == 0)
    log("📷 kamera klienta: klatka #" + std::to_string(decoded) + " (" + std::to_string(accessUnit->size()) + "B)");
}

}  // namespace vela
