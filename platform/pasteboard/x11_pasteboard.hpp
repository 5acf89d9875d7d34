#pragma once
// The host desktop's CLIPBOARD selection through xcb. One thread owns the connection: it serves other
// programs' requests for what we own (INCR for large items), watches owner changes through XFixes
// (the change counter) and reads what others own for the bridge. Other threads post jobs to it and
// wait for the answer, so nothing here runs on the tray's Qt loop, and --no-ui works the same.
//
// A promised file is fetched on a worker thread of its own when a reader first asks for the
// uri-list; the serving thread goes on answering others meanwhile.
#include <chrono>
#include <future>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
  // How long a read of another program's clipboard may take before it counts as empty.
  static constexpr uint64_t readTimeoutMs = 3000;
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

  // The bytes of another owner's `target` (a MIME type or "TARGETS" as atom names), for tests and the
  // reads above; nothing when the owner refuses, has none or does not answer in time.
  std::optional<Bytes> readTarget(const std::string& target) const;
  std::vector<std::string> targets() const;

 private:
  // A read of another owner's target, one at a time on the serving thread.
  struct Read {
    xcb_atom_t target = 0;
    std::promise<std::optional<Bytes>> result;
    bool incr = false;
    Bytes data;
    uint64_t deadlineUs = 0;
  };
  // An item going out to one reader in INCR chunks.
  struct IncrSend {
    xcb_atom_t type = 0;
    Bytes data;
    size_t offset = 0;
    uint64_t lastActivityUs = 0;
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
  std::string atomName(xcb_atom_t atom) const;

  void handleEvent(xcb_generic_event_t* event);
  void startNextRead();
  void finishRead(std::optional<Bytes> result);
  void onSelectionNotify(const xcb_selection_notify_event_t& event);
  void onPropertyNotify(const xcb_property_notify_event_t& event);

  // Serving (x11_pasteboard_serve.cpp).
  void onSelectionRequest(const xcb_selection_request_event_t& request);
  std::vector<xcb_atom_t> offeredTargets() const;
  std::optional<std::pair<xcb_atom_t, Bytes>> bytesFor(xcb_atom_t target) const;
  void answer(const xcb_selection_request_event_t& request, xcb_atom_t property, xcb_atom_t type, uint8_t format,
              const Bytes& bytes);
  void refuse(const xcb_selection_request_event_t& request);
  void servePromise(const xcb_selection_request_event_t& request, xcb_atom_t property);
  void continueIncr(xcb_window_t window, xcb_atom_t property);
  void dropIdleTransfers();

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

  // The serving thread's own state (never touched elsewhere).
  std::unique_ptr<Read> read_;
  std::deque<std::unique_ptr<Read>> queuedReads_;
  std::map<std::pair<xcb_window_t, xcb_atom_t>, std::unique_ptr<IncrSend>> incrSends_;
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
