#include "host/app/x11_desktop_needs.hpp"

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

X11CaptureCheck checkX11Capture(const std::string& display) {
  std::string error;
  std::unique_ptr<XcbConnection> connection = XcbConnection::open(display, &error);
  if (!connection) {
    return {false, "no X display" + (display.empty() ? std::string() : " " + display) + " to open"};
  }
  const std::string name = "display " + connection->displayName();
  if (!connection->hasExtension("MIT-SHM")) return {false, name + " has no MIT-SHM"};
  return {true, name + ", MIT-SHM"};
}

SettingsWindowDependencies::DesktopNeeds x11DesktopNeeds(std::optional<std::string> display,
                                                         std::shared_ptr<SerialExecutor> worker, MainExecutor& main,
                                                         std::function<void()> recheckInput) {
  SettingsWindowDependencies::DesktopNeeds needs;
  needs.capture.title = "X display to capture";
  needs.capture.remedy =
      "The host streams the X display it was started on (--display, else $DISPLAY) and captures it through the "
      "MIT-SHM extension: start it in an X session, or let scripts/run start a private X server for it.";
  needs.input.title = "XTEST extension (the client's input)";
  needs.input.remedy =
      "This X server offers no XTEST extension, so the client's mouse and keyboard do nothing on this desktop. "
      "XTEST is on unless it was turned off: remove \"-extension XTEST\" from the X server's command line, or "
      "Option \"XTEST\" \"Disable\" from the Extensions section of its xorg.conf, and start the X session again.";
  needs.checkCapture = [display = display.value_or(""), worker, main = &main](
                           std::function<void(bool, std::string)> answer) {
    worker->post([display, main, answer = std::move(answer)] {
      X11CaptureCheck check = checkX11Capture(display);
      main->post([answer, check] { answer(check.met, check.found); });
    });
  };
  needs.recheckInput = std::move(recheckInput);
  return needs;
}

}  // namespace tavlo
