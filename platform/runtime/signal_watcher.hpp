#pragma once
// Process signals (SIGTERM, SIGINT) delivered as ordinary calls on a thread of the watcher's own,
// where the handler may take locks, log or post to an executor: none of which is allowed inside a
// signal handler. The handler installed for each signal only writes the signal's number into a pipe.
//
// One watcher at a time per process. Destroying it puts the earlier dispositions back.
#include <csignal>
#include <functional>
#include <thread>
#include <vector>

namespace tavlo {

class SignalWatcher {
 public:
  using Handler = std::function<void(int signal)>;

  // Installs the handlers; `handler` runs on the watcher's thread ("tl.signals") for every delivery.
  // Throws std::system_error when the pipe or a disposition cannot be set up, std::logic_error when
  // another watcher exists.
  SignalWatcher(std::vector<int> signals, Handler handler);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void run();

  std::vector<int> signals_;
  std::vector<struct sigaction> previous_;
  Handler handler_;
  std::thread thread_;
};

}  // namespace tavlo
