#pragma once
// The pasteboard bridge over the desktop's clipboard (the X display's CLIPBOARD selection, or on a GNOME
// session mutter's remote-desktop clipboard), wired into the controller's seams.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/controller/host_controller.hpp"
#include "host/controller/pasteboard_bridge.hpp"
#include "platform/pasteboard/pasteboard.hpp"

namespace tavlo {

class ClipboardWiring {
 public:
  // Connects to `display`'s clipboard (mutter's when `gnomeSession`) and sets `seams.clipboard`; without
  // a clipboard (a line on stderr) nothing is shared and only the start-up clean-up of the clipboard
  // folder is set (sessions receive into it all the same). `controller` gives the controller once it
  // exists.
  ClipboardWiring(HostControllerSeams& seams, const std::optional<std::string>& display, bool gnomeSession,
                  MainExecutor& main, Scheduler& scheduler, std::function<std::shared_ptr<HostController>()> controller);
  // The bridge goes before the pasteboard it uses.
  ~ClipboardWiring() { bridge_.reset(); }
  ClipboardWiring(const ClipboardWiring&) = delete;
  ClipboardWiring& operator=(const ClipboardWiring&) = delete;

  // Null without a clipboard.
  PasteboardBridge* bridge() const { return bridge_.get(); }

 private:
  std::unique_ptr<Pasteboard> pasteboard_;
  std::shared_ptr<PasteboardBridge> bridge_;
};

}  // namespace tavlo
