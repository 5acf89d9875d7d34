#include "platform/runtime/signal_watcher.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/runtime/thread_name.hpp"

namespace tavlo {
namespace {

// Made once and never closed: a handler still running on another thread while a watcher goes away
// must never write into a descriptor that was closed (or reused for something else).
struct SignalPipe {
  int readFd = -1;
  int writeFd = -1;
};

SignalPipe& signalPipe() {
  static SignalPipe pipe = [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "signal pipe");
    // A flood of signals must not block a handler: bytes that do not fit are dropped.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    return SignalPipe{fds[0], fds[1]};
  }();
  return pipe;
}

std::atomic<int> handlerWriteFd{-1};
std::atomic<bool> watcherExists{false};
// Tells the watcher's thread to end; no signal has the number 0.
constexpr unsigned char stopByte = 0;

void onSignal(int signal) {
  int savedErrno = errno;
  int fd = handlerWriteFd.load();
  if (fd >= 0) {
    auto byte = static_cast<unsigned char>(signal);
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = savedErrno;
}

}  // namespace

SignalWatcher::SignalWatcher(std::vector<int> signals, Handler handler)
    : signals_(std::move(signals)), handler_(std::move(handler)) {
  if (watcherExists.exchange(true)) throw std::logic_error("a signal watcher already exists");
  try {
    SignalPipe& pipe = signalPipe();
    handlerWriteFd.store(pipe.writeFd);
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signals_) {
      struct sigaction before{};
      if (::sigaction(signal, &action, &before) != 0) throw std::system_error(errno, std::generic_category(), "sigaction");
      previous_.push_back(before);
    }
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    for (size_t i = 0; i < previous_.size(); ++i) ::sigaction(signals_[i], &previous_[i], nullptr);
    handlerWriteFd.store(-1);
    watcherExists.store(false);
    throw;
  }
}

SignalWatcher::~SignalWatcher() {
  for (size_t i = 0; i < previous_.size(); ++i) ::sigaction(signals_[i], &previous_[i], nullptr);
  handlerWriteFd.store(-1);
  unsigned char byte = stopByte;
  // A full pipe is drained by the thread, so the stop byte gets in after a retry or two.
  while (::write(signalPipe().writeFd, &byte, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
  }
  thread_.join();
  watcherExists.store(false);
}

void SignalWatcher::run() {
  setCurrentThreadName("tl.signals");
  for (;;) {
    unsigned char byte = 0;
    ssize_t n = ::read(signalPipe().readFd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == stopByte) return;
    handler_(byte);
  }
}

}  // namespace tavlo
