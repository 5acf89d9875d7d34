#pragma once
// Records of the two media channels. Video: the host's chunks and parity, the client's NACKs,
// per-frame feedback and camera chunks. Audio: the host's audio packets and the client's microphone.
// Each travels as one datagram; "rest" fields run to the end of the packet.
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/frame_flags.hpp"
#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

// One piece of an encoded frame (24-byte fixed part). No field is range-checked: a chunk index not
// below its count decodes.
struct VideoChunk {
  uint32_t frameId = 0;
  uint16_t chunkIdx = 0;
  uint16_t chunkCount = 0;
  FrameFlags frameFlags;
  uint8_t ltrToken = 0;
  uint16_t generation = 0;  // of the video configuration the frame belongs to
  uint64_t captureTimestampUs = 0;
  uint32_t frameByteLength = 0;
  Bytes payload;  // at most maxVideoChunkPayload bytes

  static void fields(auto& r, auto& io) {
    io(r.frameId, r.chunkIdx, r.chunkCount, r.frameFlags, r.ltrToken, r.generation, r.captureTimestampUs,
       r.frameByteLength, wire::rest(r.payload));
  }
  VELA_WIRE_RECORD(VideoChunk, Channel::video, VideoType::chunk);
};

// XOR of one interleaved group of a frame's chunk payloads (members g, g+G, g+2G ...). It repeats the
// frame's values so that a parity packet alone names the frame.
struct VideoParity {
  uint32_t frameId = 0;
  uint8_t groupIndex = 0;
  uint8_t groupCount = 0;
  uint16_t chunkCount = 0;
  FrameFlags frameFlags;
  uint8_t ltrToken = 0;
  uint16_t generation = 0;
  uint64_t captureTimestampUs = 0;
  uint32_t frameByteLength = 0;
  Bytes payload;  // as long as the longest member

  static void fields(auto& r, auto& io) {
    io(r.frameId, r.groupIndex, r.groupCount, r.chunkCount, r.frameFlags, r.ltrToken, r.generation,
       r.captureTimestampUs, r.frameByteLength, wire::rest(r.payload));
  }
  VELA_WIRE_RECORD(VideoParity, Channel::video, VideoType::parity);
};

// The chunks of one frame that the client is missing: bit b of bitmap byte k names chunk
// baseChunkIdx + 8k + b. At most 255 bitmap bytes are written, so one NACK reaches 2,039 places past
// its base.
struct VideoNack {
  uint32_t frameId = 0;
  uint16_t generation = 0;
  uint16_t baseChunkIdx = 0;
  Bytes bitmap;

  // Client side: base is the smallest index (0 for none), and the bitmap spans up to the largest.
  static VideoNack fromMissing(uint32_t frameId, uint16_t generation, std::span<const uint16_t> missing);
  // Host side: the named chunk indices in ascending order. A bit whose index would pass 65,535 names
  // no chunk (no frame has that many) and is dropped.
  std::vector<uint16_t> missingChunks() const;

  static void fields(auto& r, auto& io) { io(r.frameId, r.generation, r.baseChunkIdx, wire::countedU8(r.bitmap)); }
  VELA_WIRE_RECORD(VideoNack, Channel::video, VideoType::nack);
};

// The client's report on one frame: 31 bytes, of which the last five are optional (a 26-byte report
// has neither, a 27- to 30-byte one carries delaySignal and a zero rate).
struct FrameFeedback {
  enum class Status : uint8_t { clean = 0, recoveredViaNack = 1, lost = 2, recoveredViaFec = 3 };
  friend constexpr WireEnumRange wireRange(Status) { return {0, 3}; }

  uint32_t frameId = 0;
  uint16_t generation = 0;
  Status status = Status::clean;
  uint8_t nackRounds = 0;
  uint16_t retransmittedChunks = 0;
  uint32_t assembleDurationUs = 0;  // first chunk to completion
  uint32_t decodeDurationUs = 0;
  uint64_t clientRecvTimestampUs = 0;
  uint8_t delaySignal = 0;  // the client's delay trend, for the bitrate controller
  uint32_t recvRateKbps = 0;

  static void fields(auto& r, auto& io) {
    io(r.frameId, r.generation, wire::checked(r.status, "feedback status"), r.nackRounds, r.retransmittedChunks,
       r.assembleDurationUs, r.decodeDurationUs, r.clientRecvTimestampUs, wire::trailing(r.delaySignal, 0),
       wire::trailing(r.recvRateKbps, 0));
  }
  VELA_WIRE_RECORD(FrameFeedback, Channel::video, VideoType::frameFeedback);
};

// One piece of the client's HEVC camera stream (17-byte fixed part).
struct CamChunk {
  uint32_t frameId = 0;
  uint16_t chunkIdx = 0;
  uint16_t chunkCount = 0;
  bool keyframe = false;
  uint64_t captureTimestampUs = 0;
  Bytes payload;

  static void fields(auto& r, auto& io) {
    io(r.frameId, r.chunkIdx, r.chunkCount, r.keyframe, r.captureTimestampUs, wire::rest(r.payload));
  }
  VELA_WIRE_RECORD(CamChunk, Channel::video, VideoType::camChunk);
};

// System audio, host to client (10-byte fixed part). `format` is the sender's code for the encoding
// of `pcm` (Opus or raw samples).
struct AudioPcm {
  uint64_t captureTimestampUs = 0;
  uint8_t format = 0;
  Bytes pcm;

  static void fields(auto& r, auto& io) { io(r.captureTimestampUs, r.format, wire::reserved, wire::rest(r.pcm)); }
  VELA_WIRE_RECORD(AudioPcm, Channel::audio, AudioType::pcm);
};

// The client's microphone, in the layout of AudioPcm.
struct MicPcm {
  uint64_t captureTimestampUs = 0;
  uint8_t format = 0;
  Bytes pcm;

  static void fields(auto& r, auto& io) { io(r.captureTimestampUs, r.format, wire::reserved, wire::rest(r.pcm)); }
  VELA_WIRE_RECORD(MicPcm, Channel::audio, AudioType::micPcm);
};

}  // namespace vela
