#pragma once
// A pasteboard in memory, for tests: another program's copy is `copyFromOutside`, a reader's paste of a
// promised file is `readPromise` (it runs the promise on the calling thread, as a reader's request
// would on the backend's worker).
#include <mutex>

#include "platform/pasteboard/pasteboard.hpp"

namespace tavlo {

class FakePasteboard final : public Pasteboard {
 public:
  int64_t changeCount() const override;
  bool hasOwnMarker() const override;
  std::vector<std::filesystem::path> files() const override;
  std::optional<std::string> text() const override;
  std::optional<Bytes> png() const override;
  int64_t write(PasteboardContent content) override;

  // Another program takes the clipboard with `content` (no marker).
  void copyFromOutside(PasteboardContent content);
  // Everything on it now, as written.
  PasteboardContent content() const;
  // Fulfils the promise on the clipboard, if any.
  std::optional<std::filesystem::path> readPromise() const;

 private:
  mutable std::mutex mutex_;
  int64_t changeCount_ = 0;
  bool marked_ = false;
  PasteboardContent content_;
};

}  // namespace tavlo
