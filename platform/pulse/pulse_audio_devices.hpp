#pragma once
// AudioDevices over libpulse: a threaded main loop and one context, connected on first use and again
// after the server went away. Each call blocks until the server has answered.
#include <memory>
#include <mutex>
#include <string>

#include "platform/pulse/audio_devices.hpp"

struct pa_context;
struct pa_threaded_mainloop;

namespace tavlo {

class PulseAudioDevices final : public AudioDevices {
 public:
  // `server` as libpulse takes it ("unix:/path/native"); empty for the user's default server.
  explicit PulseAudioDevices(std::string server = {});
  ~PulseAudioDevices() override;
  PulseAudioDevices(const PulseAudioDevices&) = delete;
  PulseAudioDevices& operator=(const PulseAudioDevices&) = delete;

  std::optional<std::vector<AudioSource>> sources() override;
  std::optional<std::string> defaultSource() override;
  bool setDefaultSource(const std::string& name) override;

 private:
  struct Loop;
  // With the loop locked: a ready context, connecting one when there is none. nullptr on failure.
  pa_context* readyContext();

  const std::string server_;
  std::mutex mutex_;  // one request at a time: the loop's lock is taken inside it
  std::unique_ptr<Loop> loop_;
};

}  // namespace tavlo
