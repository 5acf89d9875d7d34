#pragma once
// The host desktop's CLIPBOARD selection through xcb. One thread owns the connection: it serves other
// programs' requests for what we own (INCR for large items), watches owner changes through XFixes
// (the change counter) and reads what others own for the bridge. Other threads post jobs to it and
// wait for the answer, so nothing here runs on the tray's Qt loop, and --no-ui works the same.
//
// A read of another program's clipboard is bounded in bytes, types and time; what we serve is held
// once, however many readers take it at the same time. A promised file is fetched on a worker thread
// of its own when a reader first asks for the uri-list; the serving thread goes on answering others
// meanwhile.
#include <future>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

#include "platform/pasteboard/pasteboard.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class XcbConnection;

struct X11PasteboardOptions {
  // Where an item dropped from another program's clipboard is told (the serving thread calls it).
  LogSink log;
  // Every read and transfer time-out counts on this clock.
  const Clock* clock = &SteadyClock::shared();
};

class X11Pasteboard final : public Pasteboard {
 public:
  // Bounds of one read of another program's clipboard: past one (the program is hostile or broken)
  // the item is dropped with a log line. Its bytes: Pasteboard::maxItemBytes. Its target list: this
  // many types (programs offer tens).
  static constexpr size_t maxTargets = 1024;
  // How long the owner may keep one step of a read waiting (the answer, the next INCR chunk).
  static constexpr uint64_t readTimeoutMs = 3000;
  // How long a whole read may take, all its INCR chunks included.
  static constexpr uint64_t readTotalTimeoutMs = 10'000;
  // Items above this go out in INCR chunks of this size.
  static constexpr size_t chunkBytes = 256 * 1024;
  // A reader that stops taking INCR chunks for this long is dropped.
  static constexpr uint64_t incrIdleTimeoutMs = 10'000;

  using Options = X11PasteboardOptions;

  // Connects to `display` (empty: $DISPLAY); null with the reason in `error` when it cannot.
  static std::unique_ptr<X11Pasteboard> open(const std::string& display, std::string* error = nullptr,
                                             Options options = {});
  ~X11Pasteboard() override;
  X11Pasteboard(const X11Pasteboard&) = delete;
  X11Pasteboard& operator=(const X11Pasteboard&) = delete;

  int64_t changeCount() const override;
  bool hasOwnMarker() const override;
  std::vector<std::filesystem::path> files() const override;
  std::optional<std::string> text() const override;
  std::optional<Bytes> png() const override;
  int64_t write(PasteboardContent content) override;

  // The bytes of another owner's `target` (a MIME type, or "TARGETS": the offered types as atom names),
  // for tests and the reads above; nothing when the owner refuses, has none, or passes a read's bounds.
  std::optional<Bytes> readTarget(const std::string& target) const;
  std::vector<std::string> targets() const;

 private:
  // A read of another owner's target, one at a time on the serving thread.
  struct Read {
    xcb_atom_t target = 0;
    std::string name;  // the target's, for the log
    size_t maxBytes = 0;
    std::promise<std::optional<Bytes>> result;
    bool incr = false;
    Bytes data;
    uint64_t stepDeadlineUs = 0;
    uint64_t endUs = 0;
  };
  // What one target is served as: a view of bytes that `owner` keeps alive, so that every reader of
  // a large item is served from the one copy the content holds, however many transfers are open.
  struct Served {
    xcb_atom_t type = 0;
    uint8_t format = 8;
    std::shared_ptr<const void> owner;
    std::span<const uint8_t> bytes;
  };
  // An item going out to one reader in INCR chunks.
  struct IncrSend {
    Served item;
    size_t offset = 0;
    uint64_t lastActivityUs = 0;
  };
  // The targets the current owner offers, read once per owner change.
  struct Offered {
    int64_t changeCount = -1;
    std::vector<xcb_atom_t> atoms;
  };
  // A reader's request for a promised file, answered once the file is there.
  struct PromiseReader {
    xcb_selection_request_event_t request;
    xcb_atom_t property = 0;
  };
  using Job = std::function<void()>;
  // Jobs for the serving thread. Shared with promise workers, which may outlive the pasteboard: once
  // closed, posts are dropped and the wake descriptor is no longer written.
  struct Mailbox {
    std::mutex mutex;
    std::deque<Job> jobs;
    int wakeWrite = -1;
    bool closed = false;
    bool post(Job job);
  };

  X11Pasteboard(std::unique_ptr<XcbConnection> connection, Options options);
  uint64_t nowUs() const { return options_.clock->nowUs(); }
  void run();
  bool post(Job job) const { return mailbox_->post(std::move(job)); }
  xcb_atom_t atom(const std::string& name) const;

  void handleEvent(xcb_generic_event_t* event);
  void log(const std::string& line) const;

  // Reading (x11_pasteboard_read.cpp).
  std::optional<Bytes> read(xcb_atom_t target, std::string name, size_t maxBytes) const;
  std::vector<xcb_atom_t> offeredAtoms() const;
  bool offers(xcb_atom_t target) const;
  void startNextRead();
  void finishRead(std::optional<Bytes> result);
  // Ends the current read with nothing and a log line saying why.
  void dropRead(const std::string& reason);
  void dropOversizedRead();
  void checkReadTime();
  // Takes the value the owner put in `property` on our window. Nothing, and the read has ended (with
  // nothing, or dropped), when it cannot be had or is larger than `maxBytes`.
  std::optional<Bytes> takeOrEndRead(xcb_atom_t property, size_t maxBytes, xcb_atom_t& type);
  void onSelectionNotify(const xcb_selection_notify_event_t& event);
  void onReadPropertyChange(const xcb_property_notify_event_t& event);

  // Serving (x11_pasteboard_serve.cpp).
  void onSelectionRequest(const xcb_selection_request_event_t& request);
  std::vector<xcb_atom_t> offeredTargets() const;
  std::optional<Served> servedFor(xcb_atom_t target) const;
  static Served servedCopy(xcb_atom_t type, uint8_t format, Bytes bytes);
  void answer(const xcb_selection_request_event_t& request, xcb_atom_t property, Served item);
  void refuse(const xcb_selection_request_event_t& request);
  void servePromise(const xcb_selection_request_event_t& request, xcb_atom_t property);
  void continueIncr(xcb_window_t window, xcb_atom_t property);
  void dropIdleTransfers();
  // Transfers by reader window and property.
  using IncrSends = std::map<std::pair<xcb_window_t, xcb_atom_t>, std::unique_ptr<IncrSend>>;
  // Forgets a transfer; we stop watching the reader's window when no other transfer to it is open.
  void endTransfer(IncrSends::iterator transfer);

  Options options_;
  std::unique_ptr<XcbConnection> connection_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  uint8_t xfixesEvent_ = 0;
  int wakeRead_ = -1;
  std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();

  // Atoms used on every request, interned once.
  xcb_atom_t clipboard_ = 0, targets_ = 0, timestamp_ = 0, incr_ = 0, atomType_ = 0, utf8_ = 0, textPlainUtf8_ = 0,
             uriList_ = 0, png_ = 0, marker_ = 0, readProperty_ = 0;

  mutable std::mutex mutex_;  // guards the fields below
  int64_t changeCount_ = 0;
  bool owned_ = false;
  // What we serve; shared so a request copies no bytes under the lock.
  std::shared_ptr<const PasteboardContent> content_ = std::make_shared<const PasteboardContent>();
  mutable Offered offered_;

  // The serving thread's own state (never touched elsewhere).
  std::unique_ptr<Read> read_;
  std::deque<std::unique_ptr<Read>> queuedReads_;
  IncrSends incrSends_;
  // Readers waiting for a promise being fetched, by promise: one fetch answers them all.
  std::map<std::shared_ptr<PasteboardFilePromise>, std::vector<PromiseReader>> promiseReaders_;
  // The file a promise gave, so later pastes of the same promise need no second fetch.
  std::shared_ptr<PasteboardFilePromise> fulfilledPromise_;
  std::filesystem::path fulfilledPath_;
  std::thread thread_;
  // A fake clock's advance wakes the serving thread to look at its deadlines.
  Clock::Subscription clockWake_;
};

}  // namespace tavlo
