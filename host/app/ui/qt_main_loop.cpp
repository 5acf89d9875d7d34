#include "host/app/ui/qt_main_loop.hpp"

#include <chrono>
#include <mutex>

#include <QCoreApplication>
#include <QTimer>

namespace tavlo::ui {

namespace {

// Jobs run per turn of the event loop, and the time they may take together (a job started in time runs
// to its end): jobs that keep coming (a flood of log lines, a busy session) wait behind the window
// system's events instead of holding them back until the queue is empty.
constexpr size_t jobsPerTurn = 64;
constexpr std::chrono::milliseconds turnBudget{8};

}  // namespace

// Shared with the wake hook, which other threads call: `alive` turns false before the loop goes away.
struct QtMainLoop::Shared : std::enable_shared_from_this<Shared> {
  std::mutex mutex;  // alive, pending
  bool alive = true;
  bool pending = false;
  QObject* receiver = nullptr;

  // Queues a drain on the event loop unless one is queued already: a burst of posts wakes the loop once.
  void wake(MainExecutor& main) {
    std::lock_guard guard(mutex);
    if (!alive || pending) return;
    pending = true;
    QMetaObject::invokeMethod(
        receiver, [&main, self = shared_from_this()] { self->drain(main); }, Qt::QueuedConnection);
  }

  // Runs a batch of the executor's jobs; a post from now on, or jobs left over, queue the next drain.
  void drain(MainExecutor& main) {
    {
      std::lock_guard guard(mutex);
      pending = false;
    }
    const auto until = std::chrono::steady_clock::now() + turnBudget;
    for (size_t ran = 0; ran < jobsPerTurn && std::chrono::steady_clock::now() < until; ++ran) {
      if (main.runQueued(1) == 0) break;
    }
    if (auto status = main.quitStatus()) {
      QCoreApplication::exit(*status);
      return;
    }
    if (main.hasQueuedJobs()) wake(main);
  }
};

QtMainLoop::QtMainLoop(MainExecutor& main) : main_(main), shared_(std::make_shared<Shared>()) {
  shared_->receiver = QCoreApplication::instance();
  std::weak_ptr<Shared> weak = shared_;
  MainExecutor* executor = &main_;
  main_.setWakeHook([weak, executor] {
    if (auto shared = weak.lock()) shared->wake(*executor);
  });
}

QtMainLoop::~QtMainLoop() {
  std::lock_guard guard(shared_->mutex);
  shared_->alive = false;
}

int QtMainLoop::run() {
  if (auto status = main_.quitStatus()) return *status;
  // Jobs posted before the loop started are run as soon as it runs.
  QTimer::singleShot(0, shared_->receiver, [this] { shared_->drain(main_); });
  int status = QCoreApplication::exec();
  return main_.quitStatus().value_or(status);
}

}  // namespace tavlo::ui
