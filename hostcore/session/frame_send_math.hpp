#pragma once
// The frame send path's arithmetic, free of locks and threads: how long a frame's chunks are spread,
// how many parity groups a frame gets, the long-term-reference wire tokens, the duplication window's
// verdict, the emergency keyframe copy, the order of interleaved parity and the pacing schedule; and
// engine setup's bitrate floor and wire cap.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "hostcore/session/adaptation_state.hpp"
#include "hostcore/session/session_tunables.hpp"
#include "protocol/frame_flags.hpp"

namespace vela {

struct FrameSendLimits {
  static constexpr int64_t pacedFromChunks = 26;        // frames with fewer chunks leave back to back
  static constexpr uint64_t baseSpreadUs = 6'000;       // the spread of a larger frame on a fast link
  static constexpr uint64_t minKeyframeSpreadUs = 20'000;
  static constexpr uint64_t maxKeyframeSpreadUs = 250'000;
  static constexpr double minRecvRateBps = 300'000;     // a receive rate below this is not trusted
  static constexpr double keyframeSpreadFactor = 1.3;   // 1.3 × the frame's time at the receive rate
  static constexpr uint64_t inlineMaxSpreadUs = 10'000; // longer spreads go to the pacer queue
  static constexpr uint64_t pacerSliceUs = 5'000;       // longest single sleep while pacing
  static constexpr uint64_t inlineParitySliceUs = 2'000;
  static constexpr uint64_t minParitySpreadUs = 4'000;
  static constexpr uint64_t parityThirdFromUs = 12'000; // from this spread parity takes a third of it
  static constexpr double lanLagMaxUs = 60'000;         // feedback lag above: not a low-lag link
  static constexpr double relayedLagOkUs = 40'000;      // a relayed link at or below this still is
  static constexpr int64_t dupMaxChunks = 6;            // frames this small are duplicated in the window
  static constexpr int64_t dupProbeEvery = 8;           // every 8th such frame is sent once, as a probe
  static constexpr size_t probeIdsMax = 129;            // the probe set is emptied at this size
  static constexpr int64_t bootstrapCopyMaxChunks = 80; // an emergency keyframe copy up to this size
  static constexpr int64_t rescueCopyMaxChunks = 40;
};

// Whether the link answers fast enough for a keyframe to leave at the base spread.
bool lowLagLink(bool lanSession, bool relayedSession, double fbLagEwmaUs);
// The spread of a frame's chunks in µs (0: back to back).
uint64_t chunkSpreadUs(int64_t chunkCount, bool isKeyframe, bool lowLag, int64_t payloadBytes, double recvRateEwma);
// The spread of the parity behind chunks spread over `spreadUs`.
uint64_t paritySpreadUs(uint64_t spreadUs);

struct FecInputs {
  FrameFlags flags;
  int64_t chunkCount = 0;
  bool hot = false;          // losses were reported moments ago
  bool wan = false;
  double lossEwma = 0;       // fecLossEwma
  bool clogged = false;
  bool pFecRamp = true;      // "tl.pFecRamp": missing or not a Bool counts as true
  bool fecCapLowRtt = true;  // "tl.fecCapLowRtt": likewise
};
// The number of parity groups of a frame (0: none).
int fecGroupCount(const FecInputs& in, const SessionTunables& t);

// The next long-term reference's wire token (0…254, 255 meaning "none"), advancing `next`.
uint8_t takeLtrWireToken(uint8_t& next);

enum class DupVerdict : uint8_t { none, duplicate, probe };
// Inside the duplication window a small frame is sent twice, except every 8th which goes once and is
// remembered as a probe. Updates the counter and the probe set of `a`.
DupVerdict duplicationVerdict(AdaptationState& a, uint64_t nowUs, int64_t chunkCount, uint32_t frameId);
// Whether a keyframe is sent a second time right away (after a WAN bootstrap or a rescue request).
bool emergencyKeyframeCopy(bool bootstrap, bool rescue, DupVerdict dup, bool clogged, int64_t chunkCount);

// The parity packets in send order with the share of the chunks sent before each (the last chunk of
// its group over the chunk count), ascending and stable.
std::vector<std::pair<size_t, double>> interleavedParityOrder(size_t parityCount, int64_t chunkCount, int64_t groupCount);
// The send time of item i of n spread over `spreadUs`, from the start.
constexpr uint64_t pacedOffsetUs(uint64_t i, uint64_t spreadUs, uint64_t n) { return n == 0 ? 0 : i * spreadUs / n; }

struct EngineSetupLimits {
  static constexpr int64_t startBpsWithoutSeed = 12'000'000;
  static constexpr int64_t floorMinBps = 800'000;
  static constexpr int64_t floorMaxBps = 2'500'000;
  static constexpr int64_t wireCapMinKbps = 100;  // a smaller stored cap means none
  static constexpr double minKeyframeSec = 0.1;
};
// The bitrate controller's floor for a stream of pw × ph with a keyframe every `keyframeSec`.
int64_t bitrateFloorBps(int64_t pw, int64_t ph, double keyframeSec);
// The wire cap in bit/s from "tl.wireCapKbps"; nothing below 100 kbit/s (or without a value).
std::optional<int64_t> wireCapBps(std::optional<int64_t> kbps);

}  // namespace vela
