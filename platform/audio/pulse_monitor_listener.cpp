#include "platform/audio/pulse_monitor_listener.hpp"

#include <sys/time.h>

#include <utility>

#include "platform/audio/audio_sample_buffer.hpp"

namespace tavlo {
namespace {

constexpr uint32_t kSampleRate = 48000;
constexpr uint8_t kChannels = 2;
constexpr uint32_t kBytesPerFrame = kChannels * sizeof(float);
// Frames the server is asked to hand over at a time: 10 ms, the capture stream's usual block.
constexpr uint32_t kFramesPerFragment = 480;
constexpr const char* kStreamName = "Tavlo system audio";
// How often the server is asked which sink is the default: PipeWire's pulse server (0.3 on Debian 12)
// announces no change of it, so the source looks for itself.
constexpr uint64_t kDefaultSinkCheckUs = 1'000'000;
// The loop's thread name (at most 15 characters).
constexpr const char* kThreadName = "tavlo.pulse";

std::string errorText(pa_context* context) { return pa_strerror(pa_context_errno(context)); }

PulseMonitorListener* self(void* userdata) { return static_cast<PulseMonitorListener*>(userdata); }

}  // namespace

PulseMonitorListener::PulseMonitorListener(Settings settings, SystemAudioSource::BlockHandler handler)
    : settings_(std::move(settings)), handler_(std::move(handler)) {}

PulseMonitorListener::~PulseMonitorListener() {
  if (!mainloop_) return;
  // Everything of ours goes under the lock, so the loop's thread has nothing left to call; then the
  // loop is stopped and freed.
  {
    PulseLoopLock lock(mainloop_.get());
    stream_.reset();
    context_.reset();
    freeTimer(retryTimer_);
    freeTimer(attemptTimer_);
    freeTimer(checkTimer_);
  }
  mainloop_.reset();
}

std::optional<std::string> PulseMonitorListener::open() {
  mainloop_.reset(pa_threaded_mainloop_new());
  if (!mainloop_) return "pulse: pa_threaded_mainloop_new nieudane";
  pa_threaded_mainloop_set_name(mainloop_.get(), kThreadName);
  if (pa_threaded_mainloop_start(mainloop_.get()) < 0) return "pulse: pa_threaded_mainloop_start nieudane";

  PulseLoopLock lock(mainloop_.get());
  opening_ = true;
  checkTimer_ = armTimer(kDefaultSinkCheckUs, [](pa_mainloop_api*, pa_time_event*, const timeval*, void* me) {
    self(me)->onCheckDefaultSink();
  });
  connectContext();
  while (opening_) pa_threaded_mainloop_wait(mainloop_.get());
  return openFailure_;
}

void PulseMonitorListener::setHandler(SystemAudioSource::BlockHandler handler) {
  PulseLoopLock lock(mainloop_.get());
  handler_ = std::move(handler);
}

void PulseMonitorListener::connectContext() {
  stream_.reset();
  context_.reset();
  sinkName_.clear();
  monitorName_.clear();
  // A server that accepts the connection but never gets as far as recording (one still starting up,
  // say) must not hold the attempt forever.
  freeTimer(attemptTimer_);
  attemptTimer_ = armTimer(settings_.connectTimeoutUs, [](pa_mainloop_api*, pa_time_event*, const timeval*, void* me) {
    self(me)->onAttemptTimeout();
  });
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
  context_.reset(pa_context_new(api, settings_.clientName.c_str()));
  if (!context_) {
    fail("pa_context_new nieudane");
    return;
  }
  pa_context_set_state_callback(
      context_.get(), [](pa_context* context, void* me) { self(me)->onContextState(context); }, this);
  const char* server = settings_.server.empty() ? nullptr : settings_.server.c_str();
  if (pa_context_connect(context_.get(), server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) fail(errorText(context_.get()));
}

void PulseMonitorListener::onContextState(pa_context* context) {
  if (context != context_.get()) return;
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      askDefaultSink();
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      fail(errorText(context));
      break;
    default:
      break;
  }
}

void PulseMonitorListener::askDefaultSink() {
  if (retryTimer_ || !context_) return;
  pa_operation* operation = pa_context_get_server_info(
      context_.get(),
      [](pa_context* context, const pa_server_info* info, void* me) { self(me)->onServerInfo(context, info); }, this);
  if (!operation) {
    fail(errorText(context_.get()));
    return;
  }
  releaseOperation(operation);
}

void PulseMonitorListener::onServerInfo(pa_context* context, const pa_server_info* info) {
  if (context != context_.get() || retryTimer_) return;
  if (!info) {
    fail(errorText(context));
    return;
  }
  const std::string sink = info->default_sink_name ? info->default_sink_name : "";
  // PipeWire's pulse server names its placeholder while there is no sink at all.
  if (sink.empty() || sink == "@DEFAULT_SINK@") {
    fail("brak domyślnego wyjścia");
    return;
  }
  if (sink == sinkName_) return;  // a change of something else
  if (!sinkName_.empty()) log("🔊 pulse: domyślne wyjście zmienione na " + sink);
  sinkName_ = sink;
  pa_operation* operation = pa_context_get_sink_info_by_name(
      context, sink.c_str(),
      [](pa_context* context, const pa_sink_info* info, int eol, void* me) {
        self(me)->onSinkInfo(context, info, eol);
      },
      this);
  if (!operation) {
    fail(errorText(context));
    return;
  }
  releaseOperation(operation);
}

void PulseMonitorListener::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol) {
  if (context != context_.get() || retryTimer_) return;
  if (eol < 0) {
    fail("wyjście " + sinkName_ + ": " + errorText(context));  // it went away in between
    return;
  }
  // An answer about a sink that is no longer the default one is stale: a newer question is under way.
  if (eol > 0 || !info || !info->name || sinkName_ != info->name) return;
  if (!info->monitor_source_name || !*info->monitor_source_name) {
    fail("wyjście " + sinkName_ + " bez monitora");
    return;
  }
  openStream(info->monitor_source_name);
}

void PulseMonitorListener::openStream(const std::string& monitor) {
  stream_.reset();
  monitorName_ = monitor;
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kSampleRate, kChannels};
  pa_channel_map map;
  pa_channel_map_init_stereo(&map);
  stream_.reset(pa_stream_new(context_.get(), kStreamName, &spec, &map));
  if (!stream_) {
    fail(errorText(context_.get()));
    return;
  }
  pa_stream_set_state_callback(
      stream_.get(), [](pa_stream* stream, void* me) { self(me)->onStreamState(stream); }, this);
  pa_stream_set_read_callback(
      stream_.get(), [](pa_stream* stream, size_t, void* me) { self(me)->onReadable(stream); }, this);
  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<uint32_t>(-1);  // the server's default
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = kFramesPerFragment * kBytesPerFrame;
  // Never moved to another source by the server: when the monitor goes, the stream ends and the
  // reconnection finds the default sink's monitor again.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream_.get(), monitor.c_str(), &attributes, flags) < 0) {
    fail(errorText(context_.get()));
  }
}

void PulseMonitorListener::onStreamState(pa_stream* stream) {
  if (stream != stream_.get()) return;
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      freeTimer(attemptTimer_);
      log("🔊 pulse: nasłuch monitora " + monitorName_);
      outageLogged_ = false;
      if (opening_) finishOpen(std::nullopt);
      break;
    case PA_STREAM_FAILED:
      fail("monitor " + monitorName_ + ": " + errorText(context_.get()));
      break;
    case PA_STREAM_TERMINATED:
      fail("monitor " + monitorName_ + " zakończony");
      break;
    default:
      break;
  }
}

void PulseMonitorListener::onReadable(pa_stream* stream) {
  if (stream != stream_.get()) return;
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0) {
      fail("monitor " + monitorName_ + ": " + errorText(context_.get()));
      return;
    }
    if (bytes == 0) break;
    // A hole (no data for `bytes`) is skipped: it carries no samples.
    if (data && handler_) {
      AudioSampleBuffer block;
      block.format = floatInterleavedDescription(kChannels, kSampleRate);
      block.frameCount = static_cast<int64_t>(bytes / kBytesPerFrame);
      AudioBufferData buffer;
      buffer.numberChannels = kChannels;
      const auto* first = static_cast<const uint8_t*>(data);
      buffer.data.assign(first, first + bytes);
      block.buffers.push_back(std::move(buffer));
      handler_(block);
    }
    pa_stream_drop(stream);
  }
}

void PulseMonitorListener::fail(const std::string& reason) {
  freeTimer(attemptTimer_);
  if (opening_) {
    finishOpen("pulse: " + reason);
    return;
  }
  // Closed after a failed open, or already waiting to reconnect: the first word on a loss is enough.
  if (openFailure_ || retryTimer_) return;
  if (!outageLogged_) {
    log("🔊 pulse: nasłuch przerwany (" + reason + "), ponawiam");
    outageLogged_ = true;
  }
  retryTimer_ = armTimer(settings_.reconnectDelayUs, [](pa_mainloop_api*, pa_time_event*, const timeval*, void* me) {
    self(me)->onRetry();
  });
}

void PulseMonitorListener::onRetry() {
  freeTimer(retryTimer_);
  connectContext();
}

void PulseMonitorListener::onCheckDefaultSink() {
  timeval next;
  pa_gettimeofday(&next);
  pa_timeval_add(&next, kDefaultSinkCheckUs);
  pa_threaded_mainloop_get_api(mainloop_.get())->time_restart(checkTimer_, &next);
  // Only while the monitor records: a connection under way asks for the default sink anyway.
  if (stream_ && pa_stream_get_state(stream_.get()) == PA_STREAM_READY && !retryTimer_) askDefaultSink();
}

void PulseMonitorListener::onAttemptTimeout() {
  freeTimer(attemptTimer_);
  fail("serwer audio nie odpowiedział na czas");
}

void PulseMonitorListener::finishOpen(std::optional<std::string> failure) {
  opening_ = false;
  openFailure_ = std::move(failure);
  pa_threaded_mainloop_signal(mainloop_.get(), 0);
}

pa_time_event* PulseMonitorListener::armTimer(uint64_t delayUs, pa_time_event_cb_t callback) {
  timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, delayUs);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
  return api->time_new(api, &when, callback, this);
}

void PulseMonitorListener::freeTimer(pa_time_event*& timer) {
  if (!timer) return;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
  api->time_free(timer);
  timer = nullptr;
}

void PulseMonitorListener::log(const std::string& line) const {
  if (settings_.log) settings_.log(line);
}

}  // namespace tavlo
