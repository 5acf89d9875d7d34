#include "platform/pulse/pulse_audio_devices.hpp"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/thread-mainloop.h>

namespace tavlo {
namespace {

// Takes the threaded loop's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// What one request collects; its callbacks run on the loop's thread with the loop locked.
struct Request {
  explicit Request(pa_threaded_mainloop* mainloop) : loop(mainloop) {}
  pa_threaded_mainloop* loop;
  std::vector<AudioSource> sources;
  std::optional<std::string> defaultSource;
  bool success = false;
};

void wake(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

void onContextState(pa_context*, void* loop) { wake(static_cast<pa_threaded_mainloop*>(loop)); }

void onSource(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto* request = static_cast<Request*>(data);
  if (eol != 0 || !info) {
    request->success = eol > 0;
    wake(request->loop);
    return;
  }
  AudioSource source;
  source.name = info->name ? info->name : "";
  source.description = info->description ? info->description : "";
  source.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
  source.running = info->state == PA_SOURCE_RUNNING;
  request->sources.push_back(std::move(source));
}

void onServerInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* request = static_cast<Request*>(data);
  if (info && info->default_source_name && *info->default_source_name) {
    request->defaultSource = info->default_source_name;
  }
  request->success = info != nullptr;
  wake(request->loop);
}

void onSuccess(pa_context*, int success, void* data) {
  auto* request = static_cast<Request*>(data);
  request->success = success != 0;
  wake(request->loop);
}

// Waits (loop locked) until the operation ends; a context that fails cancels its operations.
bool finish(pa_threaded_mainloop* loop, pa_operation* operation) {
  if (!operation) return false;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
  bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
  pa_operation_unref(operation);
  return done;
}

}  // namespace

struct PulseAudioDevices::Loop {
  pa_threaded_mainloop* mainloop = nullptr;
  pa_context* context = nullptr;

  Loop() : mainloop(pa_threaded_mainloop_new()) {
    if (mainloop && pa_threaded_mainloop_start(mainloop) < 0) {
      pa_threaded_mainloop_free(mainloop);
      mainloop = nullptr;
    }
  }
  ~Loop() {
    if (!mainloop) return;
    {
      LoopLock lock(mainloop);
      dropContext();
    }
    pa_threaded_mainloop_stop(mainloop);
    pa_threaded_mainloop_free(mainloop);
  }
  void dropContext() {
    if (!context) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }
};

PulseAudioDevices::PulseAudioDevices(std::string server)
    : server_(std::move(server)), loop_(std::make_unique<Loop>()) {}

PulseAudioDevices::~PulseAudioDevices() = default;

pa_context* PulseAudioDevices::readyContext() {
  if (loop_->context && pa_context_get_state(loop_->context) == PA_CONTEXT_READY) return loop_->context;
  loop_->dropContext();
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop_->mainloop), "tavlo");
  if (!context) return nullptr;
  loop_->context = context;
  pa_context_set_state_callback(context, onContextState, loop_->mainloop);
  if (pa_context_connect(context, server_.empty() ? nullptr : server_.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    loop_->dropContext();
    return nullptr;
  }
  for (;;) {
    auto state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) return context;
    if (!PA_CONTEXT_IS_GOOD(state)) {
      loop_->dropContext();
      return nullptr;
    }
    pa_threaded_mainloop_wait(loop_->mainloop);
  }
}

std::optional<std::vector<AudioSource>> PulseAudioDevices::sources() {
  std::lock_guard guard(mutex_);
  if (!loop_->mainloop) return std::nullopt;
  LoopLock lock(loop_->mainloop);
  pa_context* context = readyContext();
  if (!context) return std::nullopt;
  Request request(loop_->mainloop);
  if (!finish(loop_->mainloop, pa_context_get_source_info_list(context, onSource, &request)) || !request.success) {
    return std::nullopt;
  }
  return std::move(request.sources);
}

std::optional<std::string> PulseAudioDevices::defaultSource() {
  std::lock_guard guard(mutex_);
  if (!loop_->mainloop) return std::nullopt;
  LoopLock lock(loop_->mainloop);
  pa_context* context = readyContext();
  if (!context) return std::nullopt;
  Request request(loop_->mainloop);
  if (!finish(loop_->mainloop, pa_context_get_server_info(context, onServerInfo, &request))) return std::nullopt;
  return request.defaultSource;
}

bool PulseAudioDevices::setDefaultSource(const std::string& name) {
  std::lock_guard guard(mutex_);
  if (!loop_->mainloop) return false;
  LoopLock lock(loop_->mainloop);
  pa_context* context = readyContext();
  if (!context) return false;
  Request request(loop_->mainloop);
  return finish(loop_->mainloop, pa_context_set_default_source(context, name.c_str(), onSuccess, &request)) &&
         request.success;
}

}  // namespace tavlo
