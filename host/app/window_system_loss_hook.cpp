#include "host/app/window_system_loss_hook.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/runtime/thread_name.hpp"

namespace tavlo {
namespace {

// The hook exit() runs; empty once its owner is gone.
std::atomic<std::function<void()>*> armedHook{nullptr};

void runArmedHook() {
  if (std::function<void()>* hook = armedHook.exchange(nullptr)) (*hook)();
}

}  // namespace

WindowSystemLossHook::WindowSystemLossHook(int descriptor, std::function<void()> onExit) : onExit_(std::move(onExit)) {
  int fds[2];
  if (descriptor < 0 || ::pipe2(fds, O_CLOEXEC) != 0) return;
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  thread_ = std::thread([this, descriptor] { watch(descriptor); });
}

WindowSystemLossHook::~WindowSystemLossHook() {
  armedHook.store(nullptr);
  if (!thread_.joinable()) return;
  const char stop = 0;
  while (::write(wakeWrite_, &stop, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void WindowSystemLossHook::watch(int descriptor) {
  setCurrentThreadName("tl.x11.hangup");
  for (;;) {
    // Only a hang-up wakes this: the connection's data is Qt's to read.
    pollfd fds[2] = {{descriptor, POLLRDHUP, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
      armedHook.store(&onExit_);
      std::atexit(runArmedHook);
      return;
    }
  }
}

}  // namespace tavlo
