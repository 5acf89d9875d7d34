#pragma once
// What the settings window needs beyond the controller: the user defaults it writes itself, and hooks
// into the login autostart, the updater, the diagnostics panel and the window system's permissions.
// The application fills them from the objects it owns; an empty hook counts as "not available".
#include <functional>
#include <optional>
#include <string>

#include "platform/runtime/json_store.hpp"

namespace tavlo {

struct SettingsWindowDependencies {
  JsonStore& settings;

  // The login registration as the system has it now.
  struct AutostartState {
    bool launchAtLogin = false;        // the host is registered to start at login
    bool keepRunning = false;          // the keep-running unit is registered (enabled or waiting for approval)
    bool needsSystemApproval = false;  // the user turned the host's autostart off in this desktop's settings
  };
  // The system may take its time to answer (systemctl, the user manager): each hook answers through its
  // callback, on the window's thread, and never holds the window meanwhile.
  struct Autostart {
    // Reads the registration.
    std::function<void(std::function<void(AutostartState)> answer)> read{};
    // Registers the wanted states; answers with the error's text when that failed.
    std::function<void(bool launchAtLogin, bool keepRunning, std::function<void(std::optional<std::string>)> answer)>
        enforce{};
  } autostart{};

  struct Updates {
    // Asks for an update check now.
    std::function<void()> checkNow{};
    // Whether the updater runs now; "Check Now" is offered only then. It starts or stays off once, as
    // the host starts, and says so in the controller's update status, which the pane follows.
    std::function<bool()> running{};
    std::string version{};  // the installed version; empty: unknown
    std::string build{};
    std::string feedHost{};  // where updates come from, for the pane's footer
  } updates{};

  // Opens or closes the diagnostics panel.
  std::function<void()> toggleDiagnosticsHud{};

  // What the desktop backend needs of this desktop, named as this desktop names it (an X display to
  // capture, the XTEST extension for the client's input; another backend has needs of its own), and
  // how it checks them. Nothing here is granted on request: a check only asks again.
  struct DesktopNeed {
    std::string title{};
    std::string remedy{};  // what to do here while the need is not met
  };
  struct DesktopNeeds {
    DesktopNeed capture{};
    DesktopNeed input{};
    // Checks the capture need off the window's thread and answers on it: met or not, and what was
    // found ("display :0, MIT-SHM"). Empty: not checked, shown as unknown.
    std::function<void(std::function<void(bool met, std::string found)>)> checkCapture{};
    // The input need is met while the controller's `inputBlocked` is false (the input watch checks
    // it); this asks the watch again at once.
    std::function<void()> recheckInput{};
  } desktop{};
};

}  // namespace tavlo
