#include "platform/gnome/mutter_remote_session.hpp"

#include <condition_variable>
#include <map>

namespace tavlo {

struct MutterRemoteSession::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> streams;
  std::map<std::string, uint32_t> nodes;
  bool closed = false;   // mutter closed the session
  bool stopped = false;  // we stopped it
};

std::unique_ptr<MutterRemoteSession> MutterRemoteSession::create(std::shared_ptr<BusConnection> bus,
                                                                 std::string* error) {
  using namespace mutter;
  if (!bus) {
    if (error) *error = "no session bus";
    return nullptr;
  }
  auto remote = bus->call({kRemoteDesktopName, kRemoteDesktopPath, kRemoteDesktopName, "CreateSession"}, {}, error);
  if (!remote || remote->empty()) return nullptr;
  const std::string remotePath = remote->front().asText();
  auto stopRemote = [&] { bus->send({kRemoteDesktopName, remotePath, kRemoteDesktopSession, "Stop"}); };
  auto id = bus->property(kRemoteDesktopName, remotePath, kRemoteDesktopSession, "SessionId", error);
  if (!id || id->asText().empty()) {
    stopRemote();
    return nullptr;
  }
  auto cast = bus->call({kScreenCastName, kScreenCastPath, kScreenCastName, "CreateSession"},
                        [&](BusWriter& w) { w.options({{"remote-desktop-session-id", id->asText()}}); }, error);
  if (!cast || cast->empty()) {
    stopRemote();
    return nullptr;
  }
  return std::unique_ptr<MutterRemoteSession>(new MutterRemoteSession(bus, remotePath, cast->front().asText()));
}

MutterRemoteSession::MutterRemoteSession(std::shared_ptr<BusConnection> bus, std::string remotePath,
                                         std::string castPath)
    : bus_(std::move(bus)),
      remotePath_(std::move(remotePath)),
      castPath_(std::move(castPath)),
      shared_(std::make_shared<Shared>()) {
  std::weak_ptr<Shared> weak = shared_;
  auto onClosed = [weak](const BusSignal&) {
    if (auto shared = weak.lock()) {
      {
        std::lock_guard lock(shared->mutex);
        shared->closed = true;
      }
      shared->changed.notify_all();
    }
  };
  subscriptions_.push_back(
      bus_->subscribe({mutter::kRemoteDesktopName, remotePath_, mutter::kRemoteDesktopSession, "Closed"}, onClosed));
  subscriptions_.push_back(
      bus_->subscribe({mutter::kScreenCastName, castPath_, mutter::kScreenCastSession, "Closed"}, onClosed));
  // The streams' paths are not known yet: one subscription takes every stream's announcement and keeps
  // those of this session's streams.
  subscriptions_.push_back(bus_->subscribe(
      {mutter::kScreenCastName, {}, mutter::kScreenCastStream, "PipeWireStreamAdded"}, [weak](const BusSignal& signal) {
        auto shared = weak.lock();
        if (!shared || signal.arguments.empty()) return;
        const int64_t node = signal.arguments.front().asInt(-1);
        if (node < 0 || node > UINT32_MAX) return;
        {
          std::lock_guard lock(shared->mutex);
          bool ours = false;
          for (const auto& stream : shared->streams) ours = ours || stream == signal.path;
          if (!ours) return;
          shared->nodes[signal.path] = static_cast<uint32_t>(node);
        }
        shared->changed.notify_all();
      }));
}

MutterRemoteSession::~MutterRemoteSession() {
  stop();
  for (uint64_t token : subscriptions_) bus_->unsubscribe(token);
}

std::optional<std::string> MutterRemoteSession::recordVirtual(CastCursorMode cursor, std::string* error) {
  auto reply = bus_->call({mutter::kScreenCastName, castPath_, mutter::kScreenCastSession, "RecordVirtual"},
                          [&](BusWriter& w) {
                            w.options({{"cursor-mode", static_cast<uint32_t>(cursor)}});
                          },
                          error);
  if (!reply || reply->empty() || reply->front().asText().empty()) return std::nullopt;
  const std::string stream = reply->front().asText();
  std::lock_guard lock(shared_->mutex);
  shared_->streams.push_back(stream);
  return stream;
}

bool MutterRemoteSession::start(std::chrono::milliseconds timeout, std::string* error) {
  if (!bus_->call({mutter::kRemoteDesktopName, remotePath_, mutter::kRemoteDesktopSession, "Start"}, {}, error)) {
    return false;
  }
  std::unique_lock lock(shared_->mutex);
  const bool announced = shared_->changed.wait_for(lock, timeout, [&] {
    return shared_->closed || shared_->nodes.size() == shared_->streams.size();
  });
  if (shared_->closed) {
    if (error) *error = "mutter closed the session";
    return false;
  }
  if (!announced) {
    if (error) *error = "no PipeWire stream was announced within " + std::to_string(timeout.count()) + " ms";
    return false;
  }
  return true;
}

std::optional<uint32_t> MutterRemoteSession::nodeOf(const std::string& stream) const {
  std::lock_guard lock(shared_->mutex);
  auto it = shared_->nodes.find(stream);
  if (it == shared_->nodes.end()) return std::nullopt;
  return it->second;
}

void MutterRemoteSession::stop() {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopped) return;
    shared_->stopped = true;
  }
  // Stopping the remote-desktop session stops the screen-cast session linked to it.
  bus_->call({mutter::kRemoteDesktopName, remotePath_, mutter::kRemoteDesktopSession, "Stop"});
  shared_->changed.notify_all();
}

bool MutterRemoteSession::alive() const {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopped || shared_->closed) return false;
  }
  return bus_->connected();
}

void MutterRemoteSession::sendInput(const char* method, const BusConnection::Arguments& arguments) {
  bus_->send({mutter::kRemoteDesktopName, remotePath_, mutter::kRemoteDesktopSession, method}, arguments);
}

void MutterRemoteSession::pointerMotionAbsolute(const std::string& stream, double x, double y) {
  sendInput("NotifyPointerMotionAbsolute", [&](BusWriter& w) { w.text(stream).f64(x).f64(y); });
}

void MutterRemoteSession::pointerMotionRelative(double dx, double dy) {
  sendInput("NotifyPointerMotionRelative", [&](BusWriter& w) { w.f64(dx).f64(dy); });
}

void MutterRemoteSession::pointerButton(int32_t evdevButton, bool pressed) {
  sendInput("NotifyPointerButton", [&](BusWriter& w) { w.i32(evdevButton).boolean(pressed); });
}

void MutterRemoteSession::pointerAxis(double dx, double dy, bool finish) {
  // Mutter's flags: 1 marks the end of a sequence, 4 says the source is a finger (a touchpad).
  const uint32_t flags = 4u | (finish ? 1u : 0u);
  sendInput("NotifyPointerAxis", [&](BusWriter& w) { w.f64(dx).f64(dy).u32(flags); });
}

void MutterRemoteSession::pointerAxisDiscrete(uint32_t axis, int32_t steps) {
  sendInput("NotifyPointerAxisDiscrete", [&](BusWriter& w) { w.u32(axis).i32(steps); });
}

void MutterRemoteSession::keyboardKeycode(uint32_t evdevKeycode, bool pressed) {
  sendInput("NotifyKeyboardKeycode", [&](BusWriter& w) { w.u32(evdevKeycode).boolean(pressed); });
}

void MutterRemoteSession::keyboardKeysym(uint32_t keysym, bool pressed) {
  sendInput("NotifyKeyboardKeysym", [&](BusWriter& w) { w.u32(keysym).boolean(pressed); });
}

void MutterRemoteSession::touchDown(const std::string& stream, uint32_t slot, double x, double y) {
  sendInput("NotifyTouchDown", [&](BusWriter& w) { w.text(stream).u32(slot).f64(x).f64(y); });
}

void MutterRemoteSession::touchMotion(const std::string& stream, uint32_t slot, double x, double y) {
  sendInput("NotifyTouchMotion", [&](BusWriter& w) { w.text(stream).u32(slot).f64(x).f64(y); });
}

void MutterRemoteSession::touchUp(uint32_t slot) {
  sendInput("NotifyTouchUp", [&](BusWriter& w) { w.u32(slot); });
}

void MutterRemoteSession::flush() { bus_->flush(); }

}  // namespace tavlo
