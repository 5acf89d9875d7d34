#include "platform/pulse/pulse_audio_devices.hpp"

#include "platform/pulse/pulse_handles.hpp"

namespace tavlo {
namespace {

// What one request collects; its callbacks run on the loop's thread with the loop locked.
struct Request {
  explicit Request(pa_threaded_mainloop* mainloop) : loop(mainloop) {}
  pa_threaded_mainloop* loop;
  std::vector<AudioSource> sources;
  std::optional<std::string> defaultSource;
  bool success = false;
};

void wake(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

// A timer on the loop that wakes the waiting caller once the answer limit has passed. Made and freed
// with the loop locked.
class Deadline {
 public:
  Deadline(pa_threaded_mainloop* loop, std::chrono::milliseconds limit)
      : loop_(loop), api_(pa_threaded_mainloop_get_api(loop)) {
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(limit.count()) * PA_USEC_PER_MSEC);
    event_ = api_->time_new(api_, &when, &Deadline::fired, this);
  }
  ~Deadline() {
    if (event_) api_->time_free(event_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  bool passed() const { return passed_; }

 private:
  static void fired(pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
    auto* self = static_cast<Deadline*>(data);
    self->passed_ = true;
    wake(self->loop_);
  }
  pa_threaded_mainloop* loop_;
  pa_mainloop_api* api_;
  pa_time_event* event_ = nullptr;
  bool passed_ = false;
};

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

// Waits (loop locked) until the operation ends, or cancels it once `limit` has passed; a context that
// fails cancels its operations.
bool finish(pa_threaded_mainloop* loop, pa_operation* operation, std::chrono::milliseconds limit) {
  if (!operation) return false;
  Deadline deadline(loop, limit);
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    if (deadline.passed()) {
      pa_operation_cancel(operation);
      pa_operation_unref(operation);
      return false;
    }
    pa_threaded_mainloop_wait(loop);
  }
  bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
  pa_operation_unref(operation);
  return done;
}

}  // namespace

struct PulseAudioDevices::Loop {
  PulseMainloop mainloop;
  PulseContext context;

  Loop() : mainloop(pa_threaded_mainloop_new()) {
    if (mainloop && pa_threaded_mainloop_start(mainloop.get()) < 0) mainloop.reset();
  }
  ~Loop() {
    if (!mainloop) return;
    // The context goes under the lock, before the loop (stopped and freed by its owner).
    PulseLoopLock lock(mainloop.get());
    context.reset();
  }
  void dropContext() { context.reset(); }
};

PulseAudioDevices::PulseAudioDevices(std::string server, std::chrono::milliseconds answerLimit)
    : server_(std::move(server)), answerLimit_(answerLimit), loop_(std::make_unique<Loop>()) {}

PulseAudioDevices::~PulseAudioDevices() = default;

pa_context* PulseAudioDevices::readyContext() {
  if (loop_->context && pa_context_get_state(loop_->context.get()) == PA_CONTEXT_READY) return loop_->context.get();
  loop_->dropContext();
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop_->mainloop.get()), "tavlo");
  if (!context) return nullptr;
  loop_->context.reset(context);
  pa_context_set_state_callback(context, onContextState, loop_->mainloop.get());
  if (pa_context_connect(context, server_.empty() ? nullptr : server_.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    loop_->dropContext();
    return nullptr;
  }
  Deadline deadline(loop_->mainloop.get(), answerLimit_);
  for (;;) {
    auto state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) return context;
    if (!PA_CONTEXT_IS_GOOD(state) || deadline.passed()) {
      loop_->dropContext();
      return nullptr;
    }
    pa_threaded_mainloop_wait(loop_->mainloop.get());
  }
}

std::optional<std::vector<AudioSource>> PulseAudioDevices::sources() {
  std::lock_guard guard(mutex_);
  if (!loop_->mainloop) return std::nullopt;
  PulseLoopLock lock(loop_->mainloop.get());
  pa_context* context = readyContext();
  if (!context) return std::nullopt;
  Request request(loop_->mainloop.get());
  pa_operation* operation = pa_context_get_source_info_list(context, onSource, &request);
  if (!finish(loop_->mainloop.get(), operation, answerLimit_) || !request.success) {
    return std::nullopt;
  }
  return std::move(request.sources);
}

std::optional<std::string> PulseAudioDevices::defaultSource() {
  std::lock_guard guard(mutex_);
  if (!loop_->mainloop) return std::nullopt;
  PulseLoopLock lock(loop_->mainloop.get());
  pa_context* context = readyContext();
  if (!context) return std::nullopt;
  Request request(loop_->mainloop.get());
  if (!finish(loop_->mainloop.get(), pa_context_get_server_info(context, onServerInfo, &request), answerLimit_)) return std::nullopt;
  return request.defaultSource;
}

bool PulseAudioDevices::setDefaultSource(const std::string& name) {
  std::lock_guard guard(mutex_);
  if (!loop_->mainloop) return false;
  PulseLoopLock lock(loop_->mainloop.get());
  pa_context* context = readyContext();
  if (!context) return false;
  Request request(loop_->mainloop.get());
  return finish(loop_->mainloop.get(), pa_context_set_default_source(context, name.c_str(), onSuccess, &request),
                answerLimit_) &&
         request.success;
}

}  // namespace tavlo
