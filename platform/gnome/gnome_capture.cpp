#include "platform/gnome/gnome_capture.hpp"

#include <string>

#include "platform/gnome/gnome_capture_stream.hpp"

namespace tavlo {

std::vector<CaptureDisplay> GnomeCapture::shareableDisplays() {
  std::vector<CaptureDisplay> displays;
  if (!options_.frames) return displays;
  for (const ScreenCastDisplay& display : options_.frames->displays()) {
    displays.push_back({display.display, display.size.width, display.size.height});
  }
  return displays;
}

std::unique_ptr<CaptureStream> GnomeCapture::makeStream(const CaptureDisplay& display,
                                                        const CaptureConfiguration& configuration,
                                                        StopHandler onStop) {
  auto source = options_.frames ? options_.frames->lookup(display.displayID) : nullptr;
  if (!source) throw CaptureStreamError("display " + std::to_string(display.displayID) + " has no screen-cast stream");
  return GnomeCaptureStream::create(std::move(source), configuration, audio_, std::move(onStop),
                                    options_.converterThreads);
}

}  // namespace tavlo
