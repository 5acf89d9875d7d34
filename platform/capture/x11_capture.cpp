#include "platform/capture/x11_capture.hpp"

#include "platform/capture/x11_capture_stream.hpp"
#include "platform/x11/randr_outputs.hpp"

namespace tavlo {

std::vector<CaptureDisplay> X11Capture::shareableDisplays() {
  std::string error;
  auto connection = XcbConnection::open(options_.display, &error);
  if (!connection) throw CaptureStreamError(error);
  std::vector<CaptureDisplay> displays;
  for (const OutputGeometry& output : queryOutputs(*connection)) {
    if (!output.enabled()) continue;
    displays.push_back({output.outputId, output.pixelWidth, output.pixelHeight});
  }
  return displays;
}

std::unique_ptr<CaptureStream> X11Capture::makeStream(const CaptureDisplay& display,
                                                      const CaptureConfiguration& configuration,
                                                      StopHandler onStop) {
  return X11CaptureStream::create(options_.display, display.displayID, configuration, audio_,
                                  std::move(onStop), options_.converterThreads);
}

}  // namespace tavlo
