#pragma once
// Moves clipboard item bodies between the host and the peer over the control channel, both ways.
//
// Sending: the owner offers an item with provide and announces it; the peer's ClipRequest queues it,
// and a pacer answers with 16,384-byte ClipData pieces released by a token bucket (512,000 bytes per
// second by default, refilled every 20 ms, at most one second's worth), holding back while the
// control channel has more than 65,536 bytes waiting. Receiving: an announced item is reassembled in
// order into memory, or into a file of a private per-user folder when it is named or larger than
// 4,194,304 bytes, and reported complete, failed and in progress.
//
// One engine per session, owned by the session. The pacer ticks on the Scheduler and runs on the
// engine's own serial executor ("tl.clipboard.pace"); callbacks run on the thread of the operation that
// triggers them (that executor for the sending side, the caller of handleData for the receiving side),
// never under a lock.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "protocol/clipboard/clip_payload.hpp"
#include "protocol/clipboard/clip_receiver.hpp"
#include "protocol/clipboard/clip_sender.hpp"
#include "protocol/clipboard/clip_temp_folder.hpp"
#include "protocol/clipboard/clipboard_callbacks.hpp"

namespace vela {

class ClipboardTransfer {
 public:
  using ClipDir = vela::ClipDir;

  static constexpr uint32_t inlineThreshold = 8'192;  // largest item that travels inside its announcement
  static constexpr uint32_t diskThreshold = ClipReceiver::diskThreshold;
  static constexpr uint32_t chunkSize = ClipSendQueue::pieceSize;
  static constexpr int64_t defaultMaxBytesPerSec = ClipSender::defaultMaxBytesPerSec;
  static constexpr uint64_t tickUs = ClipSender::tickUs;
  static constexpr int64_t creditLimit = ClipSender::creditLimit;
  static constexpr const char* paceQueueLabel = "tl.clipboard.pace";

  // `scheduler` times the pacer and must outlive the engine; incoming files go to `tempFolder`.
  explicit ClipboardTransfer(tavlo::Scheduler& scheduler,
                             std::filesystem::path tempFolder = ClipTempFolder::defaultPath());
  // Stops the pacer and deletes the files of unfinished incoming items.
  ~ClipboardTransfer();
  ClipboardTransfer(const ClipboardTransfer&) = delete;
  ClipboardTransfer& operator=(const ClipboardTransfer&) = delete;

  // Replaces the callbacks; safe while transfers run (calls in progress finish with the old ones).
  void setCallbacks(ClipboardCallbacks callbacks);
  void setMaxBytesPerSec(int64_t rate) { sender_->setMaxBytesPerSec(rate); }
  int64_t maxBytesPerSec() const { return sender_->maxBytesPerSec(); }

  // Offers an item to the peer under `clipId` (at most six stay on offer; older ones are answered as
  // unknown). Returns the size to announce, or nothing when the item is refused: sizes travel as 32-bit
  // numbers, so an item of 2^32 bytes or more cannot be sent.
  std::optional<uint32_t> provide(uint64_t clipId, ClipPayload payload) { return sender_->provide(clipId, std::move(payload)); }
  // provide, then the announcement for the owner to send: the item's size, and its bytes inline when it
  // is in memory and at most inlineThreshold bytes. Nothing when provide refuses the item.
  std::optional<ClipAnnounce> announce(uint64_t clipId, std::string uti, std::string name, ClipPayload payload);
  // A peer's request: queues the item from the request's offset (restarting it if already queued), or,
  // for an unknown or empty item, answers with one ClipData of total 0 at once.
  void handleRequest(const ClipRequest& request) { sender_->handleRequest(request.clipId, request.fromOffset); }
  // A peer's announcement: the item is expected (replacing an earlier one of the same id). Its inline
  // bytes are the owner's to use. At most eight items are received at once; the oldest gives way and
  // fails.
  void handleAnnounce(const ClipAnnounce& announce) {
    receiver_->handleAnnounce(announce.clipId, announce.uti, announce.size, announce.name);
  }
  // A peer's piece: stored when it continues its item in order. A total of 0 (the peer gave up), a total
  // other than the announced size, a piece past that size, or a file that cannot be written fails the
  // item; out-of-order pieces and pieces of unknown items are ignored.
  void handleData(const ClipData& piece) { receiver_->handleData(piece); }
  // Bytes received so far of an incoming item, 0 if unknown.
  uint32_t receivedOffset(uint64_t clipId) const { return receiver_->receivedOffset(clipId); }
  // Drops all state: the pacer stops, offers and queued requests are forgotten, unfinished incoming
  // items are dropped and their files deleted.
  void reset();

  // Returns once every pacer tick already handed to the executor has run (tests step time with this).
  void waitForPacer();
  bool isPacing() const { return sender_->isPacing(); }
  size_t incomingCount() const { return receiver_->incomingCount(); }
  size_t offeredCount() const { return sender_->offeredCount(); }
  const std::filesystem::path& tempFolder() const { return receiver_->folder().path(); }

 private:
  std::shared_ptr<ClipboardCallbackSlot> callbacks_;
  std::shared_ptr<tavlo::SerialExecutor> executor_;
  std::shared_ptr<ClipSender> sender_;
  std::unique_ptr<ClipReceiver> receiver_;
};

}  // namespace vela
