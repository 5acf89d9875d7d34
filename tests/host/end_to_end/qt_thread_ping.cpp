#include "tests/host/end_to_end/qt_thread_ping.hpp"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace tavlo::hosttest {
namespace {

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  auto reply = xcbOwn(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : XCB_NONE;
}

// The property's bytes, empty when it is not there.
std::string property(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name) {
  auto reply = xcbOwn(xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                                             nullptr));
  if (!reply) return {};
  // The value's length in bytes.
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     size_t(xcb_get_property_value_length(reply.get())));
}

bool takesAtom(const std::string& atoms, xcb_atom_t atom) {
  for (size_t at = 0; at + 4 <= atoms.size(); at += 4) {
    uint32_t value;
    std::memcpy(&value, atoms.data() + at, 4);
    if (value == atom) return true;
  }
  return false;
}

double millisBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

namespace {

// Every window under the root of the process whose WM_CLASS holds `className` and that takes
// _NET_WM_PING, in the tree's order.
std::vector<xcb_window_t> pingableWindows(const XcbConnection& x, const std::string& className) {
  xcb_connection_t* c = x.get();
  const xcb_atom_t protocols = internAtom(c, "WM_PROTOCOLS");
  const xcb_atom_t ping = internAtom(c, "_NET_WM_PING");
  std::vector<xcb_window_t> found;
  std::function<void(xcb_window_t)> search = [&](xcb_window_t window) {
    auto tree = xcbOwn(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
    if (!tree) return;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
      const std::string wmClass = property(c, children[i], XCB_ATOM_WM_CLASS);
      if (wmClass.find(className) != std::string::npos && takesAtom(property(c, children[i], protocols), ping)) {
        found.push_back(children[i]);
      }
      search(children[i]);
    }
  };
  search(x.root());
  return found;
}

}  // namespace

std::optional<xcb_window_t> findPingableWindow(const XcbConnection& x, const std::string& className) {
  auto windows = pingableWindows(x, className);
  if (windows.empty()) return std::nullopt;
  return windows.front();
}

size_t viewablePingableWindows(const XcbConnection& x, const std::string& className) {
  const std::vector<xcb_window_t> windows = pingableWindows(x, className);
  return size_t(std::count_if(windows.begin(), windows.end(), [&](xcb_window_t w) {
    auto attributes = xcbOwn(xcb_get_window_attributes_reply(x.get(), xcb_get_window_attributes(x.get(), w), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  }));
}

std::unique_ptr<QtThreadPing> QtThreadPing::start(const std::string& display, xcb_window_t window,
                                                  std::chrono::milliseconds interval, std::string* error) {
  auto x = XcbConnection::open(display, error);
  if (!x) return nullptr;
  return std::unique_ptr<QtThreadPing>(new QtThreadPing(std::move(x), window, interval));
}

QtThreadPing::QtThreadPing(std::unique_ptr<XcbConnection> x, xcb_window_t window, std::chrono::milliseconds interval)
    : x_(std::move(x)), window_(window), interval_(interval) {
  xcb_connection_t* c = x_->get();
  protocols_ = internAtom(c, "WM_PROTOCOLS");
  ping_ = internAtom(c, "_NET_WM_PING");
  // Qt sends the answer to the root window for the clients that listen to its structure.
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, x_->root(), XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
  thread_ = std::thread([this] { run(); });
}

QtThreadPing::~QtThreadPing() {
  stopping_ = true;
  thread_.join();
}

void QtThreadPing::send(uint32_t sequence) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window_;
  event.type = protocols_;
  event.data.data32[0] = ping_;
  event.data.data32[1] = sequence;  // the timestamp field: Qt sends it back unchanged
  event.data.data32[2] = window_;
  xcb_send_event(x_->get(), 0, window_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  xcb_flush(x_->get());
}

void QtThreadPing::receive(const xcb_generic_event_t& generic, std::chrono::steady_clock::time_point at) {
  if ((generic.response_type & 0x7f) != XCB_CLIENT_MESSAGE) return;
  const auto& event = reinterpret_cast<const xcb_client_message_event_t&>(generic);
  if (event.type != protocols_ || event.data.data32[0] != ping_ || event.data.data32[2] != window_) return;
  std::lock_guard guard(mutex_);
  auto it = outstanding_.find(event.data.data32[1]);
  if (it == outstanding_.end()) return;
  latenciesMs_.push_back(millisBetween(it->second, at));
  lastAnswered_ = std::max(lastAnswered_, it->first);
  outstanding_.erase(it);
}

void QtThreadPing::run() {
  xcb_connection_t* c = x_->get();
  auto nextSend = std::chrono::steady_clock::now();
  while (!stopping_ && x_->healthy()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextSend) {
      uint32_t sequence;
      {
        std::lock_guard guard(mutex_);
        sequence = nextSequence_++;
        outstanding_[sequence] = now;
        ++sent_;
      }
      send(sequence);
      nextSend = now + interval_;
    }
    pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - std::chrono::steady_clock::now());
    ::poll(&p, 1, int(std::max<int64_t>(0, wait.count())));
    while (auto event = xcbOwn(xcb_poll_for_event(c))) receive(*event, std::chrono::steady_clock::now());
  }
}

QtThreadPing::Figures QtThreadPing::figures() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard guard(mutex_);
  std::vector<double> all = latenciesMs_;
  for (const auto& [sequence, sentAt] : outstanding_) all.push_back(millisBetween(sentAt, now));
  Figures figures;
  figures.sent = sent_;
  figures.answered = latenciesMs_.size();
  if (all.empty()) return figures;
  std::sort(all.begin(), all.end());
  figures.maxMs = all.back();
  figures.p99Ms = all[std::min(all.size() - 1, size_t(double(all.size()) * 0.99))];
  return figures;
}

void QtThreadPing::reset() {
  std::lock_guard guard(mutex_);
  latenciesMs_.clear();
  outstanding_.clear();
  sent_ = 0;
}

bool QtThreadPing::waitForAnswer(std::chrono::milliseconds within) {
  uint32_t after;
  {
    std::lock_guard guard(mutex_);
    after = nextSequence_;
  }
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard guard(mutex_);
      if (lastAnswered_ >= after) return true;
    }
    std::this_thread::sleep_for(interval_);
  }
  return false;
}

std::string QtThreadPing::Figures::text() const {
  return std::to_string(answered) + "/" + std::to_string(sent) + " pings answered, p99 " + std::to_string(p99Ms) +
         " ms, longest " + std::to_string(maxMs) + " ms";
}

}  // namespace tavlo::hosttest
