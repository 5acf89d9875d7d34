#pragma once
// The system's audio output as the PulseAudio client API offers it: the monitor source of the default
// sink, recorded as 32-bit float, 48 kHz, stereo interleaved, in blocks of about 10 ms. Served by
// PipeWire's pulse server on Debian 12 desktops, or by PulseAudio itself.
//
// start connects and waits (up to Options::connectTimeoutUs) until the monitor records; it fails when no
// server answers or the server has no default sink. Once running, the source keeps itself running until
// stop: when the server goes away or the monitor's stream ends (the sink was removed), it logs that once
// and reconnects every Options::reconnectDelayUs, logging again when it listens anew; when the default
// sink changes, it moves over to the new sink's monitor within about a second. The stream is never moved
// by the server to another source (that could be a microphone): one whose source goes away ends, and the
// source connects again.
//
// Blocks are delivered on libpulse's main-loop thread with the loop's lock held: the handler must return
// promptly (queue the block and go) and must not call start, stop or release this source.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/audio/system_audio_source.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class PulseMonitorListener;

class PulseSystemAudio final : public SystemAudioSource {
 public:
  struct Options {
    // libpulse's server string ("unix:/run/user/1000/pulse/native"); empty: the default one
    // ($PULSE_SERVER, else the user's runtime directory).
    std::string server;
    std::string clientName = "Tavlo";
    // How long one attempt to connect (the start, or a reconnection) may take until the monitor records.
    uint64_t connectTimeoutUs = 5'000'000;
    // Pause between reconnection attempts after the server or the stream went away.
    uint64_t reconnectDelayUs = 1'000'000;
    LogSink log = SystemLog::sink();
  };

  PulseSystemAudio() : PulseSystemAudio(Options{}) {}
  explicit PulseSystemAudio(Options options);
  ~PulseSystemAudio() override;
  PulseSystemAudio(const PulseSystemAudio&) = delete;
  PulseSystemAudio& operator=(const PulseSystemAudio&) = delete;

  // Returns "pulse: " and why when it cannot start (nothing is left running then). While running, a
  // start only replaces the handler.
  std::optional<std::string> start(BlockHandler onBlock) override;
  void stop() override;
  bool isRunning() const { return running_.load(); }

 private:
  const Options options_;
  std::mutex operationMutex_;  // one start or stop at a time; held across the server's answer
  std::unique_ptr<PulseMonitorListener> listener_;  // present while running
  std::atomic<bool> running_{false};
};

}  // namespace tavlo
