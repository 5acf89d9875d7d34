// Reading what another program owns on the CLIPBOARD selection, for the bridge: its target list, then
// one target at a time, in one property or in INCR chunks. Every read is bounded in bytes (no more
// than a peer would take), in types and in time, so that no program can make the host hold or wait
// for more; past a bound the item is dropped with a log line.
#include <cstring>
#include <future>

#include "platform/pasteboard/uri_list.hpp"
#include "platform/pasteboard/x11_pasteboard.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

std::optional<Bytes> X11Pasteboard::readTarget(const std::string& target) const {
  const size_t maxBytes = target == "TARGETS" ? maxTargets * sizeof(xcb_atom_t) : maxItemBytes;
  return read(atom(target), target, maxBytes);
}

std::optional<Bytes> X11Pasteboard::read(xcb_atom_t target, std::string name, size_t maxBytes) const {
  auto* self = const_cast<X11Pasteboard*>(this);
  auto read = std::make_unique<Read>();
  read->target = target;
  read->name = std::move(name);
  read->maxBytes = maxBytes;
  std::future<std::optional<Bytes>> result = read->result.get_future();
  auto shared = std::make_shared<std::unique_ptr<Read>>(std::move(read));
  if (!post([self, shared] {
        self->queuedReads_.push_back(std::move(*shared));
        self->startNextRead();
      })) {
    return std::nullopt;
  }
  // The serving thread always answers, within the read's bounds: with the bytes, with nothing, or
  // (once it has stopped) by dropping the read unrun.
  try {
    return result.get();
  } catch (const std::future_error&) {
    return std::nullopt;
  }
}

void X11Pasteboard::startNextRead() {
  if (read_ || queuedReads_.empty()) return;
  read_ = std::move(queuedReads_.front());
  queuedReads_.pop_front();
  const uint64_t now = nowUs();
  read_->stepDeadlineUs = now + readTimeoutMs * 1000;
  read_->endUs = now + readTotalTimeoutMs * 1000;
  xcb_delete_property(c_, window_, readProperty_);
  xcb_convert_selection(c_, window_, clipboard_, read_->target, readProperty_, XCB_CURRENT_TIME);
  xcb_flush(c_);
}

void X11Pasteboard::finishRead(std::optional<Bytes> result) {
  read_->result.set_value(std::move(result));
  read_.reset();
  startNextRead();
}

void X11Pasteboard::dropRead(const std::string& reason) {
  // The line goes out before the reader has its answer: whoever sees nothing come back finds it logged.
  log("📋 schowek pulpitu: pomijam " + read_->name + " — " + reason);
  finishRead(std::nullopt);
}

void X11Pasteboard::dropOversizedRead() {
  dropRead(read_->target == targets_ ? "ponad " + std::to_string(maxTargets) + " typów"
                                     : "większy niż " + std::to_string(read_->maxBytes) + " B");
}

void X11Pasteboard::checkReadTime() {
  const uint64_t now = nowUs();
  if (now > read_->endUs) {
    dropRead("trwa ponad " + std::to_string(readTotalTimeoutMs / 1000) + " s");
  } else if (now > read_->stepDeadlineUs) {
    dropRead("brak odpowiedzi od " + std::to_string(readTimeoutMs / 1000) + " s");
  }
}

std::optional<Bytes> X11Pasteboard::takeOrEndRead(xcb_atom_t property, size_t maxBytes, xcb_atom_t& type) {
  // The size first: an owner can grow a property past any request's size by appending to it, and a
  // value too large is never pulled over.
  auto head = xcbOwn(xcb_get_property_reply(
      c_, xcb_get_property(c_, 0, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
  if (!head) {
    finishRead(std::nullopt);
    return std::nullopt;
  }
  if (head->bytes_after > maxBytes) {
    xcb_delete_property(c_, window_, property);
    dropOversizedRead();
    return std::nullopt;
  }
  // Taking it deletes it, which tells an INCR sender to go on.
  const uint32_t words = (head->bytes_after + 3) / 4;
  auto reply = xcbOwn(xcb_get_property_reply(
      c_, xcb_get_property(c_, 1, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, words), nullptr));
  if (!reply) {
    finishRead(std::nullopt);
    return std::nullopt;
  }
  if (reply->bytes_after > 0) {
    // It grew between the two looks: only a hostile owner does that.
    xcb_delete_property(c_, window_, property);
    dropOversizedRead();
    return std::nullopt;
  }
  type = reply->type;
  const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(reply.get()));
  const int length = xcb_get_property_value_length(reply.get());
  return Bytes(data, data + (length > 0 ? length : 0));
}

void X11Pasteboard::onSelectionNotify(const xcb_selection_notify_event_t& event) {
  // An answer to a read that already gave up is not the current read's.
  if (!read_ || event.requestor != window_ || event.target != read_->target || read_->incr) return;
  if (event.property == XCB_ATOM_NONE) {
    finishRead(std::nullopt);
    return;
  }
  xcb_atom_t type = XCB_ATOM_NONE;
  std::optional<Bytes> bytes = takeOrEndRead(event.property, read_->maxBytes, type);
  if (!bytes) return;
  if (type != incr_) {
    finishRead(std::move(bytes));
    return;
  }
  // The header gives a lower bound of the size.
  uint32_t atLeast = 0;
  if (bytes->size() >= sizeof atLeast) std::memcpy(&atLeast, bytes->data(), sizeof atLeast);
  if (atLeast > read_->maxBytes) {
    dropOversizedRead();
    return;
  }
  read_->incr = true;
  read_->stepDeadlineUs = nowUs() + readTimeoutMs * 1000;
}

void X11Pasteboard::onReadPropertyChange(const xcb_property_notify_event_t& event) {
  if (!read_ || !read_->incr || event.atom != readProperty_ || event.state != XCB_PROPERTY_NEW_VALUE) return;
  xcb_atom_t type = XCB_ATOM_NONE;
  const std::optional<Bytes> chunk = takeOrEndRead(readProperty_, read_->maxBytes - read_->data.size(), type);
  if (!chunk) return;
  if (chunk->empty()) {
    finishRead(std::move(read_->data));
    return;
  }
  read_->data.insert(read_->data.end(), chunk->begin(), chunk->end());
  read_->stepDeadlineUs = nowUs() + readTimeoutMs * 1000;
}

std::vector<xcb_atom_t> X11Pasteboard::offeredAtoms() const {
  int64_t count = 0;
  {
    std::lock_guard lock(mutex_);
    count = changeCount_;
    if (offered_.changeCount == count) return offered_.atoms;
  }
  // Read once per owner change: the bridge's look at files, text and image costs one read of the list,
  // and one wait, not three, when the owner is slow.
  std::vector<xcb_atom_t> atoms;
  if (const std::optional<Bytes> raw = read(targets_, "TARGETS", maxTargets * sizeof(xcb_atom_t))) {
    atoms.resize(raw->size() / sizeof(xcb_atom_t));
    std::memcpy(atoms.data(), raw->data(), atoms.size() * sizeof(xcb_atom_t));
  }
  std::lock_guard lock(mutex_);
  offered_ = Offered{count, atoms};
  return atoms;
}

bool X11Pasteboard::offers(xcb_atom_t target) const {
  const std::vector<xcb_atom_t> offered = offeredAtoms();
  return std::find(offered.begin(), offered.end(), target) != offered.end();
}

std::vector<std::string> X11Pasteboard::targets() const {
  const std::vector<xcb_atom_t> atoms = offeredAtoms();
  // All names asked for at once: one round trip, not one per type.
  std::vector<xcb_get_atom_name_cookie_t> cookies;
  cookies.reserve(atoms.size());
  for (xcb_atom_t value : atoms) cookies.push_back(xcb_get_atom_name(c_, value));
  std::vector<std::string> names;
  names.reserve(atoms.size());
  for (xcb_get_atom_name_cookie_t cookie : cookies) {
    auto reply = xcbOwn(xcb_get_atom_name_reply(c_, cookie, nullptr));
    names.push_back(reply ? std::string(xcb_get_atom_name_name(reply.get()),
                                        static_cast<size_t>(xcb_get_atom_name_name_length(reply.get())))
                          : std::string());
  }
  return names;
}

std::vector<std::filesystem::path> X11Pasteboard::files() const {
  if (!offers(uriList_)) return {};
  const std::optional<Bytes> list = read(uriList_, "text/uri-list", maxItemBytes);
  if (!list) return {};
  return parseFileUriList(std::string_view(reinterpret_cast<const char*>(list->data()), list->size()));
}

std::optional<std::string> X11Pasteboard::text() const {
  const std::pair<xcb_atom_t, const char*> textTypes[] = {{utf8_, "UTF8_STRING"},
                                                          {textPlainUtf8_, "text/plain;charset=utf-8"}};
  for (const auto& [type, name] : textTypes) {
    if (!offers(type)) continue;
    if (auto bytes = read(type, name, maxItemBytes)) return std::string(bytes->begin(), bytes->end());
  }
  return std::nullopt;
}

std::optional<Bytes> X11Pasteboard::png() const {
  if (!offers(png_)) return std::nullopt;
  return read(png_, "image/png", maxItemBytes);
}

}  // namespace tavlo
