#include "host/app/isolation_watch.hpp"

namespace tavlo {

std::shared_ptr<IsolationWatch> IsolationWatch::create(Scheduler& scheduler, std::shared_ptr<SerialExecutor> worker,
                                                       std::function<void()> enforce) {
  return std::shared_ptr<IsolationWatch>(new IsolationWatch(scheduler, std::move(worker), std::move(enforce)));
}

IsolationWatch::IsolationWatch(Scheduler& scheduler, std::shared_ptr<SerialExecutor> worker,
                               std::function<void()> enforce)
    : scheduler_(scheduler), enforce_(std::move(enforce)), worker_(std::move(worker)) {}

IsolationWatch::~IsolationWatch() {
  timer_.cancel();
  active_ = false;
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
  // The worker outlives the watch: a check that waited behind other display work finds it gone.
  std::weak_ptr<IsolationWatch> weak = weak_from_this();
  worker_->post([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->checkQueued_ = false;
    if (self->active_) self->enforce_();
  });
}

}  // namespace tavlo
