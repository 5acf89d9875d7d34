#pragma once
// What the X11 backend needs of this desktop, as the settings window shows it: an X display it can
// capture (through the MIT-SHM extension) and the XTEST extension for posting the client's input. The
// capture check opens a connection to the X server, so it runs on a worker and answers on the main
// executor; the input need is the input watch's own verdict.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/app/settings/settings_dependencies.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

struct X11CaptureCheck {
  bool met = false;
  std::string found;  // what the check saw, for the row: "display :1, MIT-SHM" or what is missing
};

// Blocking: connects to `display` (empty: $DISPLAY) and asks for MIT-SHM.
X11CaptureCheck checkX11Capture(const std::string& display);

// The needs with their names, remedies and checks; `recheckInput` asks the input watch again.
SettingsWindowDependencies::DesktopNeeds x11DesktopNeeds(std::optional<std::string> display,
                                                         std::shared_ptr<SerialExecutor> worker, MainExecutor& main,
                                                         std::function<void()> recheckInput);

}  // namespace tavlo
