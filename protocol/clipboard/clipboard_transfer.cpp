#include "protocol/clipboard/clipboard_transfer.hpp"

namespace vela {

ClipboardTransfer::ClipboardTransfer(tavlo::Scheduler& scheduler, std::filesystem::path tempFolder)
    : callbacks_(std::make_shared<ClipboardCallbackSlot>()),
      executor_(std::make_shared<tavlo::SerialExecutor>(paceQueueLabel)),
      sender_(std::make_shared<ClipSender>(scheduler, executor_, callbacks_)),
      receiver_(std::make_unique<ClipReceiver>(ClipTempFolder(std::move(tempFolder)), callbacks_)) {}

ClipboardTransfer::~ClipboardTransfer() {
  sender_->reset();
  receiver_->reset();
}

void ClipboardTransfer::setCallbacks(ClipboardCallbacks callbacks) { callbacks_->set(std::move(callbacks)); }

std::optional<ClipAnnounce> ClipboardTransfer::announce(uint64_t clipId, std::string uti, std::string name,
                                                        ClipPayload payload) {
  std::optional<Bytes> inlineBytes;
  if (payload.isMemory() && payload.bytes().size() <= inlineThreshold)
    inlineBytes = Bytes(payload.bytes().begin(), payload.bytes().end());
  auto size = provide(clipId, std::move(payload));
  if (!size) return std::nullopt;
  return ClipAnnounce{clipId, std::move(uti), *size, std::move(name), std::move(inlineBytes)};
}

void ClipboardTransfer::reset() {
  sender_->reset();
  receiver_->reset();
}

void ClipboardTransfer::waitForPacer() {
  executor_->sync([] {});
}

}  // namespace vela
