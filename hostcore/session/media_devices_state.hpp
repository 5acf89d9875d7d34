#pragma once
// Session state: the audio send path and the client's camera and microphone. Guarded by the session
// mutex.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace vela {

class CamDecoder;
class OpusDecoder;
class OpusEncoder;

struct MediaDevicesState {
  static constexpr int64_t defaultAudioPacketBytes = 960;

  // Audio to the client.
  tavlo::Bytes audioBuffer;
  uint32_t audioSeq = 0;
  int64_t silentPacketRun = 0;
  bool audioEnabled = true;
  int64_t audioPacketBytes = defaultAudioPacketBytes;
  int64_t audioBuffersSeen = 0;
  int64_t audioPacketsTotal = 0;
  bool audioCutByLink = false;
  uint64_t audioWeakUntilUs = 0;
  int64_t audioMode = 0;
  uint64_t lastAudioModeUs = 0;
  bool audioHiFiActive = false;
  std::shared_ptr<OpusEncoder> opusEncoder;
  bool opusBroken = false;

  // What the client can do and what it is asked for.
  bool clientOpusCapable = false;
  bool clientMicCapable = false;
  bool clientCamCapable = false;
  bool mediaGateMic = false;
  bool mediaGateCam = false;
  std::optional<bool> lastMicOn;  // the states last sent, replayed after a path promotion
  std::optional<bool> lastCamOn;
  std::optional<int64_t> lastMicQualityIdx;
  std::optional<int64_t> lastCamQualityIdx;
  int64_t camQualityIdx = -1;
  int64_t micQualityIdx = -1;
  uint64_t camLevelUpSinceUs = 0;
  uint64_t micLevelUpSinceUs = 0;
  int64_t streamBufferMs = 0;

  // The client's camera and microphone streams.
  int64_t camCfgW = 0;
  int64_t camCfgH = 0;
  int64_t camCfgFps = 0;
  int64_t camUpFrames = 0;
  uint64_t camUpEvalUs = 0;
  int64_t camUpOkRun = 0;
  int64_t camUpBadRun = 0;
  double camFpsPeak = 0;  // frames per second
  int64_t micUpPackets = 0;
  uint64_t micUpEvalUs = 0;
  int64_t micUpOkRun = 0;
  int64_t micUpBadRun = 0;
  std::shared_ptr<OpusDecoder> micDecoder;
  std::shared_ptr<CamDecoder> camDecoder;
  int64_t micPacketsSeen = 0;
  int64_t camFramesDecoded = 0;
  std::map<uint16_t, tavlo::Bytes> camParts;
  uint32_t camFrameId = 0;
  uint16_t camFrameCount = 0;
  // Camera reassembly limits: the bytes held for the frame being assembled, and whether that frame was
  // given up (too large), so that its remaining chunks are dropped.
  int64_t camFrameBytes = 0;
  bool camFrameAbandoned = false;
  // Camera losses: the frame id the next complete frame should have (once one completed), and whether a
  // frame was lost since the last one handed on (the decoder then withholds pictures until a keyframe).
  uint32_t camNextFrameId = 0;
  bool camFrameCompleted = false;
  bool camLossPending = false;

  // Clipboard: the next id of an item this host offers (random at construction, 1…2^62 − 1).
  uint64_t clipCounter = 0;
};

}  // namespace vela
