#pragma once
#include <memory>
#include <string>

#include "devices/shared/cam_mailbox.hpp"
#include "host/desktop/camera_sink.hpp"

namespace tavlo {

// The camera daemon's mailbox (devices/shared/cam_mailbox.hpp) at `mailboxPath`, a file the daemon
// created in the user's runtime directory; one that is not a private file of ours is never used.
class MailboxCameraSinks final : public CameraSinks {
 public:
  explicit MailboxCameraSinks(std::string mailboxPath = cammailbox::defaultPath()) : name_(std::move(mailboxPath)) {}
  std::unique_ptr<CameraSink> find(const std::string& uid) override;

 private:
  std::string name_;
};

}  // namespace tavlo
