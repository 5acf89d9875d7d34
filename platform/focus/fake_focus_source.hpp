#pragma once
// An in-process FocusSource for tests: the test decides whether accessibility is available, which
// application is frontmost, which element has the focus and what it reads as, and fires the workspace
// events and notices itself. Callbacks run on the thread that fires them, after the fake's lock is
// released. Elements compare by identity: hand out the same FakeFocusElement for the same element.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/focus/focus_source.hpp"

namespace tavlo {

class FakeFocusElement final : public FocusElement {
 public:
  explicit FakeFocusElement(FocusElementKind kind = {}, std::optional<ScreenRect> frame = std::nullopt)
      : kind_(kind), frame_(frame) {}

  void setKind(FocusElementKind kind);
  void setFrame(std::optional<ScreenRect> frame);

  FocusElementKind kind() override;
  std::optional<ScreenRect> frame() override;
  bool sameElement(const FocusElement& other) const override { return &other == this; }

 private:
  std::mutex mutex_;
  FocusElementKind kind_;
  std::optional<ScreenRect> frame_;
};

class FakeFocusSource final : public FocusSource {
 public:
  FakeFocusSource() = default;
  ~FakeFocusSource() override;

  // --- what the desktop looks like
  void setTrusted(bool trusted);
  void setFrontmost(std::optional<int32_t> pid);
  // The desktop-wide focused element; empty: the read fails.
  void setFocused(std::shared_ptr<FakeFocusElement> element);
  // The focused element inside one application; empty: the read fails.
  void setFocusedOf(int32_t pid, std::shared_ptr<FakeFocusElement> element);
  // The next `observers` observers made for `pid` answer every registration with `result`.
  void refuseRegistrations(int32_t pid, FocusRegistration result, int observers);
  // createObserver for `pid` fails while set.
  void setObserverCreationFails(int32_t pid, bool fails);

  // --- events (callbacks run on the calling thread)
  // Brings `pid` to the front and tells the workspace subscribers.
  void activate(int32_t pid);
  // `pid` quits: it is no longer frontmost, and the workspace subscribers are told.
  void terminate(int32_t pid);
  // Delivers `notification` to the observers of `pid` that registered for it.
  void notify(int32_t pid, FocusNotification notification);
  // Delivers elementDestroyed to the observers that watch `element`.
  void destroy(const std::shared_ptr<FakeFocusElement>& element);

  // --- what the watcher did
  int focusedElementReads() const;
  int observersCreated() const;
  // The applications observed right now, one entry per live observer.
  std::vector<int32_t> observedPids() const;
  // How many live observers watch `element` for its destruction.
  int destructionWatchers(const std::shared_ptr<FakeFocusElement>& element) const;
  uint64_t messagingTimeoutUs() const;

  // FocusSource
  bool isTrusted() override;
  void setMessagingTimeout(uint64_t timeoutUs) override;
  std::unique_ptr<FocusSubscription> observeWorkspace(WorkspaceCallback callback) override;
  std::optional<int32_t> frontmostApplication() override;
  std::unique_ptr<FocusObserver> createObserver(int32_t pid, FocusObserver::Callback callback) override;
  std::shared_ptr<FocusElement> focusedElement() override;
  std::shared_ptr<FocusElement> focusedElementOf(int32_t pid) override;

 private:
  class Observer;
  class Subscription;
  struct ObserverEntry {
    int32_t pid = 0;
    FocusRegistration result = FocusRegistration::success;
    std::shared_ptr<const FocusObserver::Callback> callback;
    std::vector<FocusNotification> registered;
    std::vector<std::weak_ptr<FocusElement>> watched;
  };

  FocusRegistration registerNotification(uint64_t id, FocusNotification notification);
  FocusRegistration watchDestruction(uint64_t id, const std::shared_ptr<FocusElement>& element);
  void removeObserver(uint64_t id);
  void removeSubscription(uint64_t id);
  void deliverWorkspace(const WorkspaceEvent& event);

  mutable std::mutex mutex_;
  bool trusted_ = true;
  std::optional<int32_t> frontmost_;
  std::shared_ptr<FakeFocusElement> focused_;
  std::map<int32_t, std::shared_ptr<FakeFocusElement>> focusedOf_;
  struct Refusal {
    FocusRegistration result;
    int observers;
  };
  std::map<int32_t, Refusal> refusals_;
  std::map<int32_t, bool> creationFails_;
  uint64_t nextId_ = 1;
  std::map<uint64_t, ObserverEntry> observers_;
  std::map<uint64_t, std::shared_ptr<const WorkspaceCallback>> subscriptions_;
  int focusedElementReads_ = 0;
  int observersCreated_ = 0;
  uint64_t messagingTimeoutUs_ = 0;
};

}  // namespace tavlo
