// Datagrams a client could send on the session's uplink and input flows, through the session's pure
// intake: the input decode table, the input log lines, the host-shortcut matcher, the camera
// reassembly (never holding more than its cap, never assembling a frame with a missing index) and the
// NACK budget.
//
// Input: a sequence of datagrams, each a u16 little-endian length then that many bytes (cut short where
// the input ends).
#include <cstdint>
#include <cstdlib>

#include "hostcore/session/cam_frame_assembly.hpp"
#include "hostcore/session/host_shortcut_matcher.hpp"
#include "hostcore/session/input_decoding.hpp"
#include "hostcore/session/input_log_lines.hpp"
#include "hostcore/session/nack_answering.hpp"
#include "protocol/wire_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vela;
  InputState input;
  MediaDevicesState media;
  RetransmitState rtx;
  uint64_t now = 1'000'000'000'000ULL;
  int64_t eventNumber = 0;
  size_t at = 0;
  while (at + 2 <= size) {
    size_t length = data[at] | (size_t{data[at + 1]} << 8);
    at += 2;
    length = std::min(length, size - at);
    ByteView datagram(data + at, length);
    at += length;
    now += 997;
    try {
      RawPacket raw = RawPacket::decode(datagram);
      if (auto event = decodeInput(raw)) {
        inputLogLines(*event, ++eventNumber);
        interceptHostShortcut(input, *event);
      } else if (raw.header.channel == Channel::video && raw.header.msgType == VideoType::camChunk) {
        CamChunk chunk = raw.decodePayload<CamChunk>();
        auto unit = addCamChunk(media, chunk);
        if (media.camFrameBytes > camMaxFrameBytes || (unit && unit->size() > size_t(camMaxFrameBytes))) std::abort();
      } else if (raw.header.channel == Channel::video && raw.header.msgType == VideoType::nack) {
        VideoNack nack = raw.decodePayload<VideoNack>();
        NackAnswering::refill(rtx, now);
        for (uint16_t index : nack.missingChunks()) NackAnswering::admit(rtx, nack.frameId, index, index % 2, now, 8'000);
        if (rtx.rtxTokens < 0 || rtx.kfRtxTokens < 0) std::abort();
      }
    } catch (const WireError&) {
    }
  }
  return 0;
}
