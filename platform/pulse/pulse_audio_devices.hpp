#pragma once
// AudioDevices over libpulse: a threaded main loop and one context, connected on first use and again
// after the server went away. Each call blocks until the server has answered, for at most the answer
// limit per step (connecting, each request): the callers include the main executor, and a server that
// accepted the connection and then hangs must not stop it for good.
#include <chrono>
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
  static constexpr std::chrono::milliseconds defaultAnswerLimit{3000};
  explicit PulseAudioDevices(std::string server = {}, std::chrono::milliseconds answerLimit = defaultAnswerLimit);
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
  const std::chrono::milliseconds answerLimit_;
  std::mutex mutex_;  // one request at a time: the loop's lock is taken inside it
  std::unique_ptr<Loop> loop_;
};

}  // namespace tavlo
