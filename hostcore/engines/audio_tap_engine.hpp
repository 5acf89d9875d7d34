#pragma once
// Taps the whole system's audio output, without a display stream, and delivers it as blocks of
// interleaved signed 16-bit stereo: the same block form as the capture engine's audio. It is the
// alternative to the capture engine's audio output: it needs no screen capture.
//
// The system's output comes from a SystemAudioSource (on Linux the monitor of the default sink,
// PulseSystemAudio; SyntheticSystemAudio in tests); the source's thread only hands each cycle over to
// the serial queue "vela.audio.tap", where it is converted (convertTapInput) and passed to onAudio, one
// cycle at a time and in order. Cycles without a usable first buffer are dropped silently.
//
// Owned through std::shared_ptr (made by create()). The source's thread never holds the engine: a cycle
// reaches it through a weak reference on the queue, so one that arrives after the engine is gone does
// nothing. start and stop run on the caller's thread, one at a time (a second caller waits); they must
// not be called from onAudio.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/audio/system_audio_source.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/system_log.hpp"

namespace vela {

class AudioTapEngine : public std::enable_shared_from_this<AudioTapEngine> {
 public:
  using AudioCallback = std::function<void(const tavlo::Bytes& block)>;

  static constexpr const char* kQueueLabel = "vela.audio.tap";
  // Written to the system log, followed by the source's reason in parentheses, when the tap on the
  // system's output cannot be set up.
  static constexpr const char* kTapFailedLine = "Tavlo: przechwytywanie dźwięku systemu nieudane";

  // `onAudio` receives each converted block on the engine's queue. `systemLog` takes the engine's
  // system-log lines (the process's standard error unless a test listens).
  static std::shared_ptr<AudioTapEngine> create(std::shared_ptr<tavlo::SystemAudioSource> source,
                                                AudioCallback onAudio,
                                                tavlo::LogSink systemLog = tavlo::SystemLog::sink());
  // Stops the tap when the owner has not, so that the system's audio server is not left recording for
  // nobody; cycles still queued are dropped.
  ~AudioTapEngine();
  AudioTapEngine(const AudioTapEngine&) = delete;
  AudioTapEngine& operator=(const AudioTapEngine&) = delete;

  // Starts tapping. True once the source runs; false, with kTapFailedLine and why in the system log and
  // nothing left running, when it cannot. Not guarded against a second call: the owner calls it once
  // (a second start while running hands the source the new cycle handler).
  bool start();
  // Stops and releases the tap. Cycles handed over but not yet handled are dropped, so once stop
  // returns onAudio is not called again (a call already running may finish). Idempotent; on an engine
  // that never ran it touches nothing of the source.
  void stop();
  bool isRunning() const { return running_.load(); }

  // Waits until every cycle handed to the engine so far has been handled (tests; an owner that must
  // know its callback is quiet). Not from onAudio.
  void flush();

 private:
  AudioTapEngine(std::shared_ptr<tavlo::SystemAudioSource> source, AudioCallback onAudio, tavlo::LogSink systemLog);

  // The engine's I/O block: runs on queue_ for each cycle of the start numbered `generation`.
  void handleCycle(uint64_t generation, const tavlo::AudioSampleBuffer& cycle);

  const std::shared_ptr<tavlo::SystemAudioSource> source_;
  const AudioCallback onAudio_;
  const tavlo::LogSink systemLog_;
  const std::shared_ptr<tavlo::SerialExecutor> queue_;

  std::mutex operationMutex_;  // one start or stop at a time; held across the source's answer
  std::atomic<bool> running_{false};
  // Numbers the starts; stop moves it on, so that cycles of an earlier start still queued are dropped.
  std::atomic<uint64_t> generation_{0};
};

}  // namespace vela
