#pragma once
#include <memory>
#include <string>

#include "devices/shared/cam_mailbox.hpp"
#include "host/desktop/camera_sink.hpp"

namespace tavlo {

// The camera daemon's mailbox (devices/shared/cam_mailbox.hpp) under `mailboxName`.
class MailboxCameraSinks final : public CameraSinks {
 public:
  explicit MailboxCameraSinks(std::string mailboxName = cammailbox::defaultName()) : name_(std::move(mailboxName)) {}
  std::unique_ptr<CameraSink> find(const std::string& uid) override;

 private:
  std::string name_;
};

}  // namespace tavlo
