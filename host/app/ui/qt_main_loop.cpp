#include "host/app/ui/qt_main_loop.hpp"

#include <mutex>

#include <QCoreApplication>
#include <QTimer>

namespace tavlo::ui {

// Shared with the wake hook, which other threads call: `alive` turns false before the loop goes away.
struct QtMainLoop::Shared {
  std::mutex mutex;  // alive, pending
  bool alive = true;
  bool pending = false;
  QObject* receiver = nullptr;

  // Runs the executor's jobs; a post from now on queues the next drain.
  void drain(MainExecutor& main) {
    {
      std::lock_guard guard(mutex);
      pending = false;
    }
    main.runUntilIdle();
    if (auto status = main.quitStatus()) QCoreApplication::exit(*status);
  }
};

QtMainLoop::QtMainLoop(MainExecutor& main) : main_(main), shared_(std::make_shared<Shared>()) {
  shared_->receiver = QCoreApplication::instance();
  std::weak_ptr<Shared> weak = shared_;
  MainExecutor* executor = &main_;
  main_.setWakeHook([weak, executor] {
    auto shared = weak.lock();
    if (!shared) return;
    std::lock_guard guard(shared->mutex);
    // One queued drain at a time: a burst of posts wakes the loop once.
    if (!shared->alive || shared->pending) return;
    shared->pending = true;
    QMetaObject::invokeMethod(
        shared->receiver, [executor, shared] { shared->drain(*executor); },
        Qt::QueuedConnection);
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
