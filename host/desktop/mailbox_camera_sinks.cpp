#include <memory>

#include "devices/shared/cam_mailbox.hpp"
#include "host/desktop/mailbox_camera_sinks.hpp"
#include "platform/runtime/shared_memory.hpp"

namespace tavlo {
namespace {

class MailboxCameraSink final : public CameraSink {
 public:
  explicit MailboxCameraSink(std::unique_ptr<SharedMemory> memory) : memory_(std::move(memory)) {}

  std::string deviceLabel() const override { return "pid " + std::to_string(view().daemonPid()); }
  std::string streamLabel() const override { return memory_->name(); }

  bool enqueue(const std::function<bool(const CameraFrameSlot&)>& render) override {
    return view().tryEnqueue([&](std::span<uint8_t> frame) {
      return render(CameraFrameSlot{frame, cammailbox::kBytesPerRow, cammailbox::kWidth, cammailbox::kHeight});
    });
  }

  std::optional<bool> runningSomewhere() const override {
    if (!view().valid()) return std::nullopt;
    return view().running();
  }

 private:
  cammailbox::MailboxView view() const { return cammailbox::MailboxView(memory_->bytes()); }
  std::unique_ptr<SharedMemory> memory_;
};

}  // namespace

std::unique_ptr<CameraSink> MailboxCameraSinks::find(const std::string& uid) {
  std::string error;
  auto memory = SharedMemory::openExisting(name_, cammailbox::kTotalBytes, SharedMemory::Access::readWrite, error);
  if (!memory) return nullptr;
  cammailbox::MailboxView view(memory->bytes());
  if (!view.valid() || view.deviceUid() != uid) return nullptr;
  return std::make_unique<MailboxCameraSink>(std::move(memory));
}

}  // namespace tavlo
