#include "tests/platform/pasteboard/clipboard_test_clients.hpp"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tavlo::pasteboardtest {

namespace {

constexpr auto answerWait = std::chrono::seconds(5);
// A larger property value goes over in appended pieces (xcb sends each as a big request); the server
// copies the whole value on every append, so the pieces are large.
constexpr size_t pieceBytes = 4 * 1024 * 1024;

xcb_atom_t internOn(xcb_connection_t* c, const std::string& name) {
  auto reply = xcbOwn(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

void notify(xcb_connection_t* c, xcb_window_t requestor, xcb_atom_t selection, xcb_atom_t target,
            xcb_atom_t property) {
  xcb_selection_notify_event_t event{};
  event.response_type = XCB_SELECTION_NOTIFY;
  event.requestor = requestor;
  event.selection = selection;
  event.target = target;
  event.property = property;
  xcb_send_event(c, 0, requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  xcb_flush(c);
}

}  // namespace

RawClipboardReader::RawClipboardReader(const std::string& display) : connection_(XcbConnection::open(display)) {
  if (!connection_) return;
  c_ = connection_->get();
  window_ = xcb_generate_id(c_);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, connection_->root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  property_ = intern("RAW_CLIP_READ");
}

xcb_atom_t RawClipboardReader::intern(const std::string& name) { return internOn(c_, name); }

void RawClipboardReader::ask(const std::string& target, const std::string& property) {
  xcb_convert_selection(c_, window_, intern("CLIPBOARD"), intern(target), propertyAtom(property), XCB_CURRENT_TIME);
  xcbOwn(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

template <class Match>
XcbReply<xcb_generic_event_t> RawClipboardReader::nextEvent(Match match) {
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if (!match(**it)) continue;
    XcbReply<xcb_generic_event_t> event = std::move(*it);
    held_.erase(it);
    return event;
  }
  const auto until = std::chrono::steady_clock::now() + answerWait;
  while (std::chrono::steady_clock::now() < until) {
    auto event = xcbOwn(xcb_poll_for_event(c_));
    if (!event) {
      pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&fd, 1, 5);
      continue;
    }
    if (match(*event)) return event;
    held_.push_back(std::move(event));
  }
  return xcbOwn<xcb_generic_event_t>(nullptr);
}

std::optional<Bytes> RawClipboardReader::take(xcb_atom_t property) {
  auto reply = xcbOwn(xcb_get_property_reply(
      c_, xcb_get_property(c_, 1, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4), nullptr));
  if (!reply) return std::nullopt;
  const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(reply.get()));
  return Bytes(data, data + xcb_get_property_value_length(reply.get()));
}

bool RawClipboardReader::answered(xcb_atom_t property) {
  auto event = nextEvent([property](const xcb_generic_event_t& e) {
    if ((e.response_type & 0x7F) != XCB_SELECTION_NOTIFY) return false;
    const auto& notify = reinterpret_cast<const xcb_selection_notify_event_t&>(e);
    return notify.property == property || notify.property == XCB_ATOM_NONE;
  });
  return event && reinterpret_cast<const xcb_selection_notify_event_t&>(*event).property != XCB_ATOM_NONE;
}

std::optional<Bytes> RawClipboardReader::answer(const std::string& property) {
  const xcb_atom_t wanted = propertyAtom(property);
  if (!answered(wanted)) return std::nullopt;
  return take(wanted);
}

std::optional<bool> RawClipboardReader::awaitAnswer(const std::string& property) {
  const xcb_atom_t wanted = propertyAtom(property);
  if (!answered(wanted)) return std::nullopt;
  auto head = xcbOwn(xcb_get_property_reply(
      c_, xcb_get_property(c_, 0, window_, wanted, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
  if (!head) return std::nullopt;
  return head->type == intern("INCR");
}

std::optional<Bytes> RawClipboardReader::takeChunk(const std::string& property) {
  const xcb_atom_t wanted = propertyAtom(property);
  if (std::find(inTransfer_.begin(), inTransfer_.end(), wanted) == inTransfer_.end()) {
    // The header's own new value came before the answer: only chunks written after it count.
    std::erase_if(held_, [wanted](const auto& e) {
      return (e->response_type & 0x7F) == XCB_PROPERTY_NOTIFY &&
             reinterpret_cast<const xcb_property_notify_event_t&>(*e).atom == wanted;
    });
    inTransfer_.push_back(wanted);
    return take(wanted);
  }
  auto event = nextEvent([this, wanted](const xcb_generic_event_t& e) {
    if ((e.response_type & 0x7F) != XCB_PROPERTY_NOTIFY) return false;
    const auto& changed = reinterpret_cast<const xcb_property_notify_event_t&>(e);
    return changed.window == window_ && changed.atom == wanted && changed.state == XCB_PROPERTY_NEW_VALUE;
  });
  if (!event) return std::nullopt;
  std::optional<Bytes> chunk = take(wanted);
  if (chunk && chunk->empty()) std::erase(inTransfer_, wanted);
  return chunk;
}

HostileClipboardOwner::HostileClipboardOwner(const std::string& display, Behaviour behaviour)
    : behaviour_(behaviour), connection_(XcbConnection::open(display)) {
  if (!connection_) return;
  c_ = connection_->get();
  window_ = xcb_generate_id(c_);
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, connection_->root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  clipboard_ = internOn(c_, "CLIPBOARD");
  targets_ = internOn(c_, "TARGETS");
  utf8_ = internOn(c_, "UTF8_STRING");
  incr_ = internOn(c_, "INCR");
  piece_.assign(std::max(pieceBytes, behaviour_.chunkBytes), 'x');
  xcb_set_selection_owner(c_, window_, clipboard_, XCB_CURRENT_TIME);
  auto owner = xcbOwn(xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr));
  owns_ = owner && owner->owner == window_;
  thread_ = std::thread([this] { run(); });
}

void HostileClipboardOwner::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void HostileClipboardOwner::run() {
  while (!stopping_ && connection_->healthy()) {
    pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
    ::poll(&fd, 1, 10);
    while (auto event = xcbOwn(xcb_poll_for_event(c_))) {
      const uint8_t type = event->response_type & 0x7F;
      if (type == XCB_SELECTION_REQUEST) {
        const auto& request = reinterpret_cast<const xcb_selection_request_event_t&>(*event);
        const xcb_atom_t property = request.property == XCB_ATOM_NONE ? request.target : request.property;
        if (request.target == targets_) {
          serveTargets(request.requestor, property);
          notify(c_, request.requestor, clipboard_, request.target, property);
        } else if (request.target == utf8_) {
          ++itemRequests_;
          serveItem(request.requestor, property);
        } else {
          notify(c_, request.requestor, clipboard_, request.target, XCB_ATOM_NONE);
        }
      } else if (type == XCB_PROPERTY_NOTIFY) {
        const auto& changed = reinterpret_cast<const xcb_property_notify_event_t&>(*event);
        if (changed.state == XCB_PROPERTY_DELETE && changed.window == incrWindow_ && changed.atom == incrProperty_) {
          nextChunk(changed.window, changed.atom);
        }
      }
    }
  }
}

void HostileClipboardOwner::serveTargets(xcb_window_t requestor, xcb_atom_t property) {
  if (behaviour_.targetCount == 0) {
    const xcb_atom_t offered[] = {targets_, utf8_};
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32, 2, offered);
    return;
  }
  Bytes atoms(pieceBytes);
  for (size_t i = 0; i + 4 <= atoms.size(); i += 4) std::memcpy(atoms.data() + i, &utf8_, 4);
  std::swap(atoms, piece_);
  writeLarge(requestor, property, XCB_ATOM_ATOM, 32, behaviour_.targetCount * 4);
  std::swap(atoms, piece_);
}

void HostileClipboardOwner::serveItem(xcb_window_t requestor, xcb_atom_t property) {
  switch (behaviour_.serves) {
    case Serves::oneProperty:
      writeLarge(requestor, property, utf8_, 8, behaviour_.itemBytes);
      notify(c_, requestor, clipboard_, utf8_, property);
      return;
    case Serves::incr: {
      const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
      xcb_change_window_attributes(c_, requestor, XCB_CW_EVENT_MASK, &mask);
      // The header is only a lower bound of the size: it claims little.
      const uint32_t claimed = 1024;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, incr_, 32, 1, &claimed);
      incrWindow_ = requestor;
      incrProperty_ = property;
      incrSent_ = 0;
      notify(c_, requestor, clipboard_, utf8_, property);
      return;
    }
    case Serves::nothing:
      return;
  }
}

void HostileClipboardOwner::nextChunk(xcb_window_t requestor, xcb_atom_t property) {
  const bool endless = behaviour_.itemBytes == 0;
  size_t length = behaviour_.chunkBytes;
  if (!endless) length = std::min(length, behaviour_.itemBytes - incrSent_);
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, utf8_, 8, static_cast<uint32_t>(length),
                      piece_.data());
  xcb_flush(c_);
  incrSent_ += length;
  ++chunksSent_;
  if (length == 0) incrWindow_ = 0;
}

void HostileClipboardOwner::writeLarge(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, uint8_t format,
                                       size_t bytes) {
  size_t written = 0;
  uint8_t mode = XCB_PROP_MODE_REPLACE;
  do {
    const size_t length = std::min(pieceBytes, bytes - written);
    xcb_change_property(c_, mode, window, property, type, format, static_cast<uint32_t>(length / (format / 8)),
                        piece_.data());
    mode = XCB_PROP_MODE_APPEND;
    written += length;
  } while (written < bytes);
  xcb_flush(c_);
}

}  // namespace tavlo::pasteboardtest
