#include "protocol/clipboard/clip_receiver.hpp"

#include <algorithm>
#include <vector>

#include "protocol/clipboard/clip_file_name.hpp"

namespace vela {

ClipReceiver::ClipReceiver(ClipTempFolder folder, std::shared_ptr<ClipboardCallbackSlot> callbacks)
    : folder_(std::move(folder)), callbacks_(std::move(callbacks)) {}

ClipReceiver::~ClipReceiver() { reset(); }

void ClipReceiver::handleAnnounce(uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name) {
  auto item = std::make_shared<InItem>();
  item->clipId = clipId;
  item->uti = uti;
  item->name = name.empty() ? std::string() : sanitizeClipFileName(name);
  item->total = size;
  item->toFile = !name.empty() || size > diskThreshold;

  std::filesystem::path replacedPath;
  std::shared_ptr<InItem> evicted;
  {
    std::lock_guard guard(mutex_);
    item->order = nextOrder_++;
    if (auto it = incoming_.find(clipId); it != incoming_.end()) {
      // A new announcement of the same id replaces the old item: its partial file is of no use.
      replacedPath = it->second->path;
      progress_.forget(clipId);
      incoming_.erase(it);
    }
    incoming_[clipId] = item;
    if (incoming_.size() > maxIncoming) {
      auto oldest = std::min_element(incoming_.begin(), incoming_.end(),
                                     [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
      evicted = oldest->second;
    }
  }
  ClipTempFolder::remove(replacedPath);
  if (evicted) fail(evicted, "zbyt wiele odbieranych elementów naraz, najstarszy porzucony");
}

void ClipReceiver::handleData(const ClipData& piece) {
  enum class Verdict { accept, gaveUp, badTotal, pastEnd };
  std::shared_ptr<InItem> item;
  Verdict verdict = Verdict::accept;
  uint32_t announced = 0;
  {
    std::lock_guard guard(mutex_);
    auto it = incoming_.find(piece.clipId);
    if (it == incoming_.end()) return;  // unknown, finished or failed: nothing waits for it
    item = it->second;
    announced = item->total;
    if (piece.total == 0) verdict = Verdict::gaveUp;
    else if (piece.total != item->total) verdict = Verdict::badTotal;
    else if (piece.offset != item->written) return;  // only in-order data is accepted
    else if (piece.chunk.size() > item->total - item->written) verdict = Verdict::pastEnd;
  }
  switch (verdict) {
    case Verdict::gaveUp:
      return fail(item, "nadawca zrezygnował");
    case Verdict::badTotal:
      return fail(item, "rozmiar " + std::to_string(piece.total) + " różny od zapowiedzianego " +
                            std::to_string(announced));
    case Verdict::pastEnd:
      return fail(item, "kawałek od " + std::to_string(piece.offset) + " (" + std::to_string(piece.chunk.size()) +
                            " B) wykracza poza zapowiedziany rozmiar " + std::to_string(announced));
    case Verdict::accept:
      break;
  }

  if (item->toFile) {
    if (!item->file) {
      auto created = folder_.createFile(item->name);
      if (!created.file) return fail(item, "nie można utworzyć pliku: " + created.error);
      bool current;
      {
        std::lock_guard guard(mutex_);
        current = incoming_.contains(item->clipId) && incoming_.at(item->clipId) == item;
        if (current) {
          item->file = created.file;
          item->path = created.path;
        }
      }
      if (!current) return ClipTempFolder::remove(created.path);  // reset or replaced meanwhile
    }
    std::string error;
    if (!item->file->writeAll(piece.offset, piece.chunk, &error)) return fail(item, "błąd zapisu pliku: " + error);
  } else {
    if (item->memory.empty()) item->memory.reserve(item->total);
    item->memory.insert(item->memory.end(), piece.chunk.begin(), piece.chunk.end());
  }

  auto callbacks = callbacks_->get();
  std::optional<uint32_t> report;
  bool complete = false;
  std::filesystem::path expired;
  {
    std::lock_guard guard(mutex_);
    auto it = incoming_.find(item->clipId);
    if (it == incoming_.end() || it->second != item) return;  // reset or replaced while storing
    item->written += static_cast<uint32_t>(piece.chunk.size());
    if (callbacks->onProgress) report = progress_.advance(item->clipId, item->written, item->total);
    if (item->written >= item->total) {
      complete = true;
      progress_.forget(item->clipId);
      incoming_.erase(it);
      if (!item->path.empty()) {
        completedFiles_.push_back(item->path);
        if (completedFiles_.size() > maxCompletedFiles) {
          expired = std::move(completedFiles_.front());
          completedFiles_.pop_front();
        }
      }
    }
  }
  ClipTempFolder::remove(expired);
  if (report) callbacks->onProgress(item->clipId, ClipDir::receive, *report, item->total);
  if (!complete) return;
  item->file.reset();  // closed before the owner opens it
  auto payload = item->toFile ? ClipPayload::file(item->path) : ClipPayload::memory(std::move(item->memory));
  if (callbacks->onComplete) callbacks->onComplete(item->clipId, item->uti, item->name, payload);
}

uint32_t ClipReceiver::receivedOffset(uint64_t clipId) const {
  std::lock_guard guard(mutex_);
  auto it = incoming_.find(clipId);
  return it == incoming_.end() ? 0 : it->second->written;
}

void ClipReceiver::reset() {
  std::vector<std::filesystem::path> leftBehind;
  {
    std::lock_guard guard(mutex_);
    for (const auto& [id, item] : incoming_) leftBehind.push_back(item->path);
    // Moved away by their owner by now, or left here: either way nothing of the session stays.
    leftBehind.insert(leftBehind.end(), completedFiles_.begin(), completedFiles_.end());
    incoming_.clear();
    completedFiles_.clear();
    progress_.clear();
  }
  for (const auto& path : leftBehind) ClipTempFolder::remove(path);
}

size_t ClipReceiver::incomingCount() const {
  std::lock_guard guard(mutex_);
  return incoming_.size();
}

bool ClipReceiver::detachLocked(const std::shared_ptr<InItem>& item) {
  auto it = incoming_.find(item->clipId);
  if (it == incoming_.end() || it->second != item) return false;
  incoming_.erase(it);
  progress_.forget(item->clipId);
  return true;
}

void ClipReceiver::fail(const std::shared_ptr<InItem>& item, const std::string& reason) {
  std::filesystem::path path;
  {
    std::lock_guard guard(mutex_);
    if (!detachLocked(item)) return;  // already ended by someone else
    path = item->path;
  }
  ClipTempFolder::remove(path);
  log("📋 schowek: odbiór elementu " + std::to_string(item->clipId) + " nieudany: " + reason);
  if (auto callbacks = callbacks_->get(); callbacks->onFailed) callbacks->onFailed(item->clipId);
}

void ClipReceiver::log(const std::string& line) const {
  if (auto callbacks = callbacks_->get(); callbacks->onLog) callbacks->onLog(line);
  else tavlo::SystemLog::write(line);
}

}  // namespace vela
