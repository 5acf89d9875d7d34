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

  struct Autostart {
    // Whether the host is registered to start at login, as the system has it now.
    std::function<bool()> launchAtLogin{};
    // Whether the keep-running agent is registered (enabled or waiting for approval).
    std::function<bool()> keepRunning{};
    // The user turned the host's autostart off in this desktop's settings.
    std::function<bool()> needsSystemApproval{};
    // Registers the wanted states; the error's text when that failed.
    std::function<std::optional<std::string>(bool launchAtLogin, bool keepRunning)> enforce{};
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
  Permission eventPosting{};
};

}  // namespace tavlo
