#include "platform/pasteboard/fake_pasteboard.hpp"

namespace tavlo {

int64_t FakePasteboard::changeCount() const {
  std::lock_guard lock(mutex_);
  return changeCount_;
}

bool FakePasteboard::hasOwnMarker() const {
  std::lock_guard lock(mutex_);
  return marked_;
}

std::vector<std::filesystem::path> FakePasteboard::files() const {
  std::lock_guard lock(mutex_);
  return content_.files;
}

std::optional<std::string> FakePasteboard::text() const {
  std::lock_guard lock(mutex_);
  return content_.text;
}

std::optional<Bytes> FakePasteboard::png() const {
  std::lock_guard lock(mutex_);
  return content_.png;
}

int64_t FakePasteboard::write(PasteboardContent content) {
  std::lock_guard lock(mutex_);
  content_ = std::move(content);
  marked_ = true;
  return ++changeCount_;
}

void FakePasteboard::copyFromOutside(PasteboardContent content) {
  std::lock_guard lock(mutex_);
  content_ = std::move(content);
  marked_ = false;
  ++changeCount_;
}

PasteboardContent FakePasteboard::content() const {
  std::lock_guard lock(mutex_);
  return content_;
}

std::optional<std::filesystem::path> FakePasteboard::readPromise() const {
  std::shared_ptr<PasteboardFilePromise> promise;
  {
    std::lock_guard lock(mutex_);
    promise = content_.promise;
  }
  if (!promise || !promise->fulfil) return std::nullopt;
  return promise->fulfil();
}

}  // namespace tavlo
