#pragma once
// Screen capture of an Xorg server: every enabled RandR output is a display (its id is the output's
// XID), captured by an X11CaptureStream. The audio side of the streams comes from one SystemAudioSource
// handed in at construction, shared between them; without one, a stream refuses its audio output and
// runs without sound. Thread-safe: every call works on a connection of its own.
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/system_audio_source.hpp"
#include "platform/capture/capture_backend.hpp"
#include "platform/capture/nv12_converter.hpp"
#include "platform/capture/system_audio_fan_out.hpp"

namespace tavlo {

class X11Capture : public CaptureBackend {
 public:
  struct Options {
    std::string display;                        // ":N"; empty: $DISPLAY
    std::shared_ptr<SystemAudioSource> audio;   // may be null: no system audio
    int converterThreads = Nv12Converter::kDefaultThreads;
  };

  explicit X11Capture(Options options)
      : options_(std::move(options)), audio_(SystemAudioFanOut::create(options_.audio)) {}

  // The enabled outputs, in RandR's order, with their CRTC's size. Throws CaptureStreamError when the
  // server cannot be reached.
  std::vector<CaptureDisplay> shareableDisplays() override;
  // A stream of the output, with a connection of its own. Throws CaptureStreamError when the size or
  // pixel format cannot be delivered or the server lacks what capture needs.
  std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                            StopHandler onStop) override;

 private:
  const Options options_;
  const std::shared_ptr<SystemAudioFanOut> audio_;  // null without a source
};

}  // namespace tavlo
