#include "host/app/clipboard_wiring.hpp"

#include <cstdio>
#include <string>

#include "platform/gnome/bus_connection.hpp"
#include "platform/gnome/mutter_pasteboard.hpp"
#include "platform/pasteboard/x11_pasteboard.hpp"
#include "protocol/clipboard/clip_temp_folder.hpp"

namespace tavlo {

namespace {

void removeClipboardLeftovers(const LogSink& log) {
  const vela::ClipTempFolder folder;
  const vela::ClipTempFolder::Leftovers leftovers = folder.removeLeftovers();
  if (leftovers.refusal) {
    log("⚠️ folder schowka nie jest prywatny — nie sprzątam go (" + *leftovers.refusal + ")");
  } else if (leftovers.removed > 0) {
    log("📋 usunięto pozostałości schowka z poprzedniego uruchomienia (plików: " + std::to_string(leftovers.removed) + ")");
  }
}

}  // namespace

ClipboardWiring::ClipboardWiring(HostControllerSeams& seams, const std::optional<std::string>& display,
                                 bool gnomeSession, MainExecutor& main, Scheduler& scheduler,
                                 std::function<std::shared_ptr<HostController>()> controller) {
  const LogSink toController = [controller](const std::string& line) {
    if (auto c = controller()) c->log(line);
  };
  std::string error;
  // A desktop program's item that a read drops is told in the host's log, from the main executor (the
  // pasteboard's own thread says it).
  const LogSink fromItsThread = [&main, toController](const std::string& line) {
    main.post([toController, line] { toController(line); });
  };
  if (gnomeSession) {
    // A connection of its own: mutter ends the clipboard's session with it.
    if (auto bus = BusConnection::openSession(&error)) pasteboard_ = MutterPasteboard::open(bus, &error, fromItsThread);
  } else {
    X11Pasteboard::Options options;
    options.log = fromItsThread;
    pasteboard_ = X11Pasteboard::open(display.value_or(""), &error, std::move(options));
  }
  if (!pasteboard_) {
    std::fprintf(stderr, "tavlo-host: no clipboard on the %s, the clipboard is not shared (%s)\n",
                 gnomeSession ? "GNOME session" : "X display", error.c_str());
  } else {
    bridge_ = PasteboardBridge::create({
        .pasteboard = *pasteboard_,
        .main = main,
        .scheduler = scheduler,
        .log = toController,
        .clientPlatform = [controller]() -> std::optional<vela::Platform> {
          auto c = controller();
          return c ? c->clientPlatform.get() : std::nullopt;
        },
        // Beside the files the engine receives, in the user's own folder.
        .outFolder = vela::ClipTempFolder::defaultPath() / "out",
    });
    seams.clipboard = bridge_->seams();
  }
  // Sessions receive into the clipboard folder with or without a pasteboard to share.
  seams.clipboard.removeLeftovers = removeClipboardLeftovers;
}

}  // namespace tavlo
