#include "platform/pipewire/pipewire_context.hpp"

#include <pipewire/pipewire.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace tavlo {

struct PipeWireContext::Listener {
  spa_hook hook{};
  pw_core_events events{};
  std::function<void()> onDisconnect;
};

namespace {

void initOnce() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

void onCoreError(void* data, uint32_t id, int, int res, const char*) {
  auto* listener = static_cast<PipeWireContext::Listener*>(data);
  // An error on the core object itself with EPIPE: the server closed the connection.
  if (id == PW_ID_CORE && res == -EPIPE && listener->onDisconnect) listener->onDisconnect();
}

}  // namespace

PipeWireContext::PipeWireContext() = default;

std::unique_ptr<PipeWireContext> PipeWireContext::connect(std::function<void()> onDisconnect, std::string& error,
                                                          const std::string& remote) {
  initOnce();
  std::unique_ptr<PipeWireContext> self(new PipeWireContext());
  self->loop_ = pw_thread_loop_new("tavlo-pw", nullptr);
  if (!self->loop_) {
    error = "pw_thread_loop_new failed";
    return nullptr;
  }
  self->context_ = pw_context_new(pw_thread_loop_get_loop(self->loop_), nullptr, 0);
  if (!self->context_) {
    error = "pw_context_new failed";
    return nullptr;
  }
  if (pw_thread_loop_start(self->loop_) < 0) {
    error = "pw_thread_loop_start failed";
    return nullptr;
  }
  PipeWireLock lock(self->loop_);
  pw_properties* properties = remote.empty() ? nullptr : pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr);
  self->core_ = pw_context_connect(self->context_, properties, 0);
  if (!self->core_) {
    error = std::string("cannot connect to PipeWire: ") + std::strerror(errno);
    return nullptr;
  }
  self->listener_ = std::make_unique<Listener>();
  self->listener_->events.version = PW_VERSION_CORE_EVENTS;
  self->listener_->events.error = onCoreError;
  self->listener_->onDisconnect = std::move(onDisconnect);
  pw_core_add_listener(self->core_, &self->listener_->hook, &self->listener_->events, self->listener_.get());
  return self;
}

PipeWireContext::~PipeWireContext() {
  if (loop_) {
    {
      PipeWireLock lock(loop_);
      if (listener_) spa_hook_remove(&listener_->hook);
      if (core_) pw_core_disconnect(core_);
    }
    pw_thread_loop_stop(loop_);
  }
  if (context_) pw_context_destroy(context_);
  if (loop_) pw_thread_loop_destroy(loop_);
}

PipeWireLock::PipeWireLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
PipeWireLock::~PipeWireLock() { pw_thread_loop_unlock(loop_); }

}  // namespace tavlo
