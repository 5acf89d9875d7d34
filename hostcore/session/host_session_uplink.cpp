// The uplink loops: the start of all four receive loops, the video upstream loop's dispatch (NACKs,
// frame feedback, camera chunks), the feedback intake's keyframe forcing and the microphone loop.
#include <algorithm>
#include <utility>

#include "hostcore/session/decode_or_nothing.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/session_threads.hpp"
#include "hostcore/session/session_time.hpp"
#include "media/opus_decoder.hpp"
#include "protocol/wire_error.hpp"

namespace vela {

namespace {

constexpr const char* videoUpThreadName = "vela.video.up";
constexpr const char* inputReliableThreadName = "vela.input.tcp";
constexpr const char* inputUnreliableThreadName = "vela.input.udp";
constexpr const char* micThreadName = "vela.mic";

// A lost or parity-repaired frame keeps the link counted as lossy this long.
constexpr uint64_t lossHotUs = 3'000'000;
// Shortest spacing of keyframes forced by lost frames; shorter under loss relief, which wants repairs.
constexpr uint64_t lostIdrSpacingUs = 1'000'000;
constexpr uint64_t lostIdrSpacingReliefUs = 333'000;
// The Opus format code of the client's microphone packets; others are counted and dropped.
constexpr uint8_t micFormatOpus = 0x11;
constexpr int micChannels = 1;
// Diagnostics count each datagram's payload with its headers.
constexpr int64_t micOverheadBytes = 30;
constexpr int64_t micLogEvery = 500;

std::optional<RawPacket> decodeHeader(ByteView packet) {
  try {
    return RawPacket::decode(packet);
  } catch (const WireError&) {
    return std::nullopt;
  }
}

// A loop over one stream: hands each packet to the session while it lives, ends with the stream.
template <class Handle, class Ended>
void startLoop(const char* name, std::weak_ptr<HostSession> weak, std::shared_ptr<SessionTransport> transport,
               PacketStream& (*streamOf)(SessionTransport&), Handle handle, Ended ended) {
  startSessionThread(name, [weak = std::move(weak), transport = std::move(transport), streamOf, handle, ended] {
    PacketStream& incoming = streamOf(*transport);
    while (auto packet = incoming.receive()) {
      auto session = weak.lock();
      if (!session) return;
      handle(*session, ByteView(*packet));
    }
    if (auto session = weak.lock()) ended(*session);
  });
}

}  // namespace

void HostSession::startUplinkLoops() {
  std::weak_ptr<HostSession> weak = weak_from_this();
  auto transport = this->transport();  // the primary one of now; not revisited while the loops run
  auto nothing = [](HostSession&) {};
  startLoop(
      videoUpThreadName, weak, transport, [](SessionTransport& t) -> PacketStream& { return t.video().incoming(); },
      [](HostSession& s, ByteView p) { s.handleVideoUpstreamPacket(p); }, nothing);
  startLoop(
      inputReliableThreadName, weak, transport,
      [](SessionTransport& t) -> PacketStream& { return t.inputReliable().incoming(); },
      [](HostSession& s, ByteView p) { s.handleInputReliablePacket(p); }, nothing);
  startLoop(
      inputUnreliableThreadName, weak, transport,
      [](SessionTransport& t) -> PacketStream& { return t.inputUnreliable().incoming(); },
      [](HostSession& s, ByteView p) { s.handleInputUnreliablePacket(p); },
      [](HostSession& s) { s.log("🖱 pętla input UDP zakończona (strumień flow zamknięty)"); });
  startLoop(
      micThreadName, weak, transport, [](SessionTransport& t) -> PacketStream& { return t.audio().incoming(); },
      [](HostSession& s, ByteView p) { s.handleMicPacket(p); }, nothing);
}

void HostSession::handleVideoUpstreamPacket(ByteView datagram) {
  auto raw = decodeHeader(datagram);
  if (!raw) return;
  // The message type alone selects the handling: the header's channel and session id are not compared.
  switch (raw->header.msgType) {
    case VideoType::nack:
      if (auto nack = decodeOrNothing<VideoNack>(*raw)) answerNack(*nack);
      break;
    case VideoType::frameFeedback:
      if (auto feedback = decodeOrNothing<FrameFeedback>(*raw)) intakeFeedback(*feedback);
      break;
    case VideoType::camChunk:
      if (auto chunk = decodeOrNothing<CamChunk>(*raw)) handleCamChunk(*chunk);
      break;
    default:
      break;
  }
}

void HostSession::intakeFeedback(const FrameFeedback& feedback) {
  using Status = FrameFeedback::Status;
  uint64_t now = nowUs();
  {
    Locked locked(*this);
    auto& a = locked->adaptation;
    if (!a.cloggedNow && (feedback.status == Status::lost || feedback.status == Status::recoveredViaFec))
      a.lossHotUntilUs = std::max(a.lossHotUntilUs, now + lossHotUs);
    if (feedback.status == Status::lost) {
      auto& kf = locked->keyframes;
      uint64_t spacing = a.lossReliefActive ? lostIdrSpacingReliefUs : lostIdrSpacingUs;
      auto sinceForced = ageUs(now, kf.lastIdrForcedUs);
      if (!sinceForced || *sinceForced >= spacing) {
        kf.forceKeyframeNext = true;
        kf.lastIdrForcedUs = now;
        kf.idrForcedWindow += 1;
      }
    }
  }
  applyFeedback(feedback);
}

void HostSession::handleMicPacket(ByteView datagram) {
  auto raw = decodeHeader(datagram);
  if (!raw || raw->header.msgType != AudioType::micPcm) return;
  auto mic = decodeOrNothing<MicPcm>(*raw);
  if (!mic) return;
  std::shared_ptr<OpusDecoder> decoder;
  int64_t seen;
  {
    Locked locked(*this);
    auto& media = locked->media;
    if (!media.micDecoder) media.micDecoder = OpusDecoder::create(micChannels);  // retried on the next packet
    media.micPacketsSeen += 1;
    locked->diag.diagMicBytes += static_cast<int64_t>(mic->pcm.size()) + micOverheadBytes;
    media.micUpPackets += 1;
    decoder = media.micDecoder;
    seen = media.micPacketsSeen;
  }
  if (mic->format != micFormatOpus || !decoder) return;
  auto pcm = decoder->decode(mic->pcm);
  if (!pcm) return;
  auto cb = callbacks();
  if (cb->onMicAudio) cb->onMicAudio(*pcm);
  if (seen == 1 || seen % micLogEvery == 0) {
    log("🎙 mikrofon klienta: pakiet #" + std::to_string(seen) + " (" + std::to_string(mic->pcm.size()) + "B opus → " +
        std::to_string(pcm->size()) + "B pcm)");
  }
}

}  // namespace vela
