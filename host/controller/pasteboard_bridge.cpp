#include "host/controller/pasteboard_bridge.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "host/controller/clip_paste_name.hpp"

namespace tavlo {

// What the pasteboard reads from another program goes to the client unnamed; it never reads more than
// an unnamed item this bridge (and a peer's) would fetch.
static_assert(Pasteboard::maxItemBytes == PasteboardBridge::fetchCapBytes);

PasteboardBridge::PasteboardBridge(Deps deps)
    : deps_(std::move(deps)), rendezvous_(deps_.scheduler.clock()), out_(deps_.outFolder) {
  if (!deps_.reads) deps_.reads = std::make_shared<SerialExecutor>("tl.clip.read");
}

PasteboardBridge::~PasteboardBridge() {
  // A read under way ends before the bridge does, so it never reaches a pasteboard that is gone.
  deps_.reads->sync([] {});
  // The poll repeats for ever and the deadlines would fire for nothing: none outlives the bridge.
  if (pollTimer_) deps_.scheduler.cancel(*pollTimer_);
  for (const auto& [id, pending] : pending_) deps_.scheduler.cancel(pending.deadline);
  if (xferClear_) deps_.scheduler.cancel(*xferClear_);
}

std::shared_ptr<PasteboardBridge> PasteboardBridge::create(Deps deps) {
  return std::shared_ptr<PasteboardBridge>(new PasteboardBridge(std::move(deps)));
}

HostControllerSeams::ClipboardBridge PasteboardBridge::seams() {
  std::weak_ptr<PasteboardBridge> weak = weak_from_this();
  HostControllerSeams::ClipboardBridge s;
  s.startSync = [weak](const std::shared_ptr<ControlledSession>& session) {
    if (auto self = weak.lock()) self->startSync(session);
  };
  s.announced = [weak](uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name,
                       const std::optional<Bytes>& inlineBytes) {
    if (auto self = weak.lock()) self->handleAnnounce(clipId, uti, size, name, inlineBytes);
  };
  s.completed = [weak](uint64_t clipId, const std::string&, const std::string&, const vela::ClipPayload& payload) {
    if (auto self = weak.lock()) self->handleComplete(clipId, payload);
  };
  s.failed = [weak](uint64_t clipId, const std::string& reason) {
    if (auto self = weak.lock()) self->handleFailed(clipId, reason);
  };
  s.progress = [weak](vela::ClipDir dir, uint32_t sent, uint32_t total) {
    if (auto self = weak.lock()) self->handleProgress(dir, sent, total);
  };
  s.stop = [weak] {
    if (auto self = weak.lock()) self->stop();
  };
  return s;
}

std::function<void()> PasteboardBridge::onMain(std::function<void(PasteboardBridge&)> job) {
  std::weak_ptr<PasteboardBridge> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  return [main, weak, job = std::move(job)] {
    main->post([weak, job] {
      if (auto self = weak.lock()) job(*self);
    });
  };
}

double PasteboardBridge::fetchDeadlineSeconds(uint32_t size) {
  return std::max(10.0, 10.0 + 2.0 * static_cast<double>(size) / 256'000.0);
}

void PasteboardBridge::startSync(const std::shared_ptr<ControlledSession>& session) {
  session_ = session;
  // What is on the pasteboard when the session starts is not offered.
  lastChangeCount_ = deps_.pasteboard.changeCount();
  if (pollTimer_) deps_.scheduler.cancel(*pollTimer_);
  pollTimer_ = deps_.scheduler.every(pollIntervalUs, onMain([](PasteboardBridge& self) { self.poll(); }));
}

void PasteboardBridge::poll() {
  if (readInFlight_) return;  // the next poll after the answer looks again
  Pasteboard& board = deps_.pasteboard;
  const int64_t count = board.changeCount();
  if (count == lastChangeCount_) return;
  if (board.hasOwnMarker()) {
    lastChangeCount_ = count;
    return;
  }
  readInFlight_ = true;
  std::weak_ptr<PasteboardBridge> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  // The read holds the pasteboard, never the bridge: a read that kept the bridge alive would outlive
  // its owner's reset and go on using a pasteboard the owner destroys next. The destructor waits for it.
  const bool posted = deps_.reads->post([weak, main, pasteboard = &board, count] {
    if (weak.expired()) return;
    Copied copied = readCopied(*pasteboard, count);
    main->post([weak, copied = std::move(copied)]() mutable {
      if (auto bridge = weak.lock()) bridge->offerCopied(std::move(copied));
    });
  });
  if (!posted) readInFlight_ = false;
}

PasteboardBridge::Copied PasteboardBridge::readCopied(const Pasteboard& board, int64_t changeCount) {
  Copied copied;
  copied.changeCount = changeCount;
  copied.files = board.files();
  if (!copied.files.empty()) return copied;
  copied.text = board.text();
  if (copied.text && !copied.text->empty()) return copied;
  copied.png = board.png();
  return copied;
}

void PasteboardBridge::offerCopied(Copied copied) {
  readInFlight_ = false;
  // The bridge wrote the pasteboard (or a session started) while the worker read it: what was read
  // may be our own write, or what was there before the session.
  if (lastChangeCount_ >= copied.changeCount) return;
  lastChangeCount_ = copied.changeCount;
  // Another program's copy replaced ours; a file of ours that it offers again (a clipboard manager
  // that took over our file list) stays.
  out_.nextOffer(copied.files);
  const std::shared_ptr<ControlledSession> session = session_.lock();

  if (!copied.files.empty()) {
    const std::filesystem::path& first = copied.files.front();
    std::error_code error;
    if (std::filesystem::is_directory(first, error)) {
      deps_.log("📋 skopiowano katalog — pomijam (schowek przesyła pliki)");
      return;
    }
    const std::string name = clipPasteFileName(first.filename().string());
    deps_.log("📋 announce plik " + name);
    if (session) session->announceClipboard(fileUti, name, vela::ClipPayload::file(first));
    return;
  }
  if (copied.text && !copied.text->empty()) {
    if (session) {
      session->announceClipboard(textUti, "", vela::ClipPayload::memory(Bytes(copied.text->begin(), copied.text->end())));
    }
    return;
  }
  if (copied.png && session) session->announceClipboard(pngUti, "", vela::ClipPayload::memory(std::move(*copied.png)));
}

void PasteboardBridge::handleAnnounce(uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name,
                                      const std::optional<Bytes>& inlineBytes) {
  if (inlineBytes) {
    writePasteboard(uti, name, vela::ClipPayload::memory(*inlineBytes));
    return;
  }
  const std::shared_ptr<ControlledSession> session = session_.lock();
  if (!session) return;
  const std::string id = std::to_string(clipId);
  if (size <= fetchCapBytes) {
    const double deadline = fetchDeadlineSeconds(size);
    const std::string reason = "timeout " + std::to_string(static_cast<int64_t>(deadline)) + " s";
    if (auto earlier = pending_.find(clipId); earlier != pending_.end()) deps_.scheduler.cancel(earlier->second.deadline);
    const Scheduler::JobId job = deps_.scheduler.after(
        static_cast<uint64_t>(std::llround(deadline * 1e6)),
        onMain([clipId, reason](PasteboardBridge& self) { self.handleFailed(clipId, reason); }));
    pending_[clipId] = Pending{uti, name, job};
    deps_.log("📋 kotwica " + id + " " + uti + " " + std::to_string(size) + " B → prefetch");
    session->requestClipboard(clipId, 0);
    return;
  }
  if (name.empty()) {
    deps_.log("📋 kotwica " + id + " " + std::to_string(size) + " B > cap (nie-plik) — pomijam");
    return;
  }
  offerPromise(clipId, uti, size, name);
}

void PasteboardBridge::offerPromise(uint64_t clipId, const std::string&, uint32_t size, const std::string& name) {
  auto promise = std::make_shared<PasteboardFilePromise>();
  promise->name = clipPasteFileName(name);
  // The fetch runs on the backend's worker: it holds the bridge weakly and blocks on the rendezvous,
  // which the completion on the main executor wakes.
  std::weak_ptr<PasteboardBridge> weak = weak_from_this();
  PasteboardContent content;
  content.promise = promise;
  const uint64_t offer = out_.nextOffer();
  promise->fulfil = [weak, clipId, fileName = promise->name, offer]() -> std::optional<std::filesystem::path> {
    auto self = weak.lock();
    if (!self) return std::nullopt;
    return self->fetchPromised(clipId, fileName, offer);
  };
  lastChangeCount_ = deps_.pasteboard.write(std::move(content));
  promises_.push_back(std::move(promise));
  while (promises_.size() > keptPromises) promises_.pop_front();
  deps_.log("📋 kotwica " + std::to_string(clipId) + " PLIK " + std::to_string(size) + " B > cap → obietnica pliku");
}

std::optional<std::filesystem::path> PasteboardBridge::fetchPromised(uint64_t clipId, const std::string& name,
                                                                   uint64_t offer) {
  // The session that promised the file ended, or a newer copy replaced the promise: nobody would send it.
  if (out_.currentOffer() != offer) return std::nullopt;
  const std::function<void()> request = onMain([clipId, offer](PasteboardBridge& self) {
    auto session = self.session_.lock();
    if (session && self.out_.currentOffer() == offer) session->requestClipboard(clipId, 0);
    else self.rendezvous_.abandon(clipId);
  });
  const std::optional<vela::ClipPayload> payload = rendezvous_.fetch(clipId, promiseFetchTimeoutSeconds, request);
  if (!payload || !payload->isFile()) return std::nullopt;
  return out_.place(payload->path(), name, offer);
}

void PasteboardBridge::handleComplete(uint64_t clipId, const vela::ClipPayload& payload) {
  // A promise waiting on the backend's worker is woken first; it does not need the main executor.
  const bool promised = rendezvous_.deliver(clipId, payload);
  auto entry = pending_.find(clipId);
  if (entry == pending_.end()) {
    // Late (past its deadline) or never asked for: a received file that nobody takes goes at once.
    if (!promised) removeReceived(payload);
    return;
  }
  const Pending pending = entry->second;
  pending_.erase(entry);
  deps_.scheduler.cancel(pending.deadline);
  deps_.log("📋 komplet " + std::to_string(clipId) + " " + pending.uti);
  writePasteboard(pending.uti, pending.name, payload);
}

void PasteboardBridge::writePasteboard(const std::string& uti, const std::string& name, const vela::ClipPayload& payload) {
  PasteboardContent content;
  bool ready = false;
  // What the pasteboard offered so far gives way to this item.
  const uint64_t offer = out_.nextOffer();
  if (!name.empty() && payload.isFile()) {
    if (auto placed = out_.place(payload.path(), clipPasteFileName(name), offer)) {
      content.files.push_back(*placed);
      ready = true;
    }
  }
  if (!ready) {
    std::optional<Bytes> bytes = payload.isMemory() ? Bytes(payload.bytes().begin(), payload.bytes().end()) : payload.readData();
    // Its bytes go onto the pasteboard: the received file has no further use.
    removeReceived(payload);
    if (!bytes) {
      // Nothing readable arrived: what the user had on the clipboard stays.
      deps_.log("📋 odebrany plik nieczytelny — schowek bez zmian");
      return;
    }
    const std::string valid = clipValidUTI(uti);
    const std::string_view view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (uti == textUti && isValidUtf8(view)) content.text = std::string(view);
    else if (valid == pngUti) content.png = std::move(*bytes);
    else content.data = std::make_pair(pasteboardMimeFor(valid), std::move(*bytes));
  }
  lastChangeCount_ = deps_.pasteboard.write(std::move(content));
}

void PasteboardBridge::removeReceived(const vela::ClipPayload& payload) {
  std::error_code error;
  if (payload.isFile()) std::filesystem::remove(payload.path(), error);
}

void PasteboardBridge::handleFailed(std::optional<uint64_t> clipId, const std::string& reason) {
  if (clipId) {
    if (auto entry = pending_.find(*clipId); entry != pending_.end()) {
      deps_.scheduler.cancel(entry->second.deadline);
      pending_.erase(entry);
      deps_.log("📋 kotwica " + std::to_string(*clipId) + " nieudana: " + reason);
    }
  } else {
    for (const auto& [id, pending] : pending_) deps_.scheduler.cancel(pending.deadline);
    if (!pending_.empty()) {
      deps_.log("📋 anuluję " + std::to_string(pending_.size()) + " oczekujących (" + reason + ")");
    }
    pending_.clear();
  }
  cancelXferClear();
  clipXfer.set(std::nullopt);
}

void PasteboardBridge::handleProgress(vela::ClipDir dir, uint32_t sent, uint32_t total) {
  if (total == 0) return;
  cancelXferClear();
  const vela::Platform peer = deps_.clientPlatform ? deps_.clientPlatform().value_or(vela::Platform::mac) : vela::Platform::mac;
  const bool done = sent >= total;
  clipXfer.set(ClipXferState{dir, peer, std::min(sent, total), total, done});
  if (done) {
    // A clear already on its way to the main executor when newer progress arrived must not hide it.
    const uint64_t generation = ++xferGeneration_;
    xferClear_ = deps_.scheduler.after(finishedXferClearUs, onMain([generation](PasteboardBridge& self) {
      if (self.xferGeneration_ != generation) return;
      self.xferClear_.reset();
      self.clipXfer.set(std::nullopt);
    }));
  }
}

void PasteboardBridge::cancelXferClear() {
  ++xferGeneration_;
  if (xferClear_) deps_.scheduler.cancel(*xferClear_);
  xferClear_.reset();
}

void PasteboardBridge::stop() {
  if (pollTimer_) deps_.scheduler.cancel(*pollTimer_);
  pollTimer_.reset();
  session_.reset();
  // Nothing of the ended session stays: its files go, and a paste of its promise waits no longer.
  out_.nextOffer();
  rendezvous_.abandonAll();
  handleFailed(std::nullopt, "sesja zakończona");
}

}  // namespace tavlo
