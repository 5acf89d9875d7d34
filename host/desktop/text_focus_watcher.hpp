#pragma once
// Tells the host whether the element that holds the keyboard focus is a text input, whether it is a
// password field, and where it lies, so that the client can show its on-screen keyboard next to it.
// It observes the frontmost application through a FocusSource and reports a FocusInfo through onChange
// only when the information changes.
//
// Threads: the watcher lives on the executor it is given (the program gives it a queue of its own,
// since every accessibility call may wait for a slow application). Its state is touched only there;
// start() and setPollingEnabled() may be called from any thread, queue their step there and return at
// once. Timers run on the given Scheduler and hand their work to that executor; onChange is called on
// it. The executor and the scheduler must outlive the watcher.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/focus/focus_source.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/screen_geometry.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class TextFocusWatcher : public std::enable_shared_from_this<TextFocusWatcher> {
 public:
  struct FocusInfo {
    bool isText = false;
    bool isSecure = false;
    // The element's frame in the global point space (top-left origin of the main display, points).
    std::optional<ScreenRect> frame;

    friend bool operator==(const FocusInfo&, const FocusInfo&) = default;
  };
  using OnChange = std::function<void(const FocusInfo&)>;

  // Nothing is observed until start(). `systemLog` takes the line about missing accessibility.
  static std::shared_ptr<TextFocusWatcher> create(FocusSource& source, Scheduler& scheduler, SerialExecutor& main,
                                                  LogSink systemLog = SystemLog::sink());
  ~TextFocusWatcher();
  TextFocusWatcher(const TextFocusWatcher&) = delete;
  TextFocusWatcher& operator=(const TextFocusWatcher&) = delete;

  void setOnChange(OnChange onChange);
  // Begins watching; effective once. Without accessibility it logs, reports nothing, and a later call
  // tries again. Returns before the step has run.
  void start();
  // The safety-net poll: an evaluation 0.3 s from now and then every 0.35 s while on.
  void setPollingEnabled(bool on);

 private:
  TextFocusWatcher(FocusSource& source, Scheduler& scheduler, SerialExecutor& main, LogSink systemLog);

  // Everything below runs on the main executor.
  void startOnMain();
  void setPollingOnMain(bool on);
  void handleWorkspace(const WorkspaceEvent& event);
  void attach(int32_t pid, int attempt);
  void detach();
  void attachToFrontmost();
  void scheduleEvaluation();
  void evaluateNow();
  FocusInfo classify(FocusElement* element);

  // Runs `job` on the main executor if the watcher still exists then.
  void postToMain(std::function<void(TextFocusWatcher&)> job);
  static void postToMain(SerialExecutor& main, std::weak_ptr<TextFocusWatcher> weak,
                         std::function<void(TextFocusWatcher&)> job);

  FocusSource& source_;
  Scheduler& scheduler_;
  SerialExecutor& main_;
  const LogSink systemLog_;

  std::mutex onChangeMutex_;  // guards onChange_ alone: the owner may replace it from any thread
  OnChange onChange_;

  std::unique_ptr<FocusObserver> observer_;  // present while an application is observed
  int32_t observedPid_ = 0;
  std::shared_ptr<FocusElement> watchedElement_;
  std::optional<FocusInfo> last_;
  ScopedTimer debounce_;
  uint64_t debounceGeneration_ = 0;  // a fired debounce runs only if no newer one replaced it
  ScopedTimer poll_;
  uint64_t pollGeneration_ = 0;
  ScopedTimer retry_;
  std::unique_ptr<FocusSubscription> tokens_;
  bool started_ = false;
};

}  // namespace tavlo
