#include "hostcore/session/session_threads.hpp"

#include <atomic>
#include <thread>

#include "platform/runtime/thread_name.hpp"

namespace vela {

namespace {
std::atomic<int> live{0};
}  // namespace

void startSessionThread(const std::string& name, std::function<void()> body) {
  live.fetch_add(1);
  std::thread([name, body = std::move(body)]() mutable {
    tavlo::setCurrentThreadName(name);
    body();
    body = nullptr;  // what the loop held goes before the thread counts as finished
    live.fetch_sub(1);
  }).detach();
}

int liveSessionThreads() { return live.load(); }

}  // namespace vela
