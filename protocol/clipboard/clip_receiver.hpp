#pragma once
// The receiving half of the clipboard transfer: announced items and their reassembly, in order, into
// memory or into a temporary file of the private folder.
//
// Announcements and pieces come from one thread (the session's control loop); reset may come from
// another. Files are created on an item's first piece, written outside the lock, and deleted whenever
// an item ends without completing. A completed file is the owner's to move away or remove; whatever of
// it is still there at reset goes with the session's other files.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "protocol/clipboard/clip_file.hpp"
#include "protocol/clipboard/clip_progress.hpp"
#include "protocol/clipboard/clip_temp_folder.hpp"
#include "protocol/clipboard/clipboard_callbacks.hpp"

namespace vela {

class ClipReceiver {
 public:
  static constexpr uint32_t diskThreshold = 4'194'304;  // a larger unnamed item is received into a file
  static constexpr size_t maxIncoming = 8;              // items received at once; the oldest gives way
  // Completed files remembered for removal at reset; an older one is removed at once (its owner has
  // long moved it away or given up on it).
  static constexpr size_t maxCompletedFiles = 16;

  ClipReceiver(ClipTempFolder folder, std::shared_ptr<ClipboardCallbackSlot> callbacks);
  ~ClipReceiver();  // deletes the files of unfinished items
  ClipReceiver(const ClipReceiver&) = delete;
  ClipReceiver& operator=(const ClipReceiver&) = delete;

  void handleAnnounce(uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name);
  void handleData(const ClipData& piece);
  uint32_t receivedOffset(uint64_t clipId) const;
  // Forgets every item and deletes the files of the unfinished ones and those of completed ones that
  // their owner left where they were received.
  void reset();

  size_t incomingCount() const;
  const ClipTempFolder& folder() const { return folder_; }

 private:
  struct InItem {
    uint64_t clipId = 0;
    uint64_t order = 0;  // announcement order, for giving way
    std::string uti;
    std::string name;    // made safe as a file name; empty for an unnamed item
    uint32_t total = 0;  // the announced size
    bool toFile = false;
    // Written only by the thread that handles pieces; others read `path` under the lock.
    Bytes memory;
    std::shared_ptr<ClipFile> file;
    std::filesystem::path path;
    uint32_t written = 0;  // under the lock
  };

  // Removes `item` if it is still the current item of its id; true when it was.
  bool detachLocked(const std::shared_ptr<InItem>& item);
  // Ends an item that failed on this side or the peer's: its file goes, the owner hears onFailed.
  void fail(const std::shared_ptr<InItem>& item, const std::string& reason);
  void log(const std::string& line) const;

  const ClipTempFolder folder_;
  const std::shared_ptr<ClipboardCallbackSlot> callbacks_;

  mutable std::mutex mutex_;
  std::map<uint64_t, std::shared_ptr<InItem>> incoming_;
  std::deque<std::filesystem::path> completedFiles_;  // oldest first
  ClipProgress progress_;
  uint64_t nextOrder_ = 0;
};

}  // namespace vela
