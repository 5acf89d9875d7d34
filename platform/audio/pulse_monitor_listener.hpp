#pragma once
// One run of PulseSystemAudio: a threaded main loop with its context and the record stream of the
// default sink's monitor, from open() until the object goes. The connection is a small state machine
// driven by libpulse's callbacks on the loop's thread: connect the context, ask the server for its
// default sink, ask the sink for its monitor, record it; then ask again every second whether the default
// sink is still the same, and record the new one's monitor when it is not. A failure before open() returns is open()'s
// answer; a failure later is logged once and followed by a fresh attempt after the reconnect delay,
// until the listener is released. An attempt that does not get as far as recording within the connect
// time-out counts as failed.
//
// Every field below is guarded by the main loop's lock (the callbacks run with it held; open and
// setHandler take it).
#include <optional>
#include <string>

#include "platform/audio/system_audio_source.hpp"
#include "platform/pulse/pulse_handles.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class PulseMonitorListener {
 public:
  struct Settings {
    std::string server;  // empty: libpulse's default
    std::string clientName;
    uint64_t connectTimeoutUs = 0;
    uint64_t reconnectDelayUs = 0;
    LogSink log;
  };

  PulseMonitorListener(Settings settings, SystemAudioSource::BlockHandler handler);
  // Stops the loop (joining its thread), then releases stream, context and loop. Not from the loop's
  // thread.
  ~PulseMonitorListener();
  PulseMonitorListener(const PulseMonitorListener&) = delete;
  PulseMonitorListener& operator=(const PulseMonitorListener&) = delete;

  // Starts the loop and waits until the monitor records (nullopt) or why it cannot. Called once.
  std::optional<std::string> open();
  void setHandler(SystemAudioSource::BlockHandler handler);

 private:
  // The steps of a connection, each started by the answer to the one before.
  void connectContext();
  void onContextState(pa_context* context);
  void askDefaultSink();
  void onServerInfo(pa_context* context, const pa_server_info* info);
  void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol);
  void openStream(const std::string& monitor);
  void onStreamState(pa_stream* stream);
  void onReadable(pa_stream* stream);
  // The connection is lost (or could not be made): answers a waiting open(), or logs and retries.
  void fail(const std::string& reason);
  void onRetry();
  void onCheckDefaultSink();
  void onAttemptTimeout();
  void finishOpen(std::optional<std::string> failure);
  pa_time_event* armTimer(uint64_t delayUs, pa_time_event_cb_t callback);
  void freeTimer(pa_time_event*& timer);
  void log(const std::string& line) const;

  const Settings settings_;
  SystemAudioSource::BlockHandler handler_;
  PulseMainloop mainloop_;
  PulseContext context_;
  PulseStream stream_;
  pa_time_event* retryTimer_ = nullptr;  // armed while waiting to reconnect
  pa_time_event* attemptTimer_ = nullptr;  // armed while a connection is under way
  pa_time_event* checkTimer_ = nullptr;  // looks for a new default sink, for the listener's whole life
  bool opening_ = false;                 // open() waits for the first outcome
  std::optional<std::string> openFailure_;
  bool outageLogged_ = false;  // the current outage has been logged (once per outage)
  std::string sinkName_;       // the default sink whose monitor is recorded (or being connected)
  std::string monitorName_;
};

}  // namespace tavlo
