#include "platform/gnome/mutter_pasteboard.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/pasteboard/uri_list.hpp"

namespace tavlo {
namespace {

constexpr const char* kTextType = "text/plain;charset=utf-8";
constexpr const char* kPlainTextType = "text/plain";
constexpr const char* kPngType = "image/png";
constexpr const char* kUriListType = "text/uri-list";
constexpr auto kStartTimeout = std::chrono::seconds(5);

// Owns a descriptor mutter handed over.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

// The descriptor in a reply's first argument; -1 when there is none.
int descriptorIn(const std::optional<std::vector<BusValue>>& reply) {
  if (!reply || reply->empty() || reply->front().kind != BusValue::Kind::integer) return -1;
  return static_cast<int>(reply->front().integer);
}

bool writeAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

// What we put on the clipboard, by MIME type; a promised file list is made on the first request.
struct MutterPasteboard::Offer {
  std::vector<std::pair<std::string, Bytes>> items;
  std::shared_ptr<PasteboardFilePromise> promise;
  std::optional<Bytes> promised;  // on the serving thread only
};

std::unique_ptr<MutterPasteboard> MutterPasteboard::open(std::shared_ptr<BusConnection> bus, std::string* error,
                                                         LogSink log) {
  auto session = MutterRemoteSession::create(bus, error);
  if (!session || !session->start(kStartTimeout, error)) return nullptr;
  std::unique_ptr<MutterPasteboard> pasteboard(new MutterPasteboard(bus, std::move(session), std::move(log)));
  if (!bus->call({mutter::kRemoteDesktopName, pasteboard->session_->remoteDesktopPath(), mutter::kRemoteDesktopSession,
                  "EnableClipboard"},
                 [](BusWriter& w) { w.options({}); }, error)) {
    return nullptr;
  }
  return pasteboard;
}

MutterPasteboard::MutterPasteboard(std::shared_ptr<BusConnection> bus, std::unique_ptr<MutterRemoteSession> session,
                                   LogSink log)
    : bus_(std::move(bus)), session_(std::move(session)), log_(std::move(log)), serving_("tavlo.clipboard") {
  // An application that closes its end before it has everything must not end the program: on the
  // serving thread a write to that pipe fails with EPIPE instead of raising SIGPIPE.
  serving_.post([] {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  });
  const std::string path = session_->remoteDesktopPath();
  subscriptions_.push_back(bus_->subscribe(
      {mutter::kRemoteDesktopName, path, mutter::kRemoteDesktopSession, "SelectionOwnerChanged"},
      [this](const BusSignal& signal) {
        if (!signal.arguments.empty()) ownerChanged(signal.arguments.front());
      }));
  subscriptions_.push_back(bus_->subscribe(
      {mutter::kRemoteDesktopName, path, mutter::kRemoteDesktopSession, "SelectionTransfer"},
      [this](const BusSignal& signal) {
        if (signal.arguments.size() < 2) return;
        const std::string type = signal.arguments[0].asText();
        const int64_t serial = signal.arguments[1].asInt(-1);
        if (serial < 0 || serial > UINT32_MAX) return;
        // Serving may wait for a pasting application or a promised file: never on the bus's thread.
        serving_.post([this, type, serial] { serve(type, static_cast<uint32_t>(serial)); });
      }));
}

MutterPasteboard::~MutterPasteboard() {
  for (uint64_t token : subscriptions_) bus_->unsubscribe(token);
  serving_.shutdown();
  session_->stop();
}

void MutterPasteboard::ownerChanged(const BusValue& options) {
  std::vector<std::string> types;
  // Mutter takes the list as "as" but reports it wrapped in a struct, "(as)": both are read.
  if (const BusValue* offered = options.field("mime-types")) {
    const BusValue& list = offered->size() == 1 && offered->at(0).kind == BusValue::Kind::list ? offered->at(0) : *offered;
    for (const auto& type : list.items) types.push_back(type.asText());
  }
  const BusValue* ours = options.field("session-is-owner");
  std::lock_guard lock(mutex_);
  types_ = std::move(types);
  sessionOwns_ = ours && ours->asBool();
  if (!sessionOwns_) {
    ours_.reset();
    ++changeCount_;  // our own writes counted when they were made
  }
}

int64_t MutterPasteboard::changeCount() const {
  std::lock_guard lock(mutex_);
  return changeCount_;
}

std::vector<std::string> MutterPasteboard::offeredTypes() const {
  std::lock_guard lock(mutex_);
  return types_;
}

bool MutterPasteboard::hasOwnMarker() const {
  const auto types = offeredTypes();
  return std::find(types.begin(), types.end(), markerType) != types.end();
}

std::optional<Bytes> MutterPasteboard::read(const std::string& mimeType) const {
  const auto types = offeredTypes();
  if (std::find(types.begin(), types.end(), mimeType) == types.end()) return std::nullopt;
  std::string error;
  auto reply = bus_->call({mutter::kRemoteDesktopName, session_->remoteDesktopPath(), mutter::kRemoteDesktopSession,
                           "SelectionRead"},
                          [&](BusWriter& w) { w.text(mimeType); }, &error);
  Descriptor pipe(descriptorIn(reply));
  if (pipe.fd < 0) {
    if (log_) log_("📋 schowek GNOME: odczyt " + mimeType + " odrzucony (" + error + ")");
    return std::nullopt;
  }
  Bytes content;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readTotalTimeoutMs);
  uint8_t buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{pipe.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, readStepTimeoutMs)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      if (log_) log_("📋 schowek GNOME: " + mimeType + " nie nadszedł w czasie — pominięty");
      return std::nullopt;
    }
    const ssize_t n = ::read(pipe.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return content;
    if (content.size() + static_cast<size_t>(n) > maxItemBytes) {
      if (log_) log_("📋 schowek GNOME: " + mimeType + " większy niż " + std::to_string(maxItemBytes) + " B — pominięty");
      return std::nullopt;
    }
    content.insert(content.end(), buffer, buffer + n);
  }
}

std::vector<std::filesystem::path> MutterPasteboard::files() const {
  auto list = read(kUriListType);
  if (!list) return {};
  return parseFileUriList(std::string_view(reinterpret_cast<const char*>(list->data()), list->size()));
}

std::optional<std::string> MutterPasteboard::text() const {
  const auto types = offeredTypes();
  const bool utf8 = std::find(types.begin(), types.end(), kTextType) != types.end();
  auto bytes = read(utf8 ? kTextType : kPlainTextType);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

std::optional<Bytes> MutterPasteboard::png() const { return read(kPngType); }

int64_t MutterPasteboard::write(PasteboardContent content) {
  auto offer = std::make_shared<Offer>();
  if (content.text) {
    offer->items.emplace_back(kTextType, bytesOf(*content.text));
    offer->items.emplace_back(kPlainTextType, bytesOf(*content.text));
  }
  if (content.png) offer->items.emplace_back(kPngType, std::move(*content.png));
  if (content.data) offer->items.emplace_back(content.data->first, std::move(content.data->second));
  if (!content.files.empty()) offer->items.emplace_back(kUriListType, bytesOf(formatFileUriList(content.files)));
  offer->promise = content.promise;
  offer->items.emplace_back(markerType, Bytes{0x01});
  std::vector<std::string> types;
  for (const auto& [type, bytes] : offer->items) types.push_back(type);
  if (offer->promise && std::find(types.begin(), types.end(), kUriListType) == types.end()) {
    types.push_back(kUriListType);
  }
  int64_t count = 0;
  {
    std::lock_guard lock(mutex_);
    ours_ = offer;
    count = ++changeCount_;
  }
  std::string error;
  if (!bus_->call({mutter::kRemoteDesktopName, session_->remoteDesktopPath(), mutter::kRemoteDesktopSession,
                   "SetSelection"},
                  [&](BusWriter& w) {
                    w.open('a', "{sv}").open('e').text("mime-types").open('v', "as").open('a', "s");
                    for (const auto& type : types) w.text(type);
                    w.close().close().close().close();
                  },
                  &error) &&
      log_) {
    log_("📋 schowek GNOME: mutter nie przyjął zawartości (" + error + ")");
  }
  return count;
}

void MutterPasteboard::serve(const std::string& mimeType, uint32_t serial) {
  std::shared_ptr<Offer> offer;
  {
    std::lock_guard lock(mutex_);
    offer = ours_;
  }
  std::optional<Bytes> bytes;
  if (offer) {
    for (const auto& [type, item] : offer->items) {
      if (type == mimeType) bytes = item;
    }
    if (!bytes && mimeType == kUriListType && offer->promise) {
      if (!offer->promised) {
        auto path = offer->promise->fulfil ? offer->promise->fulfil() : std::nullopt;
        offer->promised = path ? bytesOf(formatFileUriList({*path})) : Bytes{};
      }
      if (!offer->promised->empty()) bytes = offer->promised;
    }
  }
  const BusCall done{mutter::kRemoteDesktopName, session_->remoteDesktopPath(), mutter::kRemoteDesktopSession,
                     "SelectionWriteDone"};
  if (!bytes) {
    bus_->send(done, [&](BusWriter& w) { w.u32(serial).boolean(false); });
    return;
  }
  auto reply = bus_->call({mutter::kRemoteDesktopName, session_->remoteDesktopPath(), mutter::kRemoteDesktopSession,
                           "SelectionWrite"},
                          [&](BusWriter& w) { w.u32(serial); });
  bool written = false;
  {
    Descriptor pipe(descriptorIn(reply));
    written = pipe.fd >= 0 && writeAll(pipe.fd, *bytes);
  }
  bus_->send(done, [&](BusWriter& w) { w.u32(serial).boolean(written); });
  bus_->flush();
}

}  // namespace tavlo
