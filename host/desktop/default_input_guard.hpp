#pragma once
// Keeps the default audio input on the virtual microphone "Tavlo Mic" while a client is connected, so
// that applications recording from the default input hear the client, and puts the previous default
// back when the session ends. Also repairs a default left on the virtual microphone by a crashed run,
// and tells the host whether any process records from the virtual microphone.
//
// engage(), restore() and restoreIfStranded() come from the host's main thread and never wait for the
// server: each is queued on the guard's background, in the order called, so one session's restore
// follows its engage. micRunningSomewhere() comes from any thread (the session's feedback loop asks it
// per frame) and never waits for the server either. Failures of the audio server end an operation
// silently.
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "devices/shared/device_identifiers.hpp"
#include "platform/pulse/audio_devices.hpp"
#include "platform/runtime/clock.hpp"

namespace tavlo {

class DefaultInputGuard {
 public:
  // The virtual microphone's device identifier, which the microphone daemon gives its source.
  static constexpr const char* kMicUid = deviceids::kMicrophoneUid;
  // How long micRunningSomewhere() answers from its cache instead of asking the server.
  static constexpr uint64_t kRunningCacheUs = 1'000'000;

  // Runs a step that talks to the server off the caller's thread, one at a time in the order handed
  // over; empty: in place.
  using Background = std::function<void(std::function<void()>)>;

  // Both must outlive the guard, and `background` must have run (or dropped) every job it was handed
  // before the guard goes.
  DefaultInputGuard(AudioDevices& devices, const Clock& clock, Background background = {})
      : devices_(devices), clock_(clock), background_(std::move(background)) {}

  // Each of the next three is queued on the background and returns at once.
  // Makes the virtual microphone the default input, remembering the previous default. Does nothing when
  // already engaged, when the microphone is absent, or when it is the default already.
  void engage();
  // Puts the remembered default back, only if the virtual microphone is still the default (a choice the
  // user made meanwhile stays). Forgets the remembered device either way.
  void restore();
  // At launch: when the virtual microphone is the default, makes the first other input device (not an
  // output's monitor) the default; with none, nothing changes.
  void restoreIfStranded();
  // Whether some process records from the virtual microphone, as the server last answered: true when
  // it is absent or cannot be asked (the client then keeps sending), and until the first answer. An
  // answer that came more than kRunningCacheUs ago sends one new question to the background, and this
  // call returns the last answer without waiting for it.
  bool micRunningSomewhere();

 private:
  void inBackground(std::function<void()> step);
  void engageNow();
  void restoreNow();
  void restoreIfStrandedNow();
  bool micPresent();
  void askWhetherRunning();

  AudioDevices& devices_;
  const Clock& clock_;
  const Background background_;
  std::mutex mutex_;
  std::optional<std::string> savedDevice_;  // set while engaged (read and written by the steps only)
  uint64_t consumedAtUs_ = 0;               // 0: never asked
  bool consumedCached_ = true;
  bool asking_ = false;                     // a question is with the server
};

}  // namespace tavlo
