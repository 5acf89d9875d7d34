#pragma once
// The sender's plan: requested items still to send, in request order, and the token bucket that
// releases their pieces. Pure bookkeeping without I/O or threads; its owner guards it with a lock and
// calls planTick once per pacer tick.
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace vela {

class ClipSendQueue {
 public:
  static constexpr uint32_t pieceSize = 16'384;
  static constexpr int64_t ticksPerSecond = 50;  // one tick every 20 ms

  struct Step {
    uint64_t clipId = 0;
    uint32_t total = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    // The item is no longer offered (pushed out by newer ones) while pieces of it were still owed.
    bool withdrawn = false;
    friend bool operator==(const Step&, const Step&) = default;
  };

  // Queues an item from `fromOffset` (capped at `total`), replacing any earlier entry of the same id:
  // a repeated request restarts the item from its new offset.
  void enqueue(uint64_t clipId, uint32_t total, uint32_t fromOffset);
  void remove(uint64_t clipId);
  void clear();

  // One tick: adds a tick's worth of tokens (capped at one second's worth), then plans pieces of the
  // first entry while tokens are positive. A piece may cost more than the tokens left, which then go
  // negative and are paid back by later ticks. An entry whose item `isOffered` denies is dropped and
  // reported as withdrawn unless all of it was sent.
  std::vector<Step> planTick(int64_t maxBytesPerSec, const std::function<bool(uint64_t clipId)>& isOffered);

  void resetTokens() { tokens_ = 0; }
  int64_t tokens() const { return tokens_; }
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    uint64_t clipId;
    uint32_t total;
    uint32_t offset;
  };

  std::deque<Entry> entries_;
  int64_t tokens_ = 0;
};

}  // namespace vela
