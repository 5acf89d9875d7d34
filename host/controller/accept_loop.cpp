#include "host/controller/accept_loop.hpp"

#include "platform/runtime/thread_name.hpp"

namespace tavlo {

// Counts the job that carries it as done when the job goes away: after the hand-over ran, or when the
// job was dropped unrun because the main executor closed.
struct AcceptLoop::HandOverDone {
  explicit HandOverDone(std::shared_ptr<Progress> p) : progress(std::move(p)) {}
  HandOverDone(const HandOverDone&) = delete;
  HandOverDone& operator=(const HandOverDone&) = delete;
  std::shared_ptr<Progress> progress;
  ~HandOverDone() {
    {
      std::lock_guard guard(progress->mutex);
      ++progress->handedOver;
    }
    progress->changed.notify_all();
  }
};

AcceptLoop::AcceptLoop(std::shared_ptr<vela::TransportListener> listener, MainExecutor& main, HandOver handOver)
    : listener_(std::move(listener)), main_(main), handOver_(std::move(handOver)) {
  thread_ = std::thread([this] { run(); });
}

AcceptLoop::~AcceptLoop() { stop(); }

void AcceptLoop::stop() {
  {
    std::lock_guard guard(progress_->mutex);
    progress_->stopping = true;
  }
  progress_->changed.notify_all();
  listener_->stop();
  if (thread_.joinable()) thread_.join();
}

void AcceptLoop::run() {
  setCurrentThreadName("tl.accept");
  uint64_t posted = 0;
  while (auto transport = listener_->sessions().receive()) {
    {
      auto done = std::make_shared<HandOverDone>(progress_);
      if (!main_.post([handOver = handOver_, transport = std::move(*transport), done] { handOver(transport); })) return;
      ++posted;
    }
    std::unique_lock lock(progress_->mutex);
    progress_->changed.wait(lock, [&] { return progress_->handedOver >= posted || progress_->stopping; });
    if (progress_->stopping) return;
  }
}

}  // namespace tavlo
