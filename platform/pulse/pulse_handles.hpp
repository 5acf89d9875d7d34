#pragma once
// RAII owners of libpulse's handles, and the threaded main loop's lock for a scope. Each deleter detaches
// the handle's callbacks first, so that nothing calls back into an owner that is going away.
//
// Order matters: streams and contexts are released while their threaded main loop is stopped or locked,
// and before the loop itself, which is stopped (its thread joined) and freed last. A loop must not be
// released from its own thread.
#include <pulse/pulseaudio.h>

#include <memory>

namespace tavlo {

struct PulseMainloopDeleter {
  void operator()(pa_threaded_mainloop* mainloop) const {
    pa_threaded_mainloop_stop(mainloop);
    pa_threaded_mainloop_free(mainloop);
  }
};

struct PulseContextDeleter {
  void operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
};

struct PulseStreamDeleter {
  void operator()(pa_stream* stream) const {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    // Only a connected stream can be disconnected; one that failed or never connected is just released.
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_CREATING || state == PA_STREAM_READY) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
};

// Takes the threaded loop's lock for a scope (not on the loop's own thread: its callbacks hold it already).
class PulseLoopLock {
 public:
  explicit PulseLoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~PulseLoopLock() { pa_threaded_mainloop_unlock(loop_); }
  PulseLoopLock(const PulseLoopLock&) = delete;
  PulseLoopLock& operator=(const PulseLoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

using PulseMainloop = std::unique_ptr<pa_threaded_mainloop, PulseMainloopDeleter>;
using PulseContext = std::unique_ptr<pa_context, PulseContextDeleter>;
using PulseStream = std::unique_ptr<pa_stream, PulseStreamDeleter>;

// Releases a pending operation the caller does not wait for (its callback still runs).
inline void releaseOperation(pa_operation* operation) {
  if (operation) pa_operation_unref(operation);
}

}  // namespace tavlo
