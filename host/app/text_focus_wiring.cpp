#include "host/app/text_focus_wiring.hpp"

#include <mutex>

#include "host/desktop/text_focus_watcher.hpp"
#include "platform/focus/atspi_focus_source.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {
namespace {

// The watcher with what it runs on, kept together for the program's lifetime. The watcher's jobs run
// on a queue of its own; the controller's handler hops to the main executor itself.
struct FocusParts {
  std::unique_ptr<AtspiFocusSource> source;
  std::unique_ptr<SerialExecutor> queue;
  std::shared_ptr<TextFocusWatcher> watcher;
  std::mutex mutex;  // last and handler
  std::optional<TextFocusWatcher::FocusInfo> last;
  std::function<void(const TextFocusWatcher::FocusInfo&)> handler;

  ~FocusParts() {
    watcher.reset();
    queue.reset();
  }
};

}  // namespace

void wireTextFocus(HostControllerSeams& seams, Scheduler& scheduler, const std::optional<std::string>& display) {
  auto parts = std::make_shared<FocusParts>();
  parts->source = AtspiFocusSource::create(display.value_or(""));
  if (!parts->source) return;
  parts->queue = std::make_unique<SerialExecutor>("tl.focus");
  parts->watcher = TextFocusWatcher::create(*parts->source, scheduler, *parts->queue);
  std::weak_ptr<FocusParts> weak = parts;
  parts->watcher->setOnChange([weak](const TextFocusWatcher::FocusInfo& info) {
    auto p = weak.lock();
    if (!p) return;
    std::function<void(const TextFocusWatcher::FocusInfo&)> handler;
    {
      std::lock_guard lock(p->mutex);
      p->last = info;
      handler = p->handler;
    }
    if (handler) handler(info);
  });
  seams.startTextFocusWatching = [parts] {
    parts->watcher->start();
    parts->watcher->setPollingEnabled(true);
  };
  seams.stopTextFocusPolling = [parts] { parts->watcher->setPollingEnabled(false); };
  seams.lastTextFocus = [parts] {
    std::lock_guard lock(parts->mutex);
    return parts->last;
  };
  seams.setTextFocusHandler = [parts](std::function<void(const TextFocusWatcher::FocusInfo&)> handler) {
    std::lock_guard lock(parts->mutex);
    parts->handler = std::move(handler);
  };
}

}  // namespace tavlo
