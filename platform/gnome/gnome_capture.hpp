#pragma once
// Screen capture of the GNOME desktop (mutter, Wayland): every virtual monitor with a live screen-cast
// stream in the registry is a display (its id is the monitor's DisplayId), captured by a
// GnomeCaptureStream. The display system makes the monitors and their streams; this backend only reads
// them. The audio side is the one every desktop shares: one SystemAudioSource handed in at
// construction, fanned out to the streams; without one, a stream refuses its audio output.
// Thread-safe.
#include <memory>
#include <vector>

#include "platform/audio/system_audio_source.hpp"
#include "platform/capture/capture_backend.hpp"
#include "platform/capture/nv12_converter.hpp"
#include "platform/capture/system_audio_fan_out.hpp"
#include "platform/gnome/screen_cast_frames.hpp"

namespace tavlo {

class GnomeCapture : public CaptureBackend {
 public:
  struct Options {
    std::shared_ptr<ScreenCastFrames> frames;  // the display system's registry
    std::shared_ptr<SystemAudioSource> audio;  // may be null: no system audio
    int converterThreads = Nv12Converter::kDefaultThreads;
  };

  explicit GnomeCapture(Options options)
      : options_(std::move(options)), audio_(SystemAudioFanOut::create(options_.audio)) {}

  // The monitors with a live stream, in DisplayId order, at their stream's pixel size.
  std::vector<CaptureDisplay> shareableDisplays() override;
  // A stream of the monitor. Throws CaptureStreamError when it has no live stream or the configuration
  // cannot be delivered.
  std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                            StopHandler onStop) override;

 private:
  const Options options_;
  const std::shared_ptr<SystemAudioFanOut> audio_;  // null without a source
};

}  // namespace tavlo
