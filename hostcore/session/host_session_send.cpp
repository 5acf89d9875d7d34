// The encoded frame to the wire: the video configuration when one is due, frame flags and LTR wire
// tokens, chunking into the retransmission store, spread chunks, parity, the duplication window, the
// emergency keyframe copy and the send counters.
#include "hostcore/engines/encoded_frame.hpp"
#include "hostcore/session/frame_send_math.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/host_sink.hpp"
#include "hostcore/session/session_time.hpp"
#include "protocol/parity_encoder.hpp"

namespace vela {

namespace {

constexpr int64_t fecLogEvery = 120;
constexpr int64_t dupLogEvery = 120;
constexpr int64_t framesLogEvery = 60;

int64_t payloadBytesOf(const std::vector<SharedVideoChunk>& chunks) {
  int64_t bytes = 0;
  for (const auto& chunk : chunks) bytes += int64_t(chunk->payload.size());
  return bytes;
}

}  // namespace

void HostSession::handleEncoded(const EncodedFrame& frame, int64_t pointsW, int64_t pointsH) {
  uint16_t generation;
  std::optional<VideoConfig> config;
  {
    Locked locked(*this);
    SessionState& s = locked.state();
    // Without a display nothing can be described or sent; the configuration counts as sent only once
    // it has really gone out.
    if (!s.engines.providedDisplay) return;
    generation = s.identity.generation;
    if (!s.send.configSent && frame.parameterSets) {
      const ProvidedDisplay& d = *s.engines.providedDisplay;
      tavlo::Bytes blob = frame.parameterSets->serialize();
      s.send.configSent = true;
      s.keyframes.firstIdrFreePending = true;
      s.send.lastHvcc = blob;
      s.send.lastCodedPx = {uint16_t(d.pixelWidth), uint16_t(d.pixelHeight)};
      s.send.lastPointsPx = {uint16_t(pointsW), uint16_t(pointsH)};
      config = VideoConfig{generation, uint16_t(d.pixelWidth), uint16_t(d.pixelHeight), uint16_t(pointsW),
                           uint16_t(pointsH), VideoCodec::hevc8, 8, uint16_t(s.geometry.targetFps), std::move(blob)};
      locked.sendControl(*config);
      // Second paths get it too, queued in this hold (see sendConfigToSinks).
      sendConfigToSinks(s.path.secondarySinks, *config);
      locked.log("VIDEO_CONFIG wysłany (gen " + std::to_string(generation) + ", " + std::to_string(d.pixelWidth) + "×" +
                 std::to_string(d.pixelHeight) + ")");
    }
  }

  FrameFlags flags;
  uint8_t ltrToken = ltrTokenNone;
  if (frame.isKeyframe) flags = flags | FrameFlags::idr;
  if (frame.parameterSets) flags = flags | FrameFlags::inBandParamSets;
  {
    Locked locked(*this);
    if (frame.isKeyframe) locked->keyframes.lastIdrFrameId = frame.frameId;
    if (frame.isLTR) {
      ltrToken = takeLtrWireToken(locked->keyframes.ltrNextWire);
      locked->keyframes.ltrWireToVT[ltrToken] = frame.ltrToken;
      flags = flags | FrameFlags::isLTR;
    }
  }
  if (frame.isLTRRefresh) {
    flags = flags | FrameFlags::refreshFromLTR;
    log("↩︎ LTR-refresh wysłany (frame " + std::to_string(frame.frameId) + ")");
  }

  auto chunks = Chunker::chunk(frame.frameId, generation, flags, ltrToken, frame.captureTimestampUs, frame.avcc);
  const int64_t n = int64_t(chunks.size());
  if (n == 0) return;  // larger than any frame the wire can carry
  bool lowLag;
  double recvRate;
  {
    Locked locked(*this);
    auto& send = locked->send;
    send.frameCapIds[frame.frameId & 0xFF] = frame.frameId;
    send.frameCapUs[frame.frameId & 0xFF] = frame.captureTimestampUs;
    lowLag = lowLagLink(locked->path.lanSession, locked->path.relayedSession, locked->adaptation.fbLagEwmaUs);
    recvRate = locked->adaptation.recvRateEwma;
  }
  components_.retx->retain(frame.frameId, generation, chunks);
  const bool isIdr = flags.contains(FrameFlags::idr);
  components_.linkEstimator->onFrameSent(n, isIdr, nowUs());

  const uint64_t spread = chunkSpreadUs(n, isIdr, lowLag, payloadBytesOf(chunks), recvRate);
  sendChunksPaced(chunks, spread);

  bool hot, wan;
  {
    Locked locked(*this);
    locked->adaptation.fecPrimed = true;
    hot = isBefore(nowUs(), locked->adaptation.lossHotUntilUs);
    wan = locked->adaptation.wanLink;
  }
  const int G = fecGroupCount(flags, n, hot, wan);
  size_t parityCount = 0;
  if (G >= 1) {
    auto parity = ParityEncoder::encode(chunks, G);
    parityCount = parity.size();
    const uint64_t pSpread = paritySpreadUs(spread);
    const bool small = n < FrameSendLimits::pacedFromChunks;
    const auto interleave = deps_.settings->getBool("tl.fecInterleave");
    if (interleave && !*interleave) {
      sendParityPaced(std::move(parity), small ? 0 : pSpread);
    } else if (small) {
      sendParityPaced(std::move(parity), 0);
    } else if (parityCount < 2) {
      sendParityPaced(std::move(parity), pSpread);
    } else {
      sendParityInterleaved(std::move(parity), n, G, pSpread);
    }
  }

  DupVerdict dup;
  int64_t dupSentNow = 0;
  bool emergency = false, bootstrap = false;
  {
    Locked locked(*this);
    SessionState& s = locked.state();
    auto& a = s.adaptation;
    if (parityCount > 0) {
      a.fecSent += int64_t(parityCount);
      if (a.fecSent % fecLogEvery == 0) {
        locked.log("🛡️ FEC: wysłano " + std::to_string(a.fecSent) + " pakietów parzystości (okno hot)");
      }
    }
    a.fecRatioEwma = 0.95 * a.fecRatioEwma + 0.05 * (double(parityCount) / double(std::max<int64_t>(n, 1)));
    dup = duplicationVerdict(a, nowUs(), n, frame.frameId);
    if (dup == DupVerdict::duplicate) {
      const int64_t before = a.dupSent / dupLogEvery;
      a.dupSent += n;
      dupSentNow = a.dupSent / dupLogEvery != before ? a.dupSent : 0;
    }
    if (isIdr) {
      s.keyframes.lastIdrBytes = int64_t(frame.avcc.size());
      s.keyframes.lastIdrWallUs = nowUs();
      bootstrap = std::exchange(s.keyframes.bootstrapIdrDupPending, false);
      const bool rescue = std::exchange(s.keyframes.rescueIdrDupPending, false);
      emergency = emergencyKeyframeCopy(bootstrap, rescue, dup, a.cloggedNow, n);
    }
  }
  if (dup == DupVerdict::duplicate) {
    for (const auto& chunk : chunks) sendChunk(chunk);
    if (dupSentNow) log("🧬 duplikacja przetrwania: " + std::to_string(dupSentNow) + " chunków (okno dup)");
  }
  if (emergency) {
    sendChunksPaced(chunks, n < FrameSendLimits::pacedFromChunks ? 0 : FrameSendLimits::baseSpreadUs);
    log("🧬 ratunkowy IDR ×2 (" + std::to_string(n) + " chunków" + (bootstrap ? ", bootstrap WAN" : "") + ")");
  }

  Locked locked(*this);
  auto& send = locked->send;
  send.framesSent += 1;
  locked->diag.diagTxBytes += int64_t(frame.avcc.size());
  locked->diag.diagTxFrames += 1;
  if (send.framesSent % framesLogEvery == 0) {
    locked.log("wysłano " + std::to_string(send.framesSent) + " klatek (ostatnia " + std::to_string(frame.avcc.size()) +
               " B, " + std::to_string(n) + " chunków)");
  }
}

int HostSession::fecGroupCount(FrameFlags flags, int64_t chunkCount, bool hot, bool wan) {
  FecInputs in{flags, chunkCount, hot, wan};
  {
    Locked locked(*this);
    in.lossEwma = locked->adaptation.fecLossEwma;
    in.clogged = locked->adaptation.cloggedNow;
  }
  in.pFecRamp = deps_.settings->getBool("tl.pFecRamp").value_or(true);
  in.fecCapLowRtt = deps_.settings->getBool("tl.fecCapLowRtt").value_or(true);
  return vela::fecGroupCount(in, tunables_);
}

}  // namespace vela
