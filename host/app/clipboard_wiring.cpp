#include "host/app/clipboard_wiring.hpp"

#include <cstdio>

#include "protocol/clipboard/clip_temp_folder.hpp"

namespace tavlo {

ClipboardWiring::ClipboardWiring(HostControllerSeams& seams, const std::optional<std::string>& display,
                                 MainExecutor& main, Scheduler& scheduler,
                                 std::function<std::shared_ptr<HostController>()> controller) {
  std::string error;
  // A desktop program's item that a read drops is told in the host's log, from the main executor (the
  // pasteboard's own thread says it).
  X11Pasteboard::Options options;
  options.log = [&main, controller](const std::string& line) {
    main.post([controller, line] {
      if (auto c = controller()) c->log(line);
    });
  };
  pasteboard_ = X11Pasteboard::open(display.value_or(""), &error, std::move(options));
  if (!pasteboard_) {
    std::fprintf(stderr, "tavlo-host: no clipboard on the X display, the clipboard is not shared (%s)\n", error.c_str());
    return;
  }
  bridge_ = PasteboardBridge::create({
      .pasteboard = *pasteboard_,
      .main = main,
      .scheduler = scheduler,
      .log = [controller](const std::string& line) {
        if (auto c = controller()) c->log(line);
      },
      .clientPlatform = [controller]() -> std::optional<vela::Platform> {
        auto c = controller();
        return c ? c->clientPlatform.get() : std::nullopt;
      },
      // Beside the files the engine receives, in the user's own folder.
      .outFolder = vela::ClipTempFolder::defaultPath() / "out",
  });
  seams.clipboard = bridge_->seams();
}

}  // namespace tavlo
