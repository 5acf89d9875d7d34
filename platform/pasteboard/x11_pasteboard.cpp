#include "platform/pasteboard/x11_pasteboard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>

#include <xcb/xfixes.h>

#include "platform/pasteboard/uri_list.hpp"
#include "platform/x11/xcb_connection.hpp"
#include "platform/x11/xfixes_version.hpp"

namespace tavlo {

bool X11Pasteboard::Mailbox::post(Job job) {
  std::lock_guard lock(mutex);
  if (closed) return false;
  jobs.push_back(std::move(job));
  const char byte = 1;
  // A full pipe already wakes the thread.
  [[maybe_unused]] const ssize_t written = ::write(wakeWrite, &byte, 1);
  return true;
}

std::unique_ptr<X11Pasteboard> X11Pasteboard::open(const std::string& display, std::string* error, Options options) {
  auto connection = XcbConnection::open(display, error);
  if (!connection) return nullptr;
  // Owner changes come as XFIXES selection events, there since its first version.
  if (negotiateXfixes(*connection, 5, 0).value_or(0) < 1) {
    if (error) *error = "serwer X bez XFIXES";
    return nullptr;
  }
  return std::unique_ptr<X11Pasteboard>(new X11Pasteboard(std::move(connection), std::move(options)));
}

X11Pasteboard::X11Pasteboard(std::unique_ptr<XcbConnection> connection, Options options)
    : options_(std::move(options)), connection_(std::move(connection)), c_(connection_->get()) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) fds[0] = fds[1] = -1;
  wakeRead_ = fds[0];
  mailbox_->wakeWrite = fds[1];

  clipboard_ = atom("CLIPBOARD");
  targets_ = atom("TARGETS");
  timestamp_ = atom("TIMESTAMP");
  incr_ = atom("INCR");
  atomType_ = XCB_ATOM_ATOM;
  utf8_ = atom("UTF8_STRING");
  textPlainUtf8_ = atom("text/plain;charset=utf-8");
  uriList_ = atom("text/uri-list");
  png_ = atom("image/png");
  // Our own target: whoever owns the clipboard with it is a Tavlo host that wrote a client's item.
  marker_ = atom("application/x-tavlo-clip");
  readProperty_ = atom("TAVLO_CLIP_READ");

  window_ = xcb_generate_id(c_);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, connection_->root(), -1, -1, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  xfixesEvent_ = xcb_get_extension_data(c_, &xcb_xfixes_id)->first_event + XCB_XFIXES_SELECTION_NOTIFY;
  xcb_xfixes_select_selection_input(c_, window_, clipboard_,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  xcb_flush(c_);
  thread_ = std::thread([this] { run(); });
  clockWake_ = options_.clock->subscribeAdvance([mailbox = mailbox_] { mailbox->post([] {}); });
}

X11Pasteboard::~X11Pasteboard() {
  clockWake_.reset();
  {
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->closed = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(mailbox_->wakeWrite, &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  xcb_destroy_window(c_, window_);
  xcb_flush(c_);
  std::lock_guard lock(mailbox_->mutex);
  ::close(mailbox_->wakeWrite);
  mailbox_->wakeWrite = -1;
  ::close(wakeRead_);
}

xcb_atom_t X11Pasteboard::atom(const std::string& name) const {
  auto reply = xcbOwn(xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

void X11Pasteboard::run() {
  const int xfd = xcb_get_file_descriptor(c_);
  for (;;) {
    pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    ::poll(fds, 2, 200);
    char drain[64];
    while (::read(wakeRead_, drain, sizeof drain) > 0) {
    }
    std::deque<Job> jobs;
    bool closed = false;
    {
      std::lock_guard lock(mailbox_->mutex);
      jobs.swap(mailbox_->jobs);
      closed = mailbox_->closed;
    }
    if (closed || !connection_->healthy()) break;
    for (Job& job : jobs) job();
    while (auto event = xcbOwn(xcb_poll_for_event(c_))) handleEvent(event.get());
    if (read_) checkReadTime();
    dropIdleTransfers();
    xcb_flush(c_);
  }
  // Readers still waiting get nothing rather than hanging, and so do reads posted from now on (the
  // mailbox refuses them; a job dropped unrun breaks its read's promise).
  if (read_) read_->result.set_value(std::nullopt);
  for (auto& queued : queuedReads_) queued->result.set_value(std::nullopt);
  std::deque<Job> dropped;
  {
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->closed = true;
    dropped.swap(mailbox_->jobs);
  }
}

void X11Pasteboard::handleEvent(xcb_generic_event_t* event) {
  const uint8_t type = event->response_type & 0x7F;
  if (type == xfixesEvent_) {
    std::lock_guard lock(mutex_);
    ++changeCount_;
    return;
  }
  switch (type) {
    case XCB_SELECTION_REQUEST:
      onSelectionRequest(*reinterpret_cast<xcb_selection_request_event_t*>(event));
      break;
    case XCB_SELECTION_NOTIFY:
      onSelectionNotify(*reinterpret_cast<xcb_selection_notify_event_t*>(event));
      break;
    case XCB_PROPERTY_NOTIFY: {
      const auto& changed = *reinterpret_cast<xcb_property_notify_event_t*>(event);
      // A reader took a chunk of ours off its window; anything on our own window belongs to a read.
      if (changed.window != window_) {
        if (changed.state == XCB_PROPERTY_DELETE) continueIncr(changed.window, changed.atom);
      } else {
        onReadPropertyChange(changed);
      }
      break;
    }
    case XCB_SELECTION_CLEAR: {
      std::lock_guard lock(mutex_);
      owned_ = false;
      content_ = std::make_shared<const PasteboardContent>();
      break;
    }
    default:
      break;
  }
}

void X11Pasteboard::log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

int64_t X11Pasteboard::changeCount() const {
  std::lock_guard lock(mutex_);
  return changeCount_;
}

bool X11Pasteboard::hasOwnMarker() const {
  std::lock_guard lock(mutex_);
  return owned_;
}

int64_t X11Pasteboard::write(PasteboardContent content) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> written = done->get_future();
  post([this, content = std::move(content), done]() mutable {
    {
      std::lock_guard lock(mutex_);
      content_ = std::make_shared<const PasteboardContent>(std::move(content));
      owned_ = true;
      ++changeCount_;
    }
    fulfilledPromise_.reset();
    xcb_set_selection_owner(c_, window_, clipboard_, XCB_CURRENT_TIME);
    // The server takes the requests of different clients in any order: a program that asks for the
    // clipboard once write() has returned could still reach the previous owner while ours waits in
    // the socket. The round trip makes the ownership take effect before write() returns.
    auto owner = xcbOwn(xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr));
    if (!owner || owner->owner != window_) {
      std::lock_guard lock(mutex_);
      owned_ = false;
      content_ = std::make_shared<const PasteboardContent>();
    }
    done->set_value();
  });
  written.wait_for(std::chrono::milliseconds(readTimeoutMs));
  return changeCount();
}

}  // namespace tavlo
