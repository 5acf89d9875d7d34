#include "protocol/clipboard/clip_sender.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <vector>

namespace vela {

namespace {

// The size of a file to offer, 0 when it cannot be read or is not a regular file.
uint64_t offeredFileSize(const std::filesystem::path& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

ClipData emptyFinalPiece(uint64_t clipId) { return ClipData{clipId, 0, 0, {}}; }

}  // namespace

ClipSender::ClipSender(tavlo::Scheduler& scheduler, std::weak_ptr<tavlo::SerialExecutor> executor,
                       std::shared_ptr<ClipboardCallbackSlot> callbacks)
    : scheduler_(scheduler), executor_(std::move(executor)), callbacks_(std::move(callbacks)) {}

std::optional<uint32_t> ClipSender::provide(uint64_t clipId, ClipPayload payload) {
  const uint64_t size = payload.isMemory() ? payload.bytes().size() : offeredFileSize(payload.path());
  if (size > UINT32_MAX) {
    log(*callbacks_->get(), "📋 schowek: element " + std::to_string(clipId) + " za duży (" + std::to_string(size) +
                                " B, najwyżej 4294967295 B), nie zostanie udostępniony");
    return std::nullopt;
  }
  auto item = std::make_shared<OutItem>(OutItem{clipId, std::move(payload), static_cast<uint32_t>(size), nullptr});
  std::vector<std::shared_ptr<OutItem>> dropped;  // released after the lock: a handle may close then
  {
    std::lock_guard guard(mutex_);
    for (auto it = outgoing_.begin(); it != outgoing_.end();) {
      if ((*it)->clipId == clipId) {
        dropped.push_back(std::move(*it));
        it = outgoing_.erase(it);
      } else {
        ++it;
      }
    }
    outgoing_.push_back(std::move(item));
    while (outgoing_.size() > maxOffered) {
      dropped.push_back(std::move(outgoing_.front()));
      outgoing_.pop_front();
    }
  }
  return static_cast<uint32_t>(size);
}

void ClipSender::handleRequest(uint64_t clipId, uint32_t fromOffset) {
  bool known = false;
  {
    std::lock_guard guard(mutex_);
    auto item = findLocked(clipId);
    if (item && item->total > 0) {
      queue_.enqueue(clipId, item->total, fromOffset);
      known = true;
    }
  }
  if (!known) {
    // A piece with total 0 tells the peer the item cannot be sent.
    if (auto callbacks = callbacks_->get(); callbacks->onSendData) callbacks->onSendData(emptyFinalPiece(clipId));
    return;
  }
  startPacer();
}

void ClipSender::startPacer() {
  uint64_t generation;
  {
    std::lock_guard guard(mutex_);
    if (pacing_) return;
    pacing_ = true;
    generation = ++generation_;
    queue_.resetTokens();
  }
  auto job = [weakSelf = weak_from_this(), executor = executor_, queued = tickQueued_, generation] {
    if (queued->exchange(true)) return;  // the previous tick has not run yet
    auto strong = executor.lock();
    if (!strong || !strong->post([weakSelf, queued, generation] {
          queued->store(false);
          if (auto self = weakSelf.lock()) self->tick(generation);
        }))
      queued->store(false);
  };
  const auto id = scheduler_.every(tickUs, std::move(job), 0);
  bool stale = false;
  {
    std::lock_guard guard(mutex_);
    if (pacing_ && generation_ == generation) timer_ = id;
    else stale = true;  // stopped while the timer was being made
  }
  if (stale) scheduler_.cancel(id);
}

void ClipSender::tick(uint64_t generation) {
  auto callbacks = callbacks_->get();
  if (callbacks->sendCredit && callbacks->sendCredit() > creditLimit) return;

  struct Planned {
    ClipSendQueue::Step step;
    std::shared_ptr<OutItem> item;
  };
  std::vector<Planned> planned;
  bool queueDrained;
  uint64_t epoch;
  {
    std::lock_guard guard(mutex_);
    if (generation != generation_) return;
    auto steps = queue_.planTick(maxBytesPerSec_, [&](uint64_t clipId) { return findLocked(clipId) != nullptr; });
    for (const auto& step : steps) planned.push_back({step, step.withdrawn ? nullptr : findLocked(step.clipId)});
    queueDrained = queue_.empty();
    epoch = resetEpoch_;
  }

  std::set<uint64_t> failed;
  for (auto& [step, item] : planned) {
    if (failed.contains(step.clipId)) continue;  // one failure notice per item
    if (step.withdrawn) {
      failed.insert(step.clipId);
      failItem(step.clipId, nullptr, *callbacks, "wycofany w trakcie wysyłania");
      continue;
    }
    std::string error;
    auto data = readPiece(*item, step.offset, step.length, error);
    if (!data) {
      failed.insert(step.clipId);
      failItem(step.clipId, item, *callbacks, "nie można odczytać źródła: " + error);
      continue;
    }
    std::optional<uint32_t> report;
    {
      std::lock_guard guard(mutex_);
      if (epoch != resetEpoch_) return;  // reset while this tick ran: nothing more goes out
      if (callbacks->onProgress) report = progress_.advance(step.clipId, uint64_t(step.offset) + step.length, step.total);
    }
    if (callbacks->onSendData) callbacks->onSendData(ClipData{step.clipId, step.total, step.offset, std::move(*data)});
    if (report) callbacks->onProgress(step.clipId, ClipDir::send, *report, step.total);
  }

  if (!queueDrained) return;
  std::optional<tavlo::Scheduler::JobId> timer;
  {
    std::lock_guard guard(mutex_);
    if (generation != generation_ || !queue_.empty()) return;  // restarted or requested meanwhile
    pacing_ = false;
    ++generation_;
    timer = std::exchange(timer_, std::nullopt);
  }
  if (timer) scheduler_.cancel(*timer);
}

std::optional<Bytes> ClipSender::readPiece(OutItem& item, uint32_t offset, uint32_t length, std::string& error) {
  if (item.source.isMemory()) {
    ByteView bytes = item.source.bytes();
    if (uint64_t(offset) + length > bytes.size()) return std::nullopt;
    auto slice = bytes.subspan(offset, length);
    return Bytes(slice.begin(), slice.end());
  }
  std::shared_ptr<ClipFile> handle;
  {
    std::lock_guard guard(mutex_);
    handle = item.handle;
  }
  if (!handle) {
    handle = ClipFile::openForReading(item.source.path(), &error);
    if (!handle) return std::nullopt;
    std::lock_guard guard(mutex_);
    if (item.handle) handle = item.handle;
    else item.handle = handle;
  }
  auto data = handle->readExactly(offset, length);
  if (!data) error = item.source.path().string() + " skończył się lub zawiódł przed bajtem " +
                     std::to_string(uint64_t(offset) + length);
  return data;
}

void ClipSender::failItem(uint64_t clipId, const std::shared_ptr<OutItem>& item, const ClipboardCallbacks& callbacks,
                          const std::string& reason) {
  std::shared_ptr<ClipFile> handle;  // closed after the lock (a retry opens the file afresh)
  {
    std::lock_guard guard(mutex_);
    queue_.remove(clipId);
    progress_.forget(clipId);
    if (item) handle = std::exchange(item->handle, nullptr);
  }
  handle.reset();
  log(callbacks, "📋 schowek: wysyłanie elementu " + std::to_string(clipId) + " przerwane: " + reason);
  if (callbacks.onSendData) callbacks.onSendData(emptyFinalPiece(clipId));
  if (callbacks.onFailed) callbacks.onFailed(clipId);
}

void ClipSender::setMaxBytesPerSec(int64_t rate) {
  std::lock_guard guard(mutex_);
  maxBytesPerSec_ = std::max<int64_t>(rate, 1);
}

int64_t ClipSender::maxBytesPerSec() const {
  std::lock_guard guard(mutex_);
  return maxBytesPerSec_;
}

void ClipSender::reset() {
  std::optional<tavlo::Scheduler::JobId> timer;
  std::deque<std::shared_ptr<OutItem>> dropped;
  {
    std::lock_guard guard(mutex_);
    pacing_ = false;
    ++generation_;
    ++resetEpoch_;
    timer = std::exchange(timer_, std::nullopt);
    dropped.swap(outgoing_);
    queue_.clear();
    progress_.clear();
  }
  if (timer) scheduler_.cancel(*timer);
}

bool ClipSender::isPacing() const {
  std::lock_guard guard(mutex_);
  return pacing_;
}

size_t ClipSender::offeredCount() const {
  std::lock_guard guard(mutex_);
  return outgoing_.size();
}

std::shared_ptr<ClipSender::OutItem> ClipSender::findLocked(uint64_t clipId) const {
  for (const auto& item : outgoing_)
    if (item->clipId == clipId) return item;
  return nullptr;
}

void ClipSender::log(const ClipboardCallbacks& callbacks, const std::string& line) const {
  if (callbacks.onLog) callbacks.onLog(line);
  else tavlo::SystemLog::write(line);
}

}  // namespace vela
