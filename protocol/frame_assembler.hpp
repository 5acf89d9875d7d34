#pragma once
// The receiving half of the video path (the client runs it; the host never does). It collects each
// frame's chunks and parity packets, rebuilds a single lost chunk per parity group by XOR, hands out
// each frame once all its chunks are present, decides which chunks to ask for again with a NACK and
// when, and gives up on frames that are too old. Its behaviour is what the host's sender, retransmission
// buffer and adaptation rely on: which chunks a NACK names, how soon and how often a frame is NACKed,
// and when a frame is abandoned.
//
// The caller feeds every chunk to ingest and every parity packet to ingestParity, and calls
// framesNeedingNack and reapExpired periodically. All times are microseconds of the monotonic clock and
// must not go backwards between calls. Every operation is thread-safe; diagnostic lines go to
// onLossDiag on the caller's thread after the lock is released.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "protocol/media_messages.hpp"

namespace vela {

class FrameAssembler {
 public:
  struct Event {
    enum class Kind : uint8_t {
      completed,        // the frame is whole: every field below is set, `data` is the encoded frame
      dropped,          // not produced by this type's operations; kept for the receiver's own use
      staleGeneration,  // the packet belongs to an older stream generation and was ignored
      duplicate,        // what the packet carries is already present, or its frame is finished
      pending,          // taken (or ignored as unusable); the frame is not complete yet
    };
    Kind kind = Kind::pending;
    uint32_t frameId = 0;  // completed, dropped
    uint16_t generation = 0;
    FrameFlags flags;
    uint8_t ltrToken = 0;
    uint64_t captureTimestampUs = 0;
    Bytes data;
    bool fecRecovered = false;  // at least one chunk was rebuilt from parity
  };

  // The caller's retransmission policy; this type only applies it.
  struct NackPolicy {
    uint64_t holdoffUs = 0;            // least time between two NACKs of one frame
    int maxRounds = 0;                 // NACKs per non-keyframe
    uint64_t giveUpAgeUs = 0;          // age limit of a non-keyframe (at least adaptivePGiveUpUs)
    int idrMaxRounds = 0;              // NACKs per keyframe
    uint64_t idrGiveUpAgeUs = 0;       // age limit of a keyframe
    uint64_t firstNackDelayUs = 0;     // age before a frame's first NACK
    uint64_t fecFirstNackDelayUs = 0;  // age before a first NACK of chunks that parity may still rebuild
  };

  struct NackRequest {
    VideoNack nack;
    std::vector<uint16_t> missing;  // the chunk indices it names, ascending
  };

  struct ExpiredFrame {
    uint32_t frameId = 0;
    bool wasIdr = false;  // a keyframe or a long-term-reference refresh: the decoder needs a new one
    friend bool operator==(const ExpiredFrame&, const ExpiredFrame&) = default;
  };

  using LossDiag = std::function<void(const std::string&)>;

  // What the frames in flight may hold in total (payloads and bookkeeping) before the oldest go, of
  // any kind: far above any real stream (a 4K keyframe is a few MiB), and it keeps a peer that starts
  // keyframe after keyframe (never pruned by count) from growing the client's memory without end.
  static constexpr size_t defaultMaxHeldBytes = 32 * 1024 * 1024;

  // Non-keyframes beyond this many frames in flight are dropped, oldest id first; past `maxHeldBytes`
  // the oldest frames are dropped whatever their kind.
  explicit FrameAssembler(int maxInFlightFrames, size_t maxHeldBytes = defaultMaxHeldBytes);
  FrameAssembler(const FrameAssembler&) = delete;
  FrameAssembler& operator=(const FrameAssembler&) = delete;

  // A newer generation (plain unsigned comparison, no wrap-around) drops every frame of older ones and
  // lets frame ids start again from any value; an older or equal one changes nothing.
  void setGeneration(uint16_t generation);

  Event ingest(VideoChunk chunk, uint64_t nowMonoUs);
  Event ingestParity(VideoParity parity, uint64_t nowMonoUs);

  // One entry per frame to NACK now; the order is not defined. Counts a round for each.
  std::vector<NackRequest> framesNeedingNack(uint64_t nowMonoUs, const NackPolicy& policy);
  // Removes and lists the frames older than their age limit, and lists the frames of this generation
  // dropped since the last call because the memory bound was reached; the order is not defined.
  std::vector<ExpiredFrame> reapExpired(uint64_t nowMonoUs, uint64_t giveUpAgeUs, uint64_t idrGiveUpAgeUs);

  bool frameIsIdr(uint32_t frameId) const;
  int inFlightCount() const;
  // What the frames in flight hold now, as counted against maxHeldBytes.
  size_t heldBytes() const;
  // Adaptive lower bound of the give-up age of non-keyframes: 8,000 to 35,000 µs, following a decaying
  // peak of how long frames took to assemble.
  uint64_t adaptivePGiveUpUs() const;

  void setOnLossDiag(LossDiag onLossDiag);

 private:
  struct FrameState {
    uint16_t generation = 0;
    int chunkCount = 0;
    int64_t frameByteLength = 0;
    FrameFlags flags;
    uint8_t ltrToken = 0;
    uint64_t captureTimestampUs = 0;
    // The payloads that arrived (or were rebuilt), by chunk index: sized by what arrived, never by the
    // chunk count a packet claims.
    std::map<int, Bytes> received;
    int receivedCount = 0;
    uint64_t firstArrivalMonoUs = 0;
    int nackRounds = 0;
    uint64_t lastNackMonoUs = 0;
    std::vector<std::optional<Bytes>> parity;
    int parityGroupCount = 0;
    bool fecRecovered = false;
    int maxIdxReceived = -1;
    uint64_t lastChunkArrivalUs = 0;
    // Absent members per parity group (parityGroupCount entries), so that a packet costs one group's
    // check instead of a scan of the frame.
    std::vector<int> absentInGroup;
    size_t payloadBytes = 0;  // of `received` and `parity`

    bool has(int chunkIdx) const { return received.contains(chunkIdx); }
    void storeChunk(int chunkIdx, Bytes payload);
    // What the frame holds, as counted against the memory bound.
    size_t cost() const;
  };

  enum class Entry { stale, finished, open };
  Entry enterLocked(uint16_t generation, uint32_t frameId);
  void setGenerationLocked(uint16_t generation);
  static FrameState newState(uint16_t generation, int chunkCount, int64_t frameByteLength, FrameFlags flags,
                             uint8_t ltrToken, uint64_t captureTimestampUs, uint64_t nowMonoUs);
  static void recoverGroup(FrameState& state, int group);
  template <class Packet>
  Event ingestWith(Packet packet, uint64_t nowMonoUs,
                       Event (FrameAssembler::*ingestLockedFn)(Packet, uint64_t, std::optional<FrameState>&));
  Event ingestLocked(VideoChunk chunk, uint64_t nowMonoUs, std::optional<FrameState>& whole);
  Event ingestParityLocked(VideoParity parity, uint64_t nowMonoUs, std::optional<FrameState>& whole);
  // A complete frame leaves `frames` into `whole`, to be joined by joinPayloads without the lock.
  Event finishLocked(std::map<uint32_t, FrameState>::iterator it, uint64_t nowMonoUs,
                     std::optional<FrameState>& whole);
  static void joinPayloads(Event& event, FrameState state);
  void pruneLocked();
  // Removes a frame and takes its cost off heldBytes_.
  std::map<uint32_t, FrameState>::iterator eraseLocked(std::map<uint32_t, FrameState>::iterator it);
  void abandonLocked(uint32_t frameId);
  uint64_t ageLimit(const FrameState& state, uint64_t giveUpAgeUs, uint64_t idrGiveUpAgeUs) const;
  void emit(std::vector<std::string> lines) const;

  const int maxInFlightFrames_;
  const size_t maxHeldBytes_;

  mutable std::mutex mutex_;
  LossDiag onLossDiag_;
  std::map<uint32_t, FrameState> frames_;  // ascending ids: pruning drops the oldest first
  uint16_t highestGeneration_ = 0;
  std::optional<uint32_t> highestCompletedFrameId_;
  uint64_t asmPeakUs_ = 0;
  uint64_t adaptivePGiveUpUs_ = 8'000;
  // Frames of this generation given up by reaping or pruning, most recent last: a late retransmission
  // of one must not start it over (and NACK it again from round 0) after its loss was reported.
  std::unordered_set<uint32_t> abandoned_;
  std::deque<uint32_t> abandonedOrder_;
  size_t heldBytes_ = 0;  // the sum of the frames' costs
  // Frames dropped by the memory bound, reported by the next reapExpired.
  std::vector<ExpiredFrame> droppedForMemory_;
};

}  // namespace vela
