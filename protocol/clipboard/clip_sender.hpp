#pragma once
// The sending half of the clipboard transfer: items offered to the peer, and the pacer that answers
// requests with pieces released by a token bucket.
//
// The pacer is a repeating job of the Scheduler (every 20 ms) that posts each tick to the engine's
// serial executor; it runs only while requested pieces remain. Ticks read sources and call the owner's
// callbacks on that executor, outside the lock.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "protocol/clipboard/clip_file.hpp"
#include "protocol/clipboard/clip_progress.hpp"
#include "protocol/clipboard/clip_send_queue.hpp"
#include "protocol/clipboard/clipboard_callbacks.hpp"

namespace vela {

class ClipSender : public std::enable_shared_from_this<ClipSender> {
 public:
  static constexpr size_t maxOffered = 6;           // offered items kept; older ones are answered as unknown
  static constexpr uint64_t tickUs = 20'000;
  static constexpr int64_t creditLimit = 65'536;    // control-channel backlog above which the pacer holds
  static constexpr int64_t defaultMaxBytesPerSec = 512'000;

  ClipSender(tavlo::Scheduler& scheduler, std::weak_ptr<tavlo::SerialExecutor> executor,
             std::shared_ptr<ClipboardCallbackSlot> callbacks);

  // Registers an item under `clipId` and returns its size for the announcement, or nothing when the item
  // cannot be offered: the wire counts sizes in 32 bits, so an item of 2^32 bytes or more is refused.
  // A file whose size cannot be read (missing, not a regular file) is offered with size 0, which the
  // peer's request learns cannot be sent.
  std::optional<uint32_t> provide(uint64_t clipId, ClipPayload payload);
  void handleRequest(uint64_t clipId, uint32_t fromOffset);

  void setMaxBytesPerSec(int64_t rate);
  int64_t maxBytesPerSec() const;

  // Stops the pacer and forgets every offered item and queued request.
  void reset();

  bool isPacing() const;
  size_t offeredCount() const;

 private:
  struct OutItem {
    uint64_t clipId;
    ClipPayload source;
    uint32_t total;
    std::shared_ptr<ClipFile> handle;  // opened on first read; shared with a read in progress
  };

  void startPacer();
  void tick(uint64_t generation);
  std::optional<Bytes> readPiece(OutItem& item, uint32_t offset, uint32_t length, std::string& error);
  // Drops the item's queued pieces, tells the peer it cannot be sent, and reports the failure.
  void failItem(uint64_t clipId, const std::shared_ptr<OutItem>& item, const ClipboardCallbacks& callbacks,
                const std::string& reason);
  std::shared_ptr<OutItem> findLocked(uint64_t clipId) const;
  void log(const ClipboardCallbacks& callbacks, const std::string& line) const;

  tavlo::Scheduler& scheduler_;
  const std::weak_ptr<tavlo::SerialExecutor> executor_;
  const std::shared_ptr<ClipboardCallbackSlot> callbacks_;
  // Set while a tick waits on the executor: a late executor skips ticks instead of bursting to catch up.
  std::shared_ptr<std::atomic<bool>> tickQueued_ = std::make_shared<std::atomic<bool>>(false);

  mutable std::mutex mutex_;
  int64_t maxBytesPerSec_ = defaultMaxBytesPerSec;
  std::deque<std::shared_ptr<OutItem>> outgoing_;  // oldest first
  ClipSendQueue queue_;
  ClipProgress progress_;
  bool pacing_ = false;
  std::optional<tavlo::Scheduler::JobId> timer_;
  uint64_t generation_ = 0;  // bumped at each start and stop: ticks of an older pacer do nothing
  uint64_t resetEpoch_ = 0;  // bumped by reset: pieces planned before it are not sent
};

}  // namespace vela
