#include "platform/net/tcp_connection.hpp"

#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <asio/connect.hpp>
#include <chrono>
#include <asio/write.hpp>

#include "platform/net/socket_address.hpp"
#include "platform/net/tcp_connection_core.hpp"

namespace tavlo {
namespace {

constexpr size_t maxBytesPerWrite = 1024 * 1024;  // gathered into one write call

void configure(asio::ip::tcp::socket& socket, ServiceClass serviceClass) {
  asio::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  int fd = socket.native_handle();
  int lowWatermark = TcpConnection::notSentLowWatermarkBytes;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWatermark, sizeof lowWatermark);
  applyServiceClass(fd, serviceClass);
}

std::string describe(const SocketAddress& address) { return address.isEmpty() ? "?" : address.describe(); }

}  // namespace

TcpConnection::Core::Core(std::shared_ptr<NetThread> t, asio::ip::tcp::socket&& accepted, ServiceClass sc)
    : thread(std::move(t)), serviceClass(sc), socket(std::move(accepted)) {
  configure(socket, serviceClass);
  isConnected = true;
  remoteText = describe(remoteAddressOf(socket.native_handle()));
  localText = describe(localAddressOf(socket.native_handle()));
}

TcpConnection::Core::Core(std::shared_ptr<NetThread> t, std::string host, uint16_t port, ServiceClass sc)
    : thread(std::move(t)), serviceClass(sc), dialTarget(std::make_pair(std::move(host), port)),
      socket(thread->context()) {}

void TcpConnection::Core::start(OnState handler) {
  if (started) return;
  started = true;
  onState = std::move(handler);
  if (final.load()) {
    finish(State::cancelled, {});
    return;
  }
  if (!dialTarget) {
    auto handlerCopy = onState;
    if (handlerCopy) handlerCopy(State::ready, {});
    writeNext();
    return;
  }
  resolver.emplace(thread->context());
  auto self = shared_from_this();
  resolver->async_resolve(
      dialTarget->first, std::to_string(dialTarget->second),
      [self](const asio::error_code& ec, const asio::ip::tcp::resolver::results_type& results) {
        if (self->final.load()) return self->finish(State::cancelled, {});
        if (ec) return self->finish(State::failed, ec.message());
        asio::async_connect(self->socket, results, [self](const asio::error_code& error, const asio::ip::tcp::endpoint&) {
          if (self->final.load()) return self->finish(State::cancelled, {});
          if (error) return self->finish(State::failed, error.message());
          self->connected();
        });
      });
}

void TcpConnection::Core::connected() {
  configure(socket, serviceClass);
  {
    std::lock_guard guard(mutex);
    isConnected = true;
    remoteText = describe(remoteAddressOf(socket.native_handle()));
    localText = describe(localAddressOf(socket.native_handle()));
  }
  auto handler = onState;
  if (handler) handler(State::ready, {});
  writeNext();
}

void TcpConnection::Core::receive(OnReceive onReceive) {
  if (final.load() || !socket.is_open()) {
    onReceive({}, false, "connection closed");
    return;
  }
  // Waits for bytes first and sizes the buffer to them then: an idle connection holds no buffer, so
  // thousands of silent peers cost little.
  auto self = shared_from_this();
  socket.async_wait(asio::socket_base::wait_read, [self, onReceive = std::move(onReceive)](
                                                      const asio::error_code& ec) mutable {
    if (ec) {
      std::string error = ec.message();
      onReceive({}, false, error);
      if (ec != asio::error::operation_aborted) self->finish(State::failed, error);
      return;
    }
    self->readArrived(std::move(onReceive));
  });
}

void TcpConnection::Core::readArrived(OnReceive onReceive) {
  asio::error_code ec;
  size_t arrived = socket.available(ec);
  size_t want = std::clamp<size_t>(arrived, 1, maxReceiveBytes);
  if (readBuffer.size() < want) readBuffer.resize(want);
  socket.non_blocking(true, ec);
  size_t count = socket.read_some(asio::buffer(readBuffer.data(), want), ec);
  if (count > 0) {
    onReceive(ByteView(readBuffer.data(), count), false, {});
    return;
  }
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    receive(std::move(onReceive));  // woken without bytes after all: wait again
    return;
  }
  if (ec == asio::error::eof) {
    onReceive({}, true, {});
    return;
  }
  std::string error = ec ? ec.message() : "empty read";
  onReceive({}, false, error);
  if (ec != asio::error::operation_aborted) finish(State::failed, error);
}

void TcpConnection::Core::send(Bytes bytes, std::function<void()> done) {
  bool kick = false;
  {
    std::lock_guard guard(mutex);
    if (!final.load()) {
      queue.push_back({std::move(bytes), std::move(done)});
      kick = isConnected && !writing && !kickPending;
      if (kick) kickPending = true;
      done = nullptr;
    }
  }
  if (done) {  // the connection is over: the send is finished, as a failed write would be
    thread->post(std::move(done));
    return;
  }
  if (!kick) return;
  auto self = shared_from_this();
  auto job = [self] {
    {
      std::lock_guard guard(self->mutex);
      self->kickPending = false;
    }
    self->writeNext();
  };
  if (thread->isCurrent()) {
    job();
  } else {
    thread->post(std::move(job));
  }
}

void TcpConnection::Core::writeNext() {
  if (final.load()) return;
  {
    std::lock_guard guard(mutex);
    if (writing || !isConnected) return;
    size_t bytes = 0;
    while (!queue.empty() && (inFlight.empty() || bytes + queue.front().bytes.size() <= maxBytesPerWrite)) {
      bytes += queue.front().bytes.size();
      inFlight.push_back(std::move(queue.front()));
      queue.pop_front();
    }
    if (inFlight.empty()) return;
    writing = true;
  }
  std::vector<asio::const_buffer> buffers;
  buffers.reserve(inFlight.size());
  for (const auto& pending : inFlight) buffers.emplace_back(asio::buffer(pending.bytes));
  auto self = shared_from_this();
  asio::async_write(socket, buffers, [self](const asio::error_code& ec, size_t) {
    auto written = std::move(self->inFlight);
    self->inFlight.clear();
    for (auto& pending : written)
      if (pending.done) pending.done();
    {
      std::lock_guard guard(self->mutex);
      self->writing = false;
    }
    if (ec) {
      self->finish(ec == asio::error::operation_aborted ? State::cancelled : State::failed, ec.message());
      return;
    }
    self->writeNext();
  });
}

// The kernel tells of acknowledgements only through its counters, so the unacknowledged byte count
// is looked at now and then again at growing intervals (from 100 µs to 5 ms) until it reaches 0.
void TcpConnection::Core::checkAcknowledged(std::function<void(bool)> done, uint64_t nextDelayUs) {
  if (final.load() || !socket.is_open()) {
    done(false);
    return;
  }
  bool written;
  {
    std::lock_guard guard(mutex);
    written = isConnected && queue.empty() && !writing && !kickPending;
  }
  int unacknowledged = -1;
  if (written && ioctl(socket.native_handle(), SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0) {
    done(true);
    return;
  }
  if (!ackTimer) ackTimer.emplace(thread->context());
  ackTimer->expires_after(std::chrono::microseconds(nextDelayUs));
  auto self = shared_from_this();
  ackTimer->async_wait([self, done = std::move(done), nextDelayUs](const asio::error_code&) mutable {
    self->checkAcknowledged(std::move(done), std::min<uint64_t>(nextDelayUs * 2, 5000));
  });
}

void TcpConnection::Core::cancel() {
  if (final.exchange(true)) return;
  auto self = shared_from_this();
  thread->post([self] { self->finish(State::cancelled, {}); });
}

void TcpConnection::Core::cancelNow() {
  if (!thread->isCurrent()) return cancel();
  if (final.exchange(true)) return;
  finish(State::cancelled, {});
}

void TcpConnection::Core::finish(State state, const std::string& error) {
  final.store(true);
  std::deque<PendingSend> abandoned;
  {
    std::lock_guard guard(mutex);
    abandoned.swap(queue);
  }
  asio::error_code ignored;
  if (resolver) resolver->cancel();
  if (ackTimer) ackTimer->cancel();
  if (socket.is_open()) {
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    socket.close(ignored);
  }
  for (auto& pending : abandoned)
    if (pending.done) pending.done();
  if (finalReported || !started) return;  // start() reports it when it comes
  finalReported = true;
  OnState handler = std::move(onState);
  onState = nullptr;
  if (handler) handler(state, error);
}

std::shared_ptr<TcpConnection> TcpConnection::dial(std::shared_ptr<NetThread> thread, std::string host, uint16_t port,
                                                   ServiceClass serviceClass) {
  return std::make_shared<TcpConnection>(std::make_shared<Core>(std::move(thread), std::move(host), port, serviceClass));
}

TcpConnection::~TcpConnection() { cancel(); }

void TcpConnection::start(OnState onState) {
  auto core = core_;
  core->thread->post([core, onState = std::move(onState)]() mutable { core->start(std::move(onState)); });
}

void TcpConnection::receive(OnReceive onReceive) {
  if (core_->thread->isCurrent()) {
    core_->receive(std::move(onReceive));
    return;
  }
  auto core = core_;
  core->thread->post([core, onReceive = std::move(onReceive)]() mutable { core->receive(std::move(onReceive)); });
}

void TcpConnection::send(Bytes bytes, std::function<void()> done) { core_->send(std::move(bytes), std::move(done)); }

void TcpConnection::cancel() { core_->cancel(); }

void TcpConnection::cancelNow() { core_->cancelNow(); }

void TcpConnection::whenAcknowledged(std::function<void(bool)> done) {
  auto core = core_;
  core->thread->post([core, done = std::move(done)]() mutable { core->checkAcknowledged(std::move(done), 100); });
}

std::string TcpConnection::remoteDescription() const {
  std::lock_guard guard(core_->mutex);
  return core_->remoteText;
}

std::string TcpConnection::localDescription() const {
  std::lock_guard guard(core_->mutex);
  return core_->localText;
}

const std::shared_ptr<NetThread>& TcpConnection::thread() const { return core_->thread; }

}  // namespace tavlo
