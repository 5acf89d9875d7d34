#include "platform/focus/atspi_desktop.hpp"

#include <dbus/dbus.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <mutex>
#include <string_view>

#include "platform/focus/root_pixels_to_points.hpp"
#include "platform/runtime/session_bus_address.hpp"
#include "platform/x11/randr_outputs.hpp"

namespace tavlo {
namespace {

constexpr const char* kLoopLabel = "vela.atspi";

// What the listener asks the applications to send: focus moves, window activation, and the end of
// elements (defunct) and of applications (removed from the desktop).
constexpr const char* kEventTypes[] = {
    "object:state-changed:focused", "object:state-changed:defunct", "object:children-changed:remove",
    "window:activate",              "window:deactivate",
};

// The registry, which answers for the desktop once the accessibility bus runs.
constexpr const char* kRegistryName = "org.a11y.atspi.Registry";
constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
constexpr int kRegistryPingTimeoutMs = 1000;

// A window without collection support is searched node by node, reading at most this many nodes: a
// focused element deeper in a huge tree is reported as unknown rather than stalling the main thread.
constexpr size_t kMaxSearchedNodes = 2000;
// An observer keeps destruction watches for this many elements at most, the oldest dropped first (the
// watcher needs only the one focused now).
constexpr size_t kMaxWatchedElements = 64;

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
  auto states = GRef<AtspiStateSet>::adopt(atspi_accessible_get_state_set(accessible));
  return states && atspi_state_set_contains(states.get(), state);
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Whether the registry on the accessibility bus answers a ping (it is started on demand).
bool registryAnswers() {
  DBusConnection* bus = atspi_get_a11y_bus();
  if (!bus) return false;
  DBusMessage* ping = dbus_message_new_method_call(kRegistryName, kRootPath, "org.freedesktop.DBus.Peer", "Ping");
  if (!ping) return false;
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, ping, kRegistryPingTimeoutMs, &error);
  dbus_message_unref(ping);
  const bool answered = reply != nullptr && !dbus_error_is_set(&error);
  if (reply) dbus_message_unref(reply);
  dbus_error_free(&error);
  return answered;
}

std::mutex sharedMutex;
std::weak_ptr<AtspiDesktop> sharedDesktop;

}  // namespace

std::shared_ptr<AtspiDesktop> AtspiDesktop::shared(const std::string& display) {
  std::lock_guard lock(sharedMutex);
  if (auto desktop = sharedDesktop.lock()) return desktop;
  std::shared_ptr<AtspiDesktop> desktop(new AtspiDesktop(display));
  sharedDesktop = desktop;
  return desktop;
}

AtspiDesktop::AtspiDesktop(std::string display) : loop_(kLoopLabel), display_(std::move(display)) {}

AtspiDesktop::~AtspiDesktop() {
  loop_.call([this] { shutdown(); });
}

void AtspiDesktop::shutdown() {
  if (listener_) {
    for (const char* type : kEventTypes) atspi_event_listener_deregister(listener_, type, nullptr);
    g_object_unref(listener_);
    listener_ = nullptr;
  }
  lastFocused_.reset();
  observers_.clear();
  subscriptions_.clear();
}

bool AtspiDesktop::connect() {
  if (!connected_) {
    // atspi_init() marks the library initialised even when no bus was found, and then never tries
    // again: find the bus first, so that a later call can succeed once one runs.
    if (!atspi_is_initialized()) {
      // libatspi's search for the accessibility bus goes through the session bus, and would autolaunch one.
      if (!sessionBusNamed()) return false;
      if (!atspi_get_a11y_bus()) return false;
      if (atspi_init() > 1) return false;
    }
    // The bus's traffic and libatspi's deferred events are dispatched by this thread's loop.
    atspi_set_main_context(loop_.context());
    listener_ = atspi_event_listener_new(&AtspiDesktop::onEventThunk, this, nullptr);
    for (const char* type : kEventTypes) atspi_event_listener_register(listener_, type, nullptr);
    connected_ = true;
  }
  return registryAnswers();
}

void AtspiDesktop::setTimeout(uint64_t timeoutUs) {
  const uint64_t ms = std::clamp<uint64_t>(timeoutUs / 1000, 1, std::numeric_limits<gint>::max());
  // No longer grace period for applications that started a moment ago: the bound holds for all.
  atspi_set_timeout(static_cast<gint>(ms), -1);
}

uint64_t AtspiDesktop::addSubscription(FocusSource::WorkspaceCallback callback) {
  const uint64_t id = nextId_++;
  subscriptions_[id] = std::make_shared<const FocusSource::WorkspaceCallback>(std::move(callback));
  return id;
}

void AtspiDesktop::removeSubscription(uint64_t id) { subscriptions_.erase(id); }

uint64_t AtspiDesktop::addObserver(int32_t pid, FocusObserver::Callback callback) {
  if (!connected_ || pid <= 0) return 0;
  const uint64_t id = nextId_++;
  observers_[id] = {pid, std::make_shared<const FocusObserver::Callback>(std::move(callback)), {}, {}};
  return id;
}

void AtspiDesktop::removeObserver(uint64_t id) { observers_.erase(id); }

FocusRegistration AtspiDesktop::registerNotification(uint64_t id, FocusNotification notification) {
  auto found = observers_.find(id);
  if (found == observers_.end() || !connected_) return FocusRegistration::failure;
  // An application that has not joined the accessibility bus yet (it is still starting) may soon.
  if (!applicationOf(found->second.pid)) return FocusRegistration::cannotComplete;
  found->second.registered.insert(notification);
  return FocusRegistration::success;
}

FocusRegistration AtspiDesktop::watchDestruction(uint64_t id, const AtspiElementKey& key) {
  auto found = observers_.find(id);
  if (found == observers_.end() || !connected_) return FocusRegistration::failure;
  auto& watched = found->second.watched;
  if (std::ranges::find(watched, key) == watched.end()) {
    if (watched.size() >= kMaxWatchedElements) watched.erase(watched.begin());
    watched.push_back(key);
  }
  return FocusRegistration::success;
}

int32_t AtspiDesktop::pidOf(AtspiAccessible* accessible) {
  const AtspiElementKey key = keyOf(accessible);
  if (key.busName.empty()) return 0;
  if (auto known = pids_.find(key.busName); known != pids_.end()) return known->second;
  GErrorSlot error;
  const guint pid = atspi_accessible_get_process_id(accessible, error.out());
  if (error.failed() || pid == 0 || pid > static_cast<guint>(std::numeric_limits<int32_t>::max())) return 0;
  pids_[key.busName] = static_cast<int32_t>(pid);
  return static_cast<int32_t>(pid);
}

std::vector<GRef<AtspiAccessible>> AtspiDesktop::children(AtspiAccessible* parent, size_t& budget) {
  std::vector<GRef<AtspiAccessible>> found;
  GErrorSlot countError;
  const gint count = atspi_accessible_get_child_count(parent, countError.out());
  if (countError.failed()) return found;
  for (gint i = 0; i < count && budget > 0; ++i, --budget) {
    GErrorSlot error;
    auto child = GRef<AtspiAccessible>::adopt(atspi_accessible_get_child_at_index(parent, i, error.out()));
    if (child && !error.failed()) found.push_back(std::move(child));
  }
  return found;
}

std::vector<GRef<AtspiAccessible>> AtspiDesktop::children(AtspiAccessible* parent) {
  size_t unbounded = std::numeric_limits<size_t>::max();
  return children(parent, unbounded);
}

GRef<AtspiAccessible> AtspiDesktop::applicationOf(int32_t pid) {
  auto desktop = GRef<AtspiAccessible>::adopt(atspi_get_desktop(0));
  if (!desktop) return {};
  for (auto& application : children(desktop.get())) {
    if (pidOf(application.get()) == pid) return std::move(application);
  }
  return {};
}

std::optional<int32_t> AtspiDesktop::frontmost() {
  if (!connected_) return std::nullopt;
  auto desktop = GRef<AtspiAccessible>::adopt(atspi_get_desktop(0));
  if (!desktop) return std::nullopt;
  for (auto& application : children(desktop.get())) {
    for (auto& window : children(application.get())) {
      if (hasState(window.get(), ATSPI_STATE_ACTIVE)) {
        if (const int32_t pid = pidOf(application.get()); pid > 0) {
          activePid_ = pid;  // its next window activation is no change of application
          return pid;
        }
      }
    }
  }
  return std::nullopt;
}

GRef<AtspiAccessible> AtspiDesktop::focusedIn(AtspiAccessible* application) {
  // The active window first; an application that reports none is searched whole.
  auto windows = children(application);
  std::stable_partition(windows.begin(), windows.end(),
                        [](const GRef<AtspiAccessible>& w) { return hasState(w.get(), ATSPI_STATE_ACTIVE); });

  for (auto& window : windows) {
    if (hasState(window.get(), ATSPI_STATE_FOCUSED)) return std::move(window);
    // One call to an application that supports collections.
    if (auto collection = GRef<AtspiCollection>::adopt(atspi_accessible_get_collection_iface(window.get()))) {
      GArray* wanted = g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
      const AtspiStateType focusedState = ATSPI_STATE_FOCUSED;
      g_array_append_val(wanted, focusedState);
      auto states = GRef<AtspiStateSet>::adopt(atspi_state_set_new(wanted));
      g_array_free(wanted, TRUE);
      auto rule = GRef<AtspiMatchRule>::adopt(atspi_match_rule_new(states.get(), ATSPI_Collection_MATCH_ALL, nullptr,
                                                                   ATSPI_Collection_MATCH_ALL, nullptr,
                                                                   ATSPI_Collection_MATCH_ALL, nullptr,
                                                                   ATSPI_Collection_MATCH_ALL, FALSE));
      GErrorSlot error;
      GArray* matches = atspi_collection_get_matches(collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL,
                                                     1, TRUE, error.out());
      if (matches) {
        GRef<AtspiAccessible> first;
        for (guint i = 0; i < matches->len; ++i) {
          auto match = GRef<AtspiAccessible>::adopt(g_array_index(matches, AtspiAccessible*, i));
          if (!first) first = std::move(match);
        }
        g_array_free(matches, TRUE);
        if (first) return first;
        if (!error.failed()) continue;  // answered: nothing focused in this window
      }
    }
    // Node by node, breadth first, reading at most kMaxSearchedNodes children in all.
    std::deque<GRef<AtspiAccessible>> queue;
    queue.push_back(GRef<AtspiAccessible>::retain(window.get()));
    size_t budget = kMaxSearchedNodes;
    while (!queue.empty()) {
      GRef<AtspiAccessible> node = std::move(queue.front());
      queue.pop_front();
      if (hasState(node.get(), ATSPI_STATE_FOCUSED)) return node;
      for (auto& child : children(node.get(), budget)) queue.push_back(std::move(child));
    }
  }
  return {};
}

std::shared_ptr<FocusElement> AtspiDesktop::wrap(GRef<AtspiAccessible> accessible) {
  if (!accessible) return nullptr;
  return std::make_shared<AtspiElement>(shared_from_this(), accessible.release());
}

std::shared_ptr<FocusElement> AtspiDesktop::focused() {
  if (!connected_) return nullptr;
  // The last element that announced its focus, while it still holds it; otherwise a search of the
  // frontmost application (at start, nothing has been announced yet).
  if (lastFocused_ && hasState(lastFocused_.get(), ATSPI_STATE_FOCUSED) &&
      !hasState(lastFocused_.get(), ATSPI_STATE_DEFUNCT)) {
    return wrap(GRef<AtspiAccessible>::retain(lastFocused_.get()));
  }

  const auto pid = frontmost();
  return pid ? focusedOf(*pid) : nullptr;
}

std::shared_ptr<FocusElement> AtspiDesktop::focusedOf(int32_t pid) {
  if (!connected_ || pid <= 0) return nullptr;
  auto application = applicationOf(pid);
  if (!application) return nullptr;
  return wrap(focusedIn(application.get()));
}

ScreenRect AtspiDesktop::toPoints(const ScreenRect& pixels) {
  if (!x_ || !x_->healthy()) x_ = XcbConnection::open(display_);
  if (!x_) return pixels;  // no X server to ask: one pixel per point
  return rootPixelsToPoints(queryOutputs(*x_), pixels);
}

void AtspiDesktop::onEventThunk(AtspiEvent* event, void* self) {
  static_cast<AtspiDesktop*>(self)->onEvent(event);
  g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiDesktop::onEvent(AtspiEvent* event) {
  if (!event->type || !event->source) return;
  const std::string_view type = event->type;
  AtspiAccessible* source = event->source;

  if (startsWith(type, "object:state-changed:focused")) {
    if (event->detail1) {
      lastFocused_ = GRef<AtspiAccessible>::retain(source);
    } else if (lastFocused_ && keyOf(lastFocused_.get()) == keyOf(source)) {
      lastFocused_.reset();
    }
    deliver(pidOf(source), FocusNotification::focusedElementChanged);
  } else if (startsWith(type, "window:activate")) {
    const int32_t pid = pidOf(source);
    if (pid > 0 && pid != activePid_) {
      activePid_ = pid;
      deliverWorkspace({WorkspaceEvent::Kind::activated, pid});
    }
    deliver(pid, FocusNotification::focusedWindowChanged);
  } else if (startsWith(type, "window:deactivate")) {
    deliver(pidOf(source), FocusNotification::focusedWindowChanged);
  } else if (startsWith(type, "object:state-changed:defunct")) {
    if (event->detail1) deliverDestroyed(keyOf(source));
  } else if (startsWith(type, "object:children-changed:remove")) {
    if (!G_VALUE_HOLDS_OBJECT(&event->any_data)) return;
    auto* child = static_cast<AtspiAccessible*>(g_value_get_object(&event->any_data));
    if (!child || !ATSPI_IS_ACCESSIBLE(child)) return;
    if (atspi_accessible_get_role(source, nullptr) == ATSPI_ROLE_DESKTOP_FRAME) {
      applicationLeft(keyOf(child).busName);
    } else {
      deliverDestroyed(keyOf(child));
    }
  }
}

void AtspiDesktop::applicationLeft(const std::string& busName) {
  auto known = pids_.find(busName);
  if (known == pids_.end()) return;
  const int32_t pid = known->second;
  pids_.erase(known);
  if (lastFocused_ && keyOf(lastFocused_.get()).busName == busName) lastFocused_.reset();
  if (activePid_ == pid) activePid_ = 0;
  deliverWorkspace({WorkspaceEvent::Kind::terminated, pid});
}

void AtspiDesktop::deliver(int32_t pid, FocusNotification notification) {
  if (pid <= 0) return;
  std::vector<std::shared_ptr<const FocusObserver::Callback>> callbacks;
  for (const auto& [id, observer] : observers_) {
    if (observer.pid == pid && observer.registered.contains(notification)) callbacks.push_back(observer.callback);
  }
  for (const auto& callback : callbacks) (*callback)(notification);
}

void AtspiDesktop::deliverDestroyed(const AtspiElementKey& key) {
  if (lastFocused_ && keyOf(lastFocused_.get()) == key) lastFocused_.reset();
  std::vector<std::shared_ptr<const FocusObserver::Callback>> callbacks;
  for (const auto& [id, observer] : observers_) {
    if (std::ranges::find(observer.watched, key) != observer.watched.end()) callbacks.push_back(observer.callback);
  }
  for (const auto& callback : callbacks) (*callback)(FocusNotification::elementDestroyed);
}

void AtspiDesktop::deliverWorkspace(const WorkspaceEvent& event) {
  std::vector<std::shared_ptr<const FocusSource::WorkspaceCallback>> callbacks;
  for (const auto& [id, callback] : subscriptions_) callbacks.push_back(callback);
  for (const auto& callback : callbacks) (*callback)(event);
}

}  // namespace tavlo
