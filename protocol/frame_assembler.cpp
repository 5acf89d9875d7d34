#include "protocol/frame_assembler.hpp"

#include <algorithm>

#include "platform/runtime/checked_number.hpp"
#include "protocol/parity_groups.hpp"
#include "protocol/xor_bytes.hpp"

namespace vela {
namespace {

// Chunks beyond the highest one received may still be on their way this long after the last chunk
// arrived: they are not reported missing yet.
constexpr uint64_t tailHoldUs = 1'500;
// First NACKs of frames at least this large (or keyframes) are reported as a diagnostic line.
constexpr int nackDiagMinChunks = 41;
// Give-ups of frames at least this large (or keyframes) are reported as a diagnostic line.
constexpr int dropDiagMinChunks = 21;
// Adaptive give-up age of non-keyframes: 14/10 of the assembly peak plus 1.5 ms, within 8 to 35 ms.
constexpr uint64_t adaptiveGiveUpFloorUs = 8'000;
constexpr uint64_t adaptiveGiveUpCapUs = 33'500;
constexpr uint64_t adaptiveGiveUpMarginUs = 1'500;
constexpr double asmPeakDecay = 0.98;
// How many given-up frame ids are remembered to refuse their late packets.
constexpr size_t abandonedMemory = 1'024;
// What a frame and a stored payload cost beyond their bytes: the frame's record with its map node, and
// one node of `received` (a payload's own heap block is counted by its size).
constexpr size_t frameOverheadBytes = 256;
constexpr size_t chunkOverheadBytes = 64;

FrameAssembler::Event eventOf(FrameAssembler::Event::Kind kind) {
  FrameAssembler::Event event;
  event.kind = kind;
  return event;
}

uint64_t elapsed(uint64_t nowUs, uint64_t sinceUs) { return nowUs > sinceUs ? nowUs - sinceUs : 0; }

// The indices below `limit` that have not arrived, ascending.
std::vector<uint16_t> absentIndices(const std::map<int, Bytes>& received, int limit) {
  std::vector<uint16_t> out;
  auto next = received.begin();
  for (int i = 0; i < limit; ++i) {
    if (next != received.end() && next->first == i) {
      ++next;
      continue;
    }
    out.push_back(static_cast<uint16_t>(i));
  }
  return out;
}

// "📊 [DROP ]KIND f=… chunks=…[ got=…] miss=… tail=…% span=…ms"
std::string lossLine(bool drop, bool idr, uint32_t frameId, int chunkCount, std::optional<int> got,
                     const std::vector<uint16_t>& missing, uint64_t firstArrivalUs, uint64_t lastChunkUs) {
  size_t tail = 0;
  for (uint16_t i : missing) {
    if (double(i) >= 0.7 * double(chunkCount)) ++tail;
  }
  size_t tailPct = missing.empty() ? 0 : tail * 100 / missing.size();
  uint64_t spanMs = lastChunkUs > firstArrivalUs ? (lastChunkUs - firstArrivalUs) / 1000 : 0;
  std::string line = drop ? "📊 DROP " : "📊 ";
  line += idr ? "KEYFRAME" : "P";
  line += " f=" + std::to_string(frameId) + " chunks=" + std::to_string(chunkCount);
  if (got) line += " got=" + std::to_string(*got);
  line += " miss=" + std::to_string(missing.size()) + " tail=" + std::to_string(tailPct) +
          "% span=" + std::to_string(spanMs) + "ms";
  return line;
}

}  // namespace

FrameAssembler::FrameAssembler(int maxInFlightFrames, size_t maxHeldBytes)
    : maxInFlightFrames_(maxInFlightFrames), maxHeldBytes_(maxHeldBytes) {}

void FrameAssembler::FrameState::storeChunk(int chunkIdx, Bytes payload) {
  payloadBytes += payload.size();
  received.emplace(chunkIdx, std::move(payload));
  receivedCount += 1;
}

size_t FrameAssembler::FrameState::cost() const {
  return frameOverheadBytes + received.size() * chunkOverheadBytes + payloadBytes +
         parity.capacity() * sizeof(std::optional<Bytes>) + absentInGroup.capacity() * sizeof(int);
}

void FrameAssembler::setGeneration(uint16_t generation) {
  std::lock_guard lock(mutex_);
  setGenerationLocked(generation);
}

void FrameAssembler::setGenerationLocked(uint16_t generation) {
  if (generation <= highestGeneration_) return;
  highestGeneration_ = generation;
  highestCompletedFrameId_.reset();
  abandoned_.clear();
  abandonedOrder_.clear();
  droppedForMemory_.clear();
  for (auto it = frames_.begin(); it != frames_.end();) {
    it = it->second.generation < generation ? eraseLocked(it) : std::next(it);
  }
}

FrameAssembler::Entry FrameAssembler::enterLocked(uint16_t generation, uint32_t frameId) {
  if (generation > highestGeneration_) setGenerationLocked(generation);
  if (generation < highestGeneration_) return Entry::stale;
  if (!frames_.contains(frameId) &&
      ((highestCompletedFrameId_ && *highestCompletedFrameId_ >= frameId) || abandoned_.contains(frameId))) {
    return Entry::finished;
  }
  return Entry::open;
}

FrameAssembler::FrameState FrameAssembler::newState(uint16_t generation, int chunkCount, int64_t frameByteLength,
                                                    FrameFlags flags, uint8_t ltrToken, uint64_t captureTimestampUs,
                                                    uint64_t nowMonoUs) {
  FrameState state;
  state.generation = generation;
  state.chunkCount = chunkCount;
  state.frameByteLength = frameByteLength;
  state.flags = flags;
  state.ltrToken = ltrToken;
  state.captureTimestampUs = captureTimestampUs;
  state.firstArrivalMonoUs = nowMonoUs;
  return state;
}

template <class Packet>
FrameAssembler::Event FrameAssembler::ingestWith(Packet packet, uint64_t nowMonoUs,
                                                     Event (FrameAssembler::*ingestLockedFn)(Packet, uint64_t,
                                                                                             std::optional<FrameState>&)) {
  std::optional<FrameState> whole;
  Event event;
  {
    std::lock_guard lock(mutex_);
    event = (this->*ingestLockedFn)(std::move(packet), nowMonoUs, whole);
  }
  // The frame's payloads are joined without the lock: that copy is the expensive part.
  if (whole) joinPayloads(event, std::move(*whole));
  return event;
}

FrameAssembler::Event FrameAssembler::ingest(VideoChunk chunk, uint64_t nowMonoUs) {
  return ingestWith(std::move(chunk), nowMonoUs, &FrameAssembler::ingestLocked);
}

FrameAssembler::Event FrameAssembler::ingestParity(VideoParity parity, uint64_t nowMonoUs) {
  return ingestWith(std::move(parity), nowMonoUs, &FrameAssembler::ingestParityLocked);
}

FrameAssembler::Event FrameAssembler::ingestLocked(VideoChunk chunk, uint64_t nowMonoUs,
                                                   std::optional<FrameState>& whole) {
  switch (enterLocked(chunk.generation, chunk.frameId)) {
    case Entry::stale: return eventOf(Event::Kind::staleGeneration);
    case Entry::finished: return eventOf(Event::Kind::duplicate);
    case Entry::open: break;
  }
  auto it = frames_.find(chunk.frameId);
  const int i = chunk.chunkIdx;
  if (it == frames_.end()) {
    if (i >= chunk.chunkCount) return eventOf(Event::Kind::pending);  // creates no frame
    it = frames_
             .emplace(chunk.frameId, newState(chunk.generation, chunk.chunkCount, chunk.frameByteLength,
                                              chunk.frameFlags, chunk.ltrToken, chunk.captureTimestampUs, nowMonoUs))
             .first;
    heldBytes_ += it->second.cost();
  }
  FrameState& state = it->second;
  if (i >= state.chunkCount) return eventOf(Event::Kind::pending);
  if (state.has(i)) return eventOf(Event::Kind::duplicate);
  const size_t before = state.cost();
  state.storeChunk(i, std::move(chunk.payload));
  state.maxIdxReceived = std::max(state.maxIdxReceived, i);
  state.lastChunkArrivalUs = nowMonoUs;
  if (state.parityGroupCount > 0) {
    const int group = parityGroupOf(i, state.parityGroupCount);
    state.absentInGroup[size_t(group)] -= 1;
    recoverGroup(state, group);
  }
  heldBytes_ = heldBytes_ - before + state.cost();
  return finishLocked(it, nowMonoUs, whole);
}

FrameAssembler::Event FrameAssembler::ingestParityLocked(VideoParity parity, uint64_t nowMonoUs,
                                                         std::optional<FrameState>& whole) {
  switch (enterLocked(parity.generation, parity.frameId)) {
    case Entry::stale: return eventOf(Event::Kind::staleGeneration);
    case Entry::finished: return eventOf(Event::Kind::duplicate);
    case Entry::open: break;
  }
  if (parity.chunkCount == 0) return eventOf(Event::Kind::pending);
  auto [it, created] = frames_.try_emplace(parity.frameId);
  FrameState& state = it->second;
  if (created) {
    state = newState(parity.generation, parity.chunkCount, parity.frameByteLength, parity.frameFlags,
                     parity.ltrToken, parity.captureTimestampUs, nowMonoUs);
    heldBytes_ += state.cost();
  }
  const int groupCount = parity.groupCount;
  if (groupCount == 0) return eventOf(Event::Kind::pending);
  const int k = parity.groupIndex;
  if (state.parityGroupCount == groupCount && k < groupCount && state.parity[size_t(k)]) {
    return eventOf(Event::Kind::duplicate);
  }
  const size_t before = state.cost();
  if (state.parityGroupCount != groupCount) {
    // Parity of an earlier group count no longer matches the grouping: start over with this one.
    for (const auto& held : state.parity) state.payloadBytes -= held ? held->size() : 0;
    state.parity.assign(size_t(groupCount), std::nullopt);
    state.parityGroupCount = groupCount;
    // Each group's size less its members that arrived: a walk over what arrived, not the claimed count.
    state.absentInGroup.assign(size_t(groupCount), 0);
    for (int g = 0; g < groupCount; ++g) state.absentInGroup[size_t(g)] = parityGroupSize(g, groupCount, state.chunkCount);
    for (const auto& [m, payload] : state.received) state.absentInGroup[size_t(parityGroupOf(m, groupCount))] -= 1;
  }
  if (k < groupCount) {
    state.payloadBytes += parity.payload.size();
    state.parity[size_t(k)] = std::move(parity.payload);
    recoverGroup(state, k);
  }
  heldBytes_ = heldBytes_ - before + state.cost();
  if (k >= groupCount) return eventOf(Event::Kind::pending);
  return finishLocked(it, nowMonoUs, whole);
}

void FrameAssembler::recoverGroup(FrameState& state, int group) {
  const int groupCount = state.parityGroupCount;
  if (groupCount < 1 || state.absentInGroup[size_t(group)] != 1 || !state.parity[size_t(group)]) return;
  int lost = -1;
  for (int m = group; m < state.chunkCount; m += groupCount) {
    if (!state.has(m)) lost = m;
  }
  const Bytes& parity = *state.parity[size_t(group)];
  const int64_t available = static_cast<int64_t>(parity.size());
  int64_t length = maxVideoChunkPayload;
  if (lost >= state.chunkCount - 1) {
    length = state.frameByteLength - int64_t(maxVideoChunkPayload) * (state.chunkCount - 1);
    if (length < 1 || available < length) return;
  } else if (available < maxVideoChunkPayload) {
    return;
  }
  Bytes rebuilt = parity;
  for (int m = group; m < state.chunkCount; m += groupCount) {
    if (m == lost) continue;
    const Bytes& member = state.received.at(m);
    xorInto(rebuilt, ByteView(member).first(std::min(member.size(), rebuilt.size())));
  }
  rebuilt.resize(static_cast<size_t>(length));
  state.storeChunk(lost, std::move(rebuilt));
  state.absentInGroup[size_t(group)] = 0;
  state.fecRecovered = true;
}

FrameAssembler::Event FrameAssembler::finishLocked(std::map<uint32_t, FrameState>::iterator it, uint64_t nowMonoUs,
                                                   std::optional<FrameState>& whole) {
  const uint32_t frameId = it->first;
  FrameState& state = it->second;
  if (state.receivedCount < state.chunkCount) {
    pruneLocked();
    return eventOf(Event::Kind::pending);
  }
  if (state.chunkCount >= 3 && !state.flags.contains(FrameFlags::idr) && nowMonoUs > state.firstArrivalMonoUs) {
    const uint64_t span = nowMonoUs - state.firstArrivalMonoUs;
    asmPeakUs_ = std::max(span, tavlo::truncateSaturating<uint64_t>(double(asmPeakUs_) * asmPeakDecay));
    const uint64_t t = asmPeakUs_ > UINT64_MAX / 14 ? UINT64_MAX : 14 * asmPeakUs_;
    adaptivePGiveUpUs_ =
        t > 64'999 ? std::min(t / 10, adaptiveGiveUpCapUs) + adaptiveGiveUpMarginUs : adaptiveGiveUpFloorUs;
  }
  Event event = eventOf(Event::Kind::completed);
  event.frameId = frameId;
  event.generation = state.generation;
  event.flags = state.flags;
  event.ltrToken = state.ltrToken;
  event.captureTimestampUs = state.captureTimestampUs;
  event.fecRecovered = state.fecRecovered;
  // The payloads are joined by the caller after unlocking.
  heldBytes_ -= state.cost();
  whole = std::move(state);
  frames_.erase(it);
  if (!highestCompletedFrameId_ || *highestCompletedFrameId_ < frameId) highestCompletedFrameId_ = frameId;
  pruneLocked();
  return event;
}

void FrameAssembler::joinPayloads(Event& event, FrameState state) {
  // Sized from what arrived, not from the length the packets claim.
  size_t total = 0;
  for (const auto& item : state.received) total += item.second.size();
  event.data.reserve(total);
  for (const auto& item : state.received) event.data.insert(event.data.end(), item.second.begin(), item.second.end());
}

void FrameAssembler::pruneLocked() {
  auto excess = std::ssize(frames_) - maxInFlightFrames_;
  for (auto it = frames_.begin(); it != frames_.end() && excess > 0;) {
    if (it->second.flags.contains(FrameFlags::idr)) {
      ++it;
      continue;
    }
    abandonLocked(it->first);
    it = eraseLocked(it);
    --excess;
  }
  // Keyframes are kept above, so only this bound stops a stream of ever new keyframes. A newer frame
  // makes the older ones worth less, so the oldest go first, whatever their kind; the receiver hears of
  // them from reapExpired as of any frame given up.
  while (heldBytes_ > maxHeldBytes_ && !frames_.empty()) {
    auto oldest = frames_.begin();
    const FrameFlags flags = oldest->second.flags;
    droppedForMemory_.push_back(
        {oldest->first, flags.contains(FrameFlags::idr) || flags.contains(FrameFlags::refreshFromLTR)});
    if (droppedForMemory_.size() > abandonedMemory) droppedForMemory_.erase(droppedForMemory_.begin());
    abandonLocked(oldest->first);
    eraseLocked(oldest);
  }
}

std::map<uint32_t, FrameAssembler::FrameState>::iterator FrameAssembler::eraseLocked(
    std::map<uint32_t, FrameState>::iterator it) {
  heldBytes_ -= it->second.cost();
  return frames_.erase(it);
}

void FrameAssembler::abandonLocked(uint32_t frameId) {
  if (!abandoned_.insert(frameId).second) return;
  abandonedOrder_.push_back(frameId);
  if (abandonedOrder_.size() > abandonedMemory) {
    abandoned_.erase(abandonedOrder_.front());
    abandonedOrder_.pop_front();
  }
}

uint64_t FrameAssembler::ageLimit(const FrameState& state, uint64_t giveUpAgeUs, uint64_t idrGiveUpAgeUs) const {
  if (state.flags.contains(FrameFlags::idr)) return idrGiveUpAgeUs;
  return std::max(adaptivePGiveUpUs_, giveUpAgeUs);
}

std::vector<FrameAssembler::NackRequest> FrameAssembler::framesNeedingNack(uint64_t nowMonoUs,
                                                                           const NackPolicy& policy) {
  std::vector<NackRequest> out;
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    for (auto& [frameId, state] : frames_) {
      const bool idr = state.flags.contains(FrameFlags::idr);
      const int roundsLimit = idr ? policy.idrMaxRounds : policy.maxRounds;
      const uint64_t age = elapsed(nowMonoUs, state.firstArrivalMonoUs);
      if (state.receivedCount >= state.chunkCount) continue;
      if (age > ageLimit(state, policy.giveUpAgeUs, policy.idrGiveUpAgeUs)) continue;
      if (state.nackRounds >= roundsLimit) continue;
      if (state.nackRounds == 0 && age < policy.firstNackDelayUs) continue;
      if (state.nackRounds >= 1 && elapsed(nowMonoUs, state.lastNackMonoUs) < policy.holdoffUs) continue;

      size_t scanLimit = size_t(state.chunkCount);
      if (state.lastChunkArrivalUs != 0 && elapsed(nowMonoUs, state.lastChunkArrivalUs) < tailHoldUs) {
        scanLimit = size_t(std::max(state.maxIdxReceived, 0));
      }
      std::vector<uint16_t> missing = absentIndices(state.received, int(scanLimit));
      if (missing.empty()) continue;

      if (state.nackRounds == 0 && state.parityGroupCount > 0 && age < policy.fecFirstNackDelayUs) {
        // `frame` rather than the binding `state`: clang 14 cannot capture a structured binding.
        const FrameState& frame = state;
        const bool parityMayRebuildAll = std::all_of(missing.begin(), missing.end(), [&frame](uint16_t m) {
          const int k = parityGroupOf(m, frame.parityGroupCount);
          return !frame.parity[size_t(k)] && frame.absentInGroup[size_t(k)] == 1;
        });
        if (parityMayRebuildAll) continue;
      }
      if (state.nackRounds == 0 && (idr || state.chunkCount >= nackDiagMinChunks)) {
        lines.push_back(lossLine(false, idr, frameId, state.chunkCount, std::nullopt, missing,
                                 state.firstArrivalMonoUs, state.lastChunkArrivalUs));
      }
      state.nackRounds += 1;
      state.lastNackMonoUs = nowMonoUs;
      VideoNack nack = VideoNack::fromMissing(frameId, state.generation, missing);
      out.push_back({std::move(nack), std::move(missing)});
    }
  }
  emit(std::move(lines));
  return out;
}

std::vector<FrameAssembler::ExpiredFrame> FrameAssembler::reapExpired(uint64_t nowMonoUs, uint64_t giveUpAgeUs,
                                                                      uint64_t idrGiveUpAgeUs) {
  std::vector<ExpiredFrame> out;
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    // A frame dropped for memory is abandoned: it cannot be in flight again before a new generation,
    // unless the abandoned memory let go of its id meanwhile, so it is listed once.
    for (const ExpiredFrame& dropped : droppedForMemory_) {
      if (std::find(out.begin(), out.end(), dropped) == out.end() && !frames_.contains(dropped.frameId)) {
        out.push_back(dropped);
      }
    }
    droppedForMemory_.clear();
    for (auto it = frames_.begin(); it != frames_.end();) {
      const FrameState& state = it->second;
      if (elapsed(nowMonoUs, state.firstArrivalMonoUs) <= ageLimit(state, giveUpAgeUs, idrGiveUpAgeUs)) {
        ++it;
        continue;
      }
      const bool idr = state.flags.contains(FrameFlags::idr);
      out.push_back({it->first, idr || state.flags.contains(FrameFlags::refreshFromLTR)});
      if (idr || state.chunkCount >= dropDiagMinChunks) {
        lines.push_back(lossLine(true, idr, it->first, state.chunkCount, state.receivedCount,
                                 absentIndices(state.received, state.chunkCount), state.firstArrivalMonoUs,
                                 state.lastChunkArrivalUs));
      }
      abandonLocked(it->first);
      it = eraseLocked(it);
    }
  }
  emit(std::move(lines));
  return out;
}

bool FrameAssembler::frameIsIdr(uint32_t frameId) const {
  std::lock_guard lock(mutex_);
  auto it = frames_.find(frameId);
  return it != frames_.end() && it->second.flags.contains(FrameFlags::idr);
}

int FrameAssembler::inFlightCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(frames_.size());
}

size_t FrameAssembler::heldBytes() const {
  std::lock_guard lock(mutex_);
  return heldBytes_;
}

uint64_t FrameAssembler::adaptivePGiveUpUs() const {
  std::lock_guard lock(mutex_);
  return adaptivePGiveUpUs_;
}

void FrameAssembler::setOnLossDiag(LossDiag onLossDiag) {
  std::lock_guard lock(mutex_);
  onLossDiag_ = std::move(onLossDiag);
}

void FrameAssembler::emit(std::vector<std::string> lines) const {
  if (lines.empty()) return;
  LossDiag sink;
  {
    std::lock_guard lock(mutex_);
    sink = onLossDiag_;
  }
  if (!sink) return;
  for (const std::string& line : lines) sink(line);
}

}  // namespace vela
