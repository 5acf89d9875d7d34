#include "host/app/isolation_watch.hpp"

namespace tavlo {

std::shared_ptr<IsolationWatch> IsolationWatch::create(Scheduler& scheduler, std::function<void()> enforce) {
  return std::shared_ptr<IsolationWatch>(new IsolationWatch(scheduler, std::move(enforce)));
}

IsolationWatch::IsolationWatch(Scheduler& scheduler, std::function<void()> enforce)
    : scheduler_(scheduler), enforce_(std::move(enforce)) {}

IsolationWatch::~IsolationWatch() {
  timer_.cancel();
  active_ = false;
  worker_.shutdown();  // the check in progress ends; one that waited behind it finds the watch inactive
}

void IsolationWatch::sync(bool active) {
  active_ = active;
  if (!active) {
    timer_.cancel();
    return;
  }
  if (timer_.isArmed()) return;
  std::weak_ptr<IsolationWatch> weak = weak_from_this();
  timer_ = ScopedTimer(scheduler_, scheduler_.every(checkEveryUs, [weak] {
                         if (auto self = weak.lock()) self->requestCheck();
                       }));
}

void IsolationWatch::enforceNow() {
  if (active_) requestCheck();
}

void IsolationWatch::requestCheck() {
  if (checkQueued_.exchange(true)) return;
  // The destructor waits for the worker, so its jobs may use the watch without holding it.
  worker_.post([this] {
    checkQueued_ = false;
    if (active_) enforce_();
  });
}

}  // namespace tavlo
