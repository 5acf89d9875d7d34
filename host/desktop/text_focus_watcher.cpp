#include "host/desktop/text_focus_watcher.hpp"

#include <cmath>
#include <utility>

namespace tavlo {
namespace {

// Each read of an application that does not answer gives up after this long.
constexpr uint64_t kMessagingTimeoutUs = 250'000;
// A burst of notices yields one evaluation this long after the last one.
constexpr uint64_t kDebounceDelayUs = 100'000;
// An application that refused a registration because it was not ready is tried again this many times,
// after 1, 2 and 3 steps.
constexpr int kMaxAttachRetries = 3;
constexpr uint64_t kAttachRetryStepUs = 300'000;
// The safety-net poll.
constexpr uint64_t kPollFirstDelayUs = 300'000;
constexpr uint64_t kPollIntervalUs = 350'000;
// Frames taller than this (a whole document or web view rather than a field) or starting further above
// the top of the main display than this are not worth placing a keyboard by: the report then has none.
constexpr double kMaxFrameHeight = 2500;
constexpr double kMinFrameTop = -100;

constexpr const char* kNoTrustLine =
    "Tavlo: TextFocusWatcher — brak trustu Accessibility (klawiatura ekranowa nieaktywna)";

bool isTextRole(FocusRole role) {
  switch (role) {
    case FocusRole::textField:
    case FocusRole::textArea:
    case FocusRole::comboBox:
    case FocusRole::searchField:
      return true;
    case FocusRole::other:
      return false;
  }
  return false;
}

std::optional<ScreenRect> elementFrame(FocusElement& element) {
  const auto frame = element.frame();
  if (!frame) return std::nullopt;
  // A non-finite coordinate would never compare equal to itself and so report a change at every
  // evaluation, and cannot be placed on a display anyway.
  if (!std::isfinite(frame->x) || !std::isfinite(frame->y) || !std::isfinite(frame->width) ||
      !std::isfinite(frame->height)) {
    return std::nullopt;
  }
  if (frame->width <= 0 || frame->height <= 0 || frame->height > kMaxFrameHeight) return std::nullopt;
  if (frame->y < kMinFrameTop) return std::nullopt;
  return frame;
}

}  // namespace

std::shared_ptr<TextFocusWatcher> TextFocusWatcher::create(FocusSource& source, Scheduler& scheduler,
                                                           SerialExecutor& main, LogSink systemLog) {
  return std::shared_ptr<TextFocusWatcher>(new TextFocusWatcher(source, scheduler, main, std::move(systemLog)));
}

TextFocusWatcher::TextFocusWatcher(FocusSource& source, Scheduler& scheduler, SerialExecutor& main,
                                   LogSink systemLog)
    : source_(source), scheduler_(scheduler), main_(main), systemLog_(std::move(systemLog)) {}

TextFocusWatcher::~TextFocusWatcher() = default;

void TextFocusWatcher::setOnChange(OnChange onChange) {
  std::lock_guard lock(onChangeMutex_);
  onChange_ = std::move(onChange);
}

void TextFocusWatcher::start() {
  postToMain([](TextFocusWatcher& self) { self.startOnMain(); });
}

void TextFocusWatcher::setPollingEnabled(bool on) {
  postToMain([on](TextFocusWatcher& self) { self.setPollingOnMain(on); });
}

void TextFocusWatcher::postToMain(SerialExecutor& main, std::weak_ptr<TextFocusWatcher> weak,
                                  std::function<void(TextFocusWatcher&)> job) {
  main.post([weak = std::move(weak), job = std::move(job)] {
    if (auto self = weak.lock()) job(*self);
  });
}

void TextFocusWatcher::postToMain(std::function<void(TextFocusWatcher&)> job) {
  postToMain(main_, weak_from_this(), std::move(job));
}

void TextFocusWatcher::startOnMain() {
  if (started_) return;
  if (!source_.isTrusted()) {
    if (systemLog_) systemLog_(kNoTrustLine);
    return;
  }
  started_ = true;
  source_.setMessagingTimeout(kMessagingTimeoutUs);
  tokens_ = source_.observeWorkspace([&main = main_, weak = weak_from_this()](const WorkspaceEvent& event) {
    postToMain(main, weak, [event](TextFocusWatcher& self) { self.handleWorkspace(event); });
  });
  attachToFrontmost();
}

void TextFocusWatcher::handleWorkspace(const WorkspaceEvent& event) {
  if (event.pid <= 0) return;
  switch (event.kind) {
    case WorkspaceEvent::Kind::activated:
      attach(event.pid, 0);
      return;
    case WorkspaceEvent::Kind::terminated:
      if (event.pid != observedPid_) return;
      detach();
      attachToFrontmost();
      scheduleEvaluation();
      return;
  }
}

void TextFocusWatcher::attachToFrontmost() {
  if (const auto pid = source_.frontmostApplication(); pid && *pid > 0) attach(*pid, 0);
}

void TextFocusWatcher::attach(int32_t pid, int attempt) {
  detach();
  auto observer = source_.createObserver(pid, [&main = main_, weak = weak_from_this()](FocusNotification) {
    postToMain(main, weak, [](TextFocusWatcher& self) { self.scheduleEvaluation(); });
  });
  if (!observer) return;
  const FocusRegistration focused = observer->addNotification(FocusNotification::focusedElementChanged);
  const FocusRegistration window = observer->addNotification(FocusNotification::focusedWindowChanged);
  observer_ = std::move(observer);
  observedPid_ = pid;

  const bool notReady =
      focused == FocusRegistration::cannotComplete || window == FocusRegistration::cannotComplete;
  if (notReady && attempt < kMaxAttachRetries) {
    const uint64_t delayUs = static_cast<uint64_t>(attempt + 1) * kAttachRetryStepUs;
    retry_ = ScopedTimer(scheduler_, scheduler_.after(delayUs, [&main = main_, weak = weak_from_this(), pid, attempt] {
      postToMain(main, weak, [pid, attempt](TextFocusWatcher& self) {
        if (self.observedPid_ == pid) self.attach(pid, attempt + 1);
      });
    }));
  }
  scheduleEvaluation();
}

void TextFocusWatcher::detach() {
  observer_.reset();
  watchedElement_.reset();
  observedPid_ = 0;
}

void TextFocusWatcher::scheduleEvaluation() {
  const uint64_t generation = ++debounceGeneration_;
  debounce_ = ScopedTimer(scheduler_, scheduler_.after(kDebounceDelayUs, [&main = main_, weak = weak_from_this(),
                                                                           generation] {
    postToMain(main, weak, [generation](TextFocusWatcher& self) {
      // A newer notice may have replaced this one after its timer fired but before it ran here.
      if (generation == self.debounceGeneration_) self.evaluateNow();
    });
  }));
}

void TextFocusWatcher::setPollingOnMain(bool on) {
  poll_.cancel();
  const uint64_t generation = ++pollGeneration_;
  if (!on) return;
  poll_ = ScopedTimer(scheduler_, scheduler_.every(
                                      kPollIntervalUs,
                                      [&main = main_, weak = weak_from_this(), generation] {
                                        postToMain(main, weak, [generation](TextFocusWatcher& self) {
                                          if (generation == self.pollGeneration_) self.evaluateNow();
                                        });
                                      },
                                      kPollFirstDelayUs));
}

void TextFocusWatcher::evaluateNow() {
  std::shared_ptr<FocusElement> element = source_.focusedElement();
  if (!element && observer_) element = source_.focusedElementOf(observedPid_);
  const FocusInfo info = classify(element.get());

  // The destruction of the focused field is a change the application may not announce otherwise.
  if (info.isText && element && observer_) {
    if (!watchedElement_ || !watchedElement_->sameElement(*element)) {
      watchedElement_ = element;
      observer_->watchDestruction(element);
    }
  }

  if (last_ && *last_ == info) return;
  last_ = info;
  OnChange onChange;
  {
    std::lock_guard lock(onChangeMutex_);
    onChange = onChange_;
  }
  if (onChange) onChange(info);
}

TextFocusWatcher::FocusInfo TextFocusWatcher::classify(FocusElement* element) {
  if (!element) return {};
  const FocusElementKind kind = element->kind();
  if (kind.secure) return {true, true, elementFrame(*element)};
  if (isTextRole(kind.role)) return {true, false, elementFrame(*element)};
  if (kind.valueSettable && kind.selectedTextRangeReadable) return {true, false, elementFrame(*element)};
  return {};
}

}  // namespace tavlo
