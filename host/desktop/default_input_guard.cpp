#include "host/desktop/default_input_guard.hpp"

#include <algorithm>
#include <utility>

namespace tavlo {

bool DefaultInputGuard::micPresent() {
  auto sources = devices_.sources();
  return sources && std::any_of(sources->begin(), sources->end(),
                                [](const AudioSource& source) { return source.name == kMicUid; });
}

void DefaultInputGuard::inBackground(std::function<void()> step) {
  if (background_) {
    background_(std::move(step));
  } else {
    step();
  }
}

void DefaultInputGuard::engage() {
  inBackground([this] { engageNow(); });
}

void DefaultInputGuard::restore() {
  inBackground([this] { restoreNow(); });
}

void DefaultInputGuard::restoreIfStranded() {
  inBackground([this] { restoreIfStrandedNow(); });
}

void DefaultInputGuard::engageNow() {
  {
    std::lock_guard guard(mutex_);
    if (savedDevice_) return;
  }
  if (!micPresent()) return;
  auto current = devices_.defaultSource();
  if (!current || *current == kMicUid) return;
  {
    std::lock_guard guard(mutex_);
    if (savedDevice_) return;
    savedDevice_ = *current;
  }
  devices_.setDefaultSource(kMicUid);
}

void DefaultInputGuard::restoreNow() {
  std::optional<std::string> saved;
  {
    std::lock_guard guard(mutex_);
    saved = std::exchange(savedDevice_, std::nullopt);
  }
  if (!saved || !micPresent()) return;
  auto current = devices_.defaultSource();
  if (current && *current == kMicUid) devices_.setDefaultSource(*saved);
}

void DefaultInputGuard::restoreIfStrandedNow() {
  auto sources = devices_.sources();
  if (!sources) return;
  bool present = std::any_of(sources->begin(), sources->end(),
                             [](const AudioSource& source) { return source.name == kMicUid; });
  if (!present) return;
  auto current = devices_.defaultSource();
  if (!current || *current != kMicUid) return;
  auto other = std::find_if(sources->begin(), sources->end(), [](const AudioSource& source) {
    return source.name != kMicUid && !source.isMonitor;
  });
  if (other != sources->end()) devices_.setDefaultSource(other->name);
}

bool DefaultInputGuard::micRunningSomewhere() {
  const uint64_t now = clock_.nowUs();
  bool last = true;
  {
    std::lock_guard guard(mutex_);
    last = consumedCached_;
    const bool fresh = consumedAtUs_ != 0 && now - consumedAtUs_ < kRunningCacheUs;
    if (fresh || asking_) return last;
    asking_ = true;
  }
  if (background_) {
    background_([this] { askWhetherRunning(); });
    return last;
  }
  askWhetherRunning();
  std::lock_guard guard(mutex_);
  return consumedCached_;
}

void DefaultInputGuard::askWhetherRunning() {
  bool running = true;
  if (auto sources = devices_.sources()) {
    auto mic = std::find_if(sources->begin(), sources->end(),
                            [](const AudioSource& source) { return source.name == kMicUid; });
    if (mic != sources->end()) running = mic->running;
  }
  std::lock_guard guard(mutex_);
  consumedCached_ = running;
  // Fresh from when it came: a server that took its time is not asked again at once.
  consumedAtUs_ = clock_.nowUs();
  asking_ = false;
}

}  // namespace tavlo
