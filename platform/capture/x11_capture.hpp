#pragma once
// Screen capture of an Xorg server: every enabled RandR output is a display (its id is the output's
// XID), captured by an X11CaptureStream. The audio side of a stream comes from a SystemAudioSource
// handed in at construction; without one, a stream refuses its audio output and runs without sound.
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/system_audio_source.hpp"
#include "platform/capture/capture_backend.hpp"
#include "platform/capture/nv12_converter.hpp"

namespace tavlo {

class X11Capture : public CaptureBackend {
 public:
  struct Options {
    std::string display;                        // ":N"; empty: $DISPLAY
    std::shared_ptr<SystemAudioSource> audio;   // may be null: no system audio
    int converterThreads = Nv12Converter::kDefaultThreads;
  };

  explicit X11Capture(Options options) : options_(std::move(options)) {}

  // The enabled outputs, in RandR's order, with their CRTC's size. Throws CaptureStreamError when the
  // server cannot be reached.
  std::vector<CaptureDisplay> shareableDisplays() override;
  // A stream of the output, with a connection of its own. Throws CaptureStreamError when the size or
  // pixel format cannot be delivered or the server lacks what capture needs.
  std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                            StopHandler onStop) override;

 private:
  Options options_;
};

}  // namespace tavlo
