#include "host/controller/session_watchers.hpp"

namespace tavlo {

namespace {
constexpr uint64_t permissionEveryUs = 5'000'000;
constexpr uint64_t keepaliveSilenceUs = 3'000'000;
}  // namespace

std::shared_ptr<InputPermissionWatchdog> InputPermissionWatchdog::start(Dependencies deps) {
  auto watchdog = std::shared_ptr<InputPermissionWatchdog>(new InputPermissionWatchdog(std::move(deps)));
  watchdog->check();
  if (watchdog->serverGone_) return watchdog;
  std::weak_ptr<InputPermissionWatchdog> weak = watchdog;
  auto post = watchdog->deps_.postToMain;
  watchdog->timer_ = watchdog->deps_.scheduler.every(permissionEveryUs, [weak, post] {
    post([weak] {
      if (auto self = weak.lock()) self->check();
    });
  });
  return watchdog;
}

InputPermissionWatchdog::~InputPermissionWatchdog() { stopAsking(); }

void InputPermissionWatchdog::stopAsking() {
  if (timer_) deps_.scheduler.cancel(*timer_);
  timer_.reset();
}

void InputPermissionWatchdog::check() {
  if (serverGone_) return;
  switch (deps_.access()) {
    case InputAccess::granted:
      if (deps_.blocked()) deps_.log("✅ uprawnienie XTEST (serwer X) przywrócone — wstrzykiwanie znów działa");
      deps_.publishBlocked(false);
      warned_ = false;
      return;
    case InputAccess::missing:
      deps_.publishBlocked(true);
      if (warned_) return;
      warned_ = true;
      // The X server grants nothing on request: the watchdog asks again every 5 s.
      deps_.log("⚠️ BRAK uprawnienia XTEST (serwer X) — mysz/klawiatura klienta NIE są wstrzykiwane! Sprawdzam co 5 s…");
      return;
    case InputAccess::serverGone:
      // A broken connection never answers again, and no permission would mend it.
      serverGone_ = true;
      stopAsking();
      deps_.publishBlocked(true);
      deps_.log("⚠️ serwer X zniknął (połączenie zerwane) — mysz/klawiatura klienta NIE są wstrzykiwane; to nie brak "
                "uprawnienia XTEST");
      return;
  }
}

std::shared_ptr<CompositorKeepalive> CompositorKeepalive::create(KeepaliveWindow& window, Scheduler& scheduler,
                                                                 std::function<void(std::function<void()>)> postToMain,
                                                                 LogSink log) {
  return std::shared_ptr<CompositorKeepalive>(
      new CompositorKeepalive(window, scheduler, std::move(postToMain), std::move(log)));
}

CompositorKeepalive::~CompositorKeepalive() {
  if (hideJob_) scheduler_.cancel(*hideJob_);
}

void CompositorKeepalive::noteInputActivity() {
  if (!active_) {
    if (!window_.show()) return;
    active_ = true;
    log_("🫀 keepalive kompozytora ON (aktywne wejście)");
  }
  // Input comes with every pointer move: it only notes the time, and the one armed timer looks at it
  // when it fires, rather than every event cancelling and re-adding a job on the scheduler's thread.
  lastInputUs_ = scheduler_.clock().nowUs();
  if (!hideJob_) armHide(keepaliveSilenceUs);
}

void CompositorKeepalive::armHide(uint64_t delayUs) {
  std::weak_ptr<CompositorKeepalive> weak = weak_from_this();
  auto post = postToMain_;
  hideJob_ = scheduler_.after(delayUs, [weak, post] {
    post([weak] {
      if (auto self = weak.lock()) self->hideIfSilent();
    });
  });
}

void CompositorKeepalive::hideIfSilent() {
  hideJob_.reset();
  if (!active_) return;
  const uint64_t silentUs = scheduler_.clock().nowUs() - lastInputUs_;
  if (silentUs < keepaliveSilenceUs) {
    armHide(keepaliveSilenceUs - silentUs);
    return;
  }
  window_.hide();
  active_ = false;
  log_("🫀 keepalive kompozytora OFF (cisza wejścia)");
}

}  // namespace tavlo
