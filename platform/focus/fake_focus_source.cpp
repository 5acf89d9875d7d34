#include "platform/focus/fake_focus_source.hpp"

#include <algorithm>
#include <utility>

namespace tavlo {

void FakeFocusElement::setKind(FocusElementKind kind) {
  std::lock_guard lock(mutex_);
  kind_ = kind;
}

void FakeFocusElement::setFrame(std::optional<ScreenRect> frame) {
  std::lock_guard lock(mutex_);
  frame_ = frame;
}

FocusElementKind FakeFocusElement::kind() {
  std::lock_guard lock(mutex_);
  return kind_;
}

std::optional<ScreenRect> FakeFocusElement::frame() {
  std::lock_guard lock(mutex_);
  return frame_;
}

class FakeFocusSource::Observer final : public FocusObserver {
 public:
  Observer(FakeFocusSource& source, uint64_t id) : source_(source), id_(id) {}
  ~Observer() override { source_.removeObserver(id_); }
  FocusRegistration addNotification(FocusNotification notification) override {
    return source_.registerNotification(id_, notification);
  }
  FocusRegistration watchDestruction(const std::shared_ptr<FocusElement>& element) override {
    return source_.watchDestruction(id_, element);
  }

 private:
  FakeFocusSource& source_;
  const uint64_t id_;
};

class FakeFocusSource::Subscription final : public FocusSubscription {
 public:
  Subscription(FakeFocusSource& source, uint64_t id) : source_(source), id_(id) {}
  ~Subscription() override { source_.removeSubscription(id_); }

 private:
  FakeFocusSource& source_;
  const uint64_t id_;
};

FakeFocusSource::~FakeFocusSource() = default;

void FakeFocusSource::setTrusted(bool trusted) {
  std::lock_guard lock(mutex_);
  trusted_ = trusted;
}

void FakeFocusSource::setFrontmost(std::optional<int32_t> pid) {
  std::lock_guard lock(mutex_);
  frontmost_ = pid;
}

void FakeFocusSource::setFocused(std::shared_ptr<FakeFocusElement> element) {
  std::lock_guard lock(mutex_);
  focused_ = std::move(element);
}

void FakeFocusSource::setFocusedOf(int32_t pid, std::shared_ptr<FakeFocusElement> element) {
  std::lock_guard lock(mutex_);
  focusedOf_[pid] = std::move(element);
}

void FakeFocusSource::refuseRegistrations(int32_t pid, FocusRegistration result, int observers) {
  std::lock_guard lock(mutex_);
  refusals_[pid] = {result, observers};
}

void FakeFocusSource::setObserverCreationFails(int32_t pid, bool fails) {
  std::lock_guard lock(mutex_);
  creationFails_[pid] = fails;
}

void FakeFocusSource::deliverWorkspace(const WorkspaceEvent& event) {
  std::vector<std::shared_ptr<const WorkspaceCallback>> callbacks;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, callback] : subscriptions_) callbacks.push_back(callback);
  }
  for (const auto& callback : callbacks) (*callback)(event);
}

void FakeFocusSource::activate(int32_t pid) {
  setFrontmost(pid);
  deliverWorkspace({WorkspaceEvent::Kind::activated, pid});
}

void FakeFocusSource::terminate(int32_t pid) {
  {
    std::lock_guard lock(mutex_);
    if (frontmost_ == pid) frontmost_.reset();
    focusedOf_.erase(pid);
  }
  deliverWorkspace({WorkspaceEvent::Kind::terminated, pid});
}

void FakeFocusSource::notify(int32_t pid, FocusNotification notification) {
  std::vector<std::shared_ptr<const FocusObserver::Callback>> callbacks;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, entry] : observers_) {
      if (entry.pid == pid && std::ranges::find(entry.registered, notification) != entry.registered.end()) {
        callbacks.push_back(entry.callback);
      }
    }
  }
  for (const auto& callback : callbacks) (*callback)(notification);
}

void FakeFocusSource::destroy(const std::shared_ptr<FakeFocusElement>& element) {
  std::vector<std::shared_ptr<const FocusObserver::Callback>> callbacks;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, entry] : observers_) {
      for (const auto& watched : entry.watched) {
        if (watched.lock() == element) callbacks.push_back(entry.callback);
      }
    }
  }
  for (const auto& callback : callbacks) (*callback)(FocusNotification::elementDestroyed);
}

int FakeFocusSource::focusedElementReads() const {
  std::lock_guard lock(mutex_);
  return focusedElementReads_;
}

int FakeFocusSource::observersCreated() const {
  std::lock_guard lock(mutex_);
  return observersCreated_;
}

std::vector<int32_t> FakeFocusSource::observedPids() const {
  std::lock_guard lock(mutex_);
  std::vector<int32_t> pids;
  for (const auto& [id, entry] : observers_) pids.push_back(entry.pid);
  return pids;
}

int FakeFocusSource::destructionWatchers(const std::shared_ptr<FakeFocusElement>& element) const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const auto& [id, entry] : observers_) {
    for (const auto& watched : entry.watched) count += watched.lock() == element ? 1 : 0;
  }
  return count;
}

uint64_t FakeFocusSource::messagingTimeoutUs() const {
  std::lock_guard lock(mutex_);
  return messagingTimeoutUs_;
}

bool FakeFocusSource::isTrusted() {
  std::lock_guard lock(mutex_);
  return trusted_;
}

void FakeFocusSource::setMessagingTimeout(uint64_t timeoutUs) {
  std::lock_guard lock(mutex_);
  messagingTimeoutUs_ = timeoutUs;
}

std::unique_ptr<FocusSubscription> FakeFocusSource::observeWorkspace(WorkspaceCallback callback) {
  std::lock_guard lock(mutex_);
  const uint64_t id = nextId_++;
  subscriptions_[id] = std::make_shared<const WorkspaceCallback>(std::move(callback));
  return std::make_unique<Subscription>(*this, id);
}

std::optional<int32_t> FakeFocusSource::frontmostApplication() {
  std::lock_guard lock(mutex_);
  return frontmost_;
}

std::unique_ptr<FocusObserver> FakeFocusSource::createObserver(int32_t pid, FocusObserver::Callback callback) {
  std::lock_guard lock(mutex_);
  if (auto fails = creationFails_.find(pid); fails != creationFails_.end() && fails->second) return nullptr;
  ObserverEntry entry;
  entry.pid = pid;
  entry.callback = std::make_shared<const FocusObserver::Callback>(std::move(callback));
  if (auto refusal = refusals_.find(pid); refusal != refusals_.end() && refusal->second.observers > 0) {
    entry.result = refusal->second.result;
    --refusal->second.observers;
  }
  const uint64_t id = nextId_++;
  observers_[id] = std::move(entry);
  ++observersCreated_;
  return std::make_unique<Observer>(*this, id);
}

std::shared_ptr<FocusElement> FakeFocusSource::focusedElement() {
  std::lock_guard lock(mutex_);
  ++focusedElementReads_;
  return focused_;
}

std::shared_ptr<FocusElement> FakeFocusSource::focusedElementOf(int32_t pid) {
  std::lock_guard lock(mutex_);
  auto found = focusedOf_.find(pid);
  return found == focusedOf_.end() ? nullptr : found->second;
}

FocusRegistration FakeFocusSource::registerNotification(uint64_t id, FocusNotification notification) {
  std::lock_guard lock(mutex_);
  auto found = observers_.find(id);
  if (found == observers_.end()) return FocusRegistration::failure;
  if (found->second.result != FocusRegistration::success) return found->second.result;
  found->second.registered.push_back(notification);
  return FocusRegistration::success;
}

FocusRegistration FakeFocusSource::watchDestruction(uint64_t id, const std::shared_ptr<FocusElement>& element) {
  std::lock_guard lock(mutex_);
  auto found = observers_.find(id);
  if (found == observers_.end() || !element) return FocusRegistration::failure;
  found->second.watched.push_back(element);
  return FocusRegistration::success;
}

void FakeFocusSource::removeObserver(uint64_t id) {
  std::lock_guard lock(mutex_);
  observers_.erase(id);
}

void FakeFocusSource::removeSubscription(uint64_t id) {
  std::lock_guard lock(mutex_);
  subscriptions_.erase(id);
}

}  // namespace tavlo
