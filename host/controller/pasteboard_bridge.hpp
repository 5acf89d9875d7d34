#pragma once
// The bridge between the session's clipboard engine and the host desktop's pasteboard: it polls the
// pasteboard and offers each new file, text or image to the client; it puts what the client announces on
// the pasteboard (at once when the bytes came inline, after fetching up to 16 MiB, as a file promise
// above that); and it publishes the transfer that the tray's clipboard panel shows.
//
// Everything runs on the main executor; timers hop there from the scheduler's thread. Reading what
// another program copied waits on that program (seconds, when it is slow), so the poll hands the reads
// to a worker of its own and takes the answer back on the main executor. A promised file is fetched on
// the pasteboard backend's worker thread, which blocks on the fetch rendezvous.
//
// Received files stay only while the pasteboard offers them: a newer copy (ours or another program's)
// or the end of the session removes them, and a received file that the pasteboard never shows (read
// into memory, late, unasked for) is removed at once. A promise of a session that ended, or one that a
// newer copy replaced, fails at once.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/controller/clip_out_folder.hpp"
#include "host/controller/controlled_session.hpp"
#include "host/controller/host_controller_seams.hpp"
#include "platform/pasteboard/pasteboard.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/published.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "protocol/clipboard/clip_fetch_rendezvous.hpp"
#include "protocol/session_messages.hpp"

namespace tavlo {

// The transfer the clipboard panel shows.
struct ClipXferState {
  vela::ClipDir dir = vela::ClipDir::send;
  vela::Platform peer = vela::Platform::mac;
  uint32_t sent = 0;
  uint32_t total = 0;
  bool done = false;
  friend bool operator==(const ClipXferState&, const ClipXferState&) = default;
};

class PasteboardBridge : public std::enable_shared_from_this<PasteboardBridge> {
 public:
  static constexpr uint64_t pollIntervalUs = 600'000;
  static constexpr uint32_t fetchCapBytes = 16'777'216;
  static constexpr double promiseFetchTimeoutSeconds = 600;
  static constexpr uint64_t finishedXferClearUs = 1'100'000;
  static constexpr size_t keptPromises = 3;
  static constexpr const char* textUti = "public.utf8-plain-text";
  static constexpr const char* pngUti = "public.png";
  static constexpr const char* fileUti = "public.data";

  struct Deps {
    Pasteboard& pasteboard;
    MainExecutor& main;
    Scheduler& scheduler;
    std::function<void(const std::string&)> log;
    // The connected client's platform, when known (main executor).
    std::function<std::optional<vela::Platform>()> clientPlatform;
    // Where received files are moved to under their own names, one fresh private folder per file.
    std::filesystem::path outFolder;
    // Where reads of another program's clipboard run; the bridge makes a worker of its own when none
    // is given.
    std::shared_ptr<SerialExecutor> reads{};
  };

  static std::shared_ptr<PasteboardBridge> create(Deps deps);
  // Waits for a read of the pasteboard under way (the pasteboard may go right after the bridge) and
  // cancels the bridge's timers.
  ~PasteboardBridge();

  // The seam functions the controller calls, holding the bridge weakly.
  HostControllerSeams::ClipboardBridge seams();

  void startSync(const std::shared_ptr<ControlledSession>& session);
  void poll();
  void handleAnnounce(uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name,
                      const std::optional<Bytes>& inlineBytes);
  void handleComplete(uint64_t clipId, const vela::ClipPayload& payload);
  void handleFailed(std::optional<uint64_t> clipId, const std::string& reason);
  void handleProgress(vela::ClipDir dir, uint32_t sent, uint32_t total);
  // The session ended: polling stops, every pending item fails, the session's files are removed and
  // its promises fail from now on.
  void stop();

  // Seconds an announced item of `size` bytes may take to arrive.
  static double fetchDeadlineSeconds(uint32_t size);

  Published<std::optional<ClipXferState>> clipXfer;
  vela::ClipFetchRendezvous& rendezvous() { return rendezvous_; }
  size_t pendingCount() const { return pending_.size(); }
  size_t promiseCount() const { return promises_.size(); }

 private:
  // What another program put on the pasteboard, as the worker read it.
  struct Copied {
    int64_t changeCount = 0;
    std::vector<std::filesystem::path> files;
    std::optional<std::string> text;
    std::optional<Bytes> png;
  };
  struct Pending {
    std::string uti;
    std::string name;
    Scheduler::JobId deadline = 0;
  };

  explicit PasteboardBridge(Deps deps);
  // Runs on the reads worker: every read that may wait on the copying program.
  static Copied readCopied(const Pasteboard& board, int64_t changeCount);
  void offerCopied(Copied copied);
  // Runs `job` on the main executor with the bridge, if it still exists.
  std::function<void()> onMain(std::function<void(PasteboardBridge&)> job);
  void offerPromise(uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name);
  std::optional<std::filesystem::path> fetchPromised(uint64_t clipId, const std::string& name, uint64_t offer);
  void writePasteboard(const std::string& uti, const std::string& name, const vela::ClipPayload& payload);
  // A received item's file once the bridge has no use for it.
  static void removeReceived(const vela::ClipPayload& payload);
  void cancelXferClear();

  Deps deps_;
  vela::ClipFetchRendezvous rendezvous_;
  ClipOutFolder out_;
  std::weak_ptr<ControlledSession> session_;
  std::optional<Scheduler::JobId> pollTimer_;
  int64_t lastChangeCount_ = 0;
  bool readInFlight_ = false;  // one read of the pasteboard at a time
  std::map<uint64_t, Pending> pending_;
  std::deque<std::shared_ptr<PasteboardFilePromise>> promises_;
  std::optional<Scheduler::JobId> xferClear_;
  uint64_t xferGeneration_ = 0;
};

}  // namespace tavlo
