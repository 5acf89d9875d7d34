// Serving what we own on the CLIPBOARD selection to other programs: the target list, our marker, text,
// PNG, data and file lists, large items in INCR chunks, and promised files fetched off this thread.
#include <algorithm>
#include <thread>

#include "platform/pasteboard/uri_list.hpp"
#include "platform/pasteboard/x11_pasteboard.hpp"

namespace tavlo {

std::vector<xcb_atom_t> X11Pasteboard::offeredTargets() const {
  std::shared_ptr<const PasteboardContent> shared;
  {
    std::lock_guard lock(mutex_);
    shared = content_;
  }
  const PasteboardContent& content = *shared;
  std::vector<xcb_atom_t> offered{targets_, timestamp_, marker_};
  if (content.text) offered.insert(offered.end(), {utf8_, textPlainUtf8_});
  if (content.png) offered.push_back(png_);
  if (content.data) offered.push_back(atom(content.data->first));
  if (!content.files.empty() || content.promise) offered.push_back(uriList_);
  return offered;
}

X11Pasteboard::Served X11Pasteboard::servedCopy(xcb_atom_t type, uint8_t format, Bytes bytes) {
  auto owned = std::make_shared<const Bytes>(std::move(bytes));
  const std::span<const uint8_t> view(*owned);
  return Served{type, format, std::move(owned), view};
}

std::optional<X11Pasteboard::Served> X11Pasteboard::servedFor(xcb_atom_t target) const {
  std::shared_ptr<const PasteboardContent> content;
  {
    std::lock_guard lock(mutex_);
    content = content_;
  }
  if (target == marker_) return servedCopy(marker_, 8, Bytes{0x01});
  // The content's own bytes, kept alive by the transfers that serve them.
  if (content->text && (target == utf8_ || target == textPlainUtf8_)) {
    const std::span<const uint8_t> view(reinterpret_cast<const uint8_t*>(content->text->data()), content->text->size());
    return Served{target, 8, content, view};
  }
  if (content->png && target == png_) return Served{png_, 8, content, std::span<const uint8_t>(*content->png)};
  if (content->data && target == atom(content->data->first)) {
    return Served{target, 8, content, std::span<const uint8_t>(content->data->second)};
  }
  if (!content->files.empty() && target == uriList_) {
    const std::string list = formatFileUriList(content->files);
    return servedCopy(uriList_, 8, Bytes(list.begin(), list.end()));
  }
  return std::nullopt;
}

namespace {

void notify(xcb_connection_t* c, const xcb_selection_request_event_t& request, xcb_atom_t property) {
  xcb_selection_notify_event_t event{};
  event.response_type = XCB_SELECTION_NOTIFY;
  event.time = request.time;
  event.requestor = request.requestor;
  event.selection = request.selection;
  event.target = request.target;
  event.property = property;
  xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  xcb_flush(c);
}

}  // namespace

void X11Pasteboard::refuse(const xcb_selection_request_event_t& request) { notify(c_, request, XCB_ATOM_NONE); }

void X11Pasteboard::answer(const xcb_selection_request_event_t& request, xcb_atom_t property, Served item) {
  if (item.bytes.size() <= chunkBytes) {
    const uint32_t units = static_cast<uint32_t>(item.bytes.size() / (item.format / 8));
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, request.requestor, property, item.type, item.format, units,
                        item.bytes.data());
    notify(c_, request, property);
    return;
  }
  // Too large for one request: the reader deletes the property for each next chunk.
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c_, request.requestor, XCB_CW_EVENT_MASK, &mask);
  const uint32_t size = static_cast<uint32_t>(item.bytes.size());
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, request.requestor, property, incr_, 32, 1, &size);
  auto send = std::make_unique<IncrSend>();
  send->item = std::move(item);
  send->lastActivityUs = nowUs();
  incrSends_[{request.requestor, property}] = std::move(send);
  notify(c_, request, property);
}

void X11Pasteboard::continueIncr(xcb_window_t window, xcb_atom_t property) {
  auto found = incrSends_.find({window, property});
  if (found == incrSends_.end()) return;
  IncrSend& send = *found->second;
  const std::span<const uint8_t> bytes = send.item.bytes;
  const size_t length = std::min(chunkBytes, bytes.size() - send.offset);
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, property, send.item.type, 8, static_cast<uint32_t>(length),
                      bytes.data() + send.offset);
  send.offset += length;
  send.lastActivityUs = nowUs();
  // The zero-length chunk that ends the transfer has gone out.
  if (length == 0) endTransfer(found);
  xcb_flush(c_);
}

void X11Pasteboard::endTransfer(IncrSends::iterator transfer) {
  const xcb_window_t window = transfer->first.first;
  incrSends_.erase(transfer);
  // The event mask is one per window: another transfer to the same reader still needs it.
  const auto sameWindow = [window](const auto& entry) { return entry.first.first == window; };
  if (std::any_of(incrSends_.begin(), incrSends_.end(), sameWindow)) return;
  const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &none);
}

void X11Pasteboard::dropIdleTransfers() {
  const uint64_t now = nowUs();
  for (auto it = incrSends_.begin(); it != incrSends_.end();) {
    const auto next = std::next(it);
    if (now - it->second->lastActivityUs > incrIdleTimeoutMs * 1000) endTransfer(it);
    it = next;
  }
}

void X11Pasteboard::onSelectionRequest(const xcb_selection_request_event_t& request) {
  bool owned = false;
  std::shared_ptr<PasteboardFilePromise> promise;
  {
    std::lock_guard lock(mutex_);
    owned = owned_;
    promise = content_->promise;
  }
  if (!owned || request.selection != clipboard_) {
    refuse(request);
    return;
  }
  // Readers from before ICCCM 2 give no property: the target's name is used.
  const xcb_atom_t property = request.property == XCB_ATOM_NONE ? request.target : request.property;
  if (request.target == targets_) {
    const std::vector<xcb_atom_t> offered = offeredTargets();
    const auto* begin = reinterpret_cast<const uint8_t*>(offered.data());
    answer(request, property, servedCopy(XCB_ATOM_ATOM, 32, Bytes(begin, begin + offered.size() * sizeof(xcb_atom_t))));
    return;
  }
  if (request.target == timestamp_) {
    const uint32_t time = XCB_CURRENT_TIME;
    const auto* begin = reinterpret_cast<const uint8_t*>(&time);
    answer(request, property, servedCopy(XCB_ATOM_INTEGER, 32, Bytes(begin, begin + 4)));
    return;
  }
  if (promise && request.target == uriList_) {
    servePromise(request, property);
    return;
  }
  if (std::optional<Served> item = servedFor(request.target)) {
    answer(request, property, std::move(*item));
    return;
  }
  refuse(request);
}

void X11Pasteboard::servePromise(const xcb_selection_request_event_t& request, xcb_atom_t property) {
  std::shared_ptr<PasteboardFilePromise> promise;
  {
    std::lock_guard lock(mutex_);
    promise = content_->promise;
  }
  if (promise == fulfilledPromise_ && !fulfilledPath_.empty()) {
    const std::string list = formatFileUriList({fulfilledPath_});
    answer(request, property, servedCopy(uriList_, 8, Bytes(list.begin(), list.end())));
    return;
  }
  // A fetch of this promise already under way answers this reader as well: the file comes over once.
  std::vector<PromiseReader>& readers = promiseReaders_[promise];
  readers.push_back({request, property});
  if (readers.size() > 1) return;
  // The fetch blocks for as long as the transfer takes: a worker of its own waits, and hands the
  // answer back to this thread. A pasteboard gone by then drops it (the mailbox is closed).
  std::thread([mailbox = mailbox_, promise, this] {
    std::optional<std::filesystem::path> file = promise->fulfil ? promise->fulfil() : std::nullopt;
    mailbox->post([this, promise, file] {
      const std::vector<PromiseReader> waiting = std::move(promiseReaders_[promise]);
      promiseReaders_.erase(promise);
      if (!file) {
        for (const PromiseReader& reader : waiting) refuse(reader.request);
        return;
      }
      bool current = false;
      {
        std::lock_guard lock(mutex_);
        current = owned_ && content_->promise == promise;
      }
      if (current) {
        fulfilledPromise_ = promise;
        fulfilledPath_ = *file;
      }
      const std::string list = formatFileUriList({*file});
      const Served item = servedCopy(uriList_, 8, Bytes(list.begin(), list.end()));
      for (const PromiseReader& reader : waiting) answer(reader.request, reader.property, item);
    });
  }).detach();
}

}  // namespace tavlo
