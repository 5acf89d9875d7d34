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
    // Asks for an update check now; empty while there is no updater.
    std::function<void()> checkNow{};
    std::string version{};  // the installed version; empty: unknown
    std::string build{};
    std::string feedHost{};  // where updates come from, for the pane's footer
  } updates{};

  // Opens or closes the diagnostics panel.
  std::function<void()> toggleDiagnosticsHud{};

  struct Permission {
    std::function<bool()> granted{};  // empty: granted (an X11 client needs no grant for this)
    std::function<void()> request{};
  };
  Permission screenCapture{};
  // Event posting is granted while the controller's `inputBlocked` is false. The X server grants
  // nothing on request: this asks it again at once.
  std::function<void()> requestEventPosting{};
};

}  // namespace tavlo
