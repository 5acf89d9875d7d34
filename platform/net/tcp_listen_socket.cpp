#include "platform/net/tcp_listen_socket.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

#include "platform/net/tcp_connection_core.hpp"

namespace tavlo {

namespace {
// Accepting failed for want of descriptors or kernel memory: the connection stays queued.
bool isExhaustion(const asio::error_code& ec) {
  if (ec.category() != asio::system_category()) return false;
  return ec.value() == EMFILE || ec.value() == ENFILE || ec.value() == ENOBUFS || ec.value() == ENOMEM;
}
}  // namespace

struct TcpListenSocket::Core : std::enable_shared_from_this<Core> {
  Core(std::shared_ptr<NetThread> t, ServiceClass sc)
      : thread(std::move(t)), serviceClass(sc), acceptor(thread->context()), backoffTimer(thread->context()) {}

  // NetThread. Connections are taken by this code only (never by an asynchronous accept that would
  // hand them over later), so acceptWaiting() always sees every connection the kernel holds. The
  // queue is drained, the wait armed, and drained again for what came in between. While backing off,
  // nothing is armed: the timer calls this again.
  void accept() {
    if (!acceptor.is_open() || backingOff) return;
    acceptWaiting();
    if (backingOff || waitArmed) return;
    waitArmed = true;
    std::weak_ptr<Core> weak = shared_from_this();
    acceptor.async_wait(asio::socket_base::wait_read, [weak](const asio::error_code& ec) {
      auto self = weak.lock();
      if (!self) return;
      self->waitArmed = false;
      if (!ec) {
        self->accept();
      } else if (ec != asio::error::operation_aborted) {
        self->reportTrouble(ec.message(), true);
        self->backOff();
      }
    });
    acceptWaiting();
  }

  // NetThread: takes what the kernel has queued without waiting; the pending asynchronous accept
  // stays armed for later connections.
  size_t acceptWaiting() {
    size_t count = 0;
    asio::error_code ec;
    if (!acceptor.is_open() || !onConnection) return 0;
    acceptor.non_blocking(true, ec);
    for (;;) {
      asio::ip::tcp::socket socket(thread->context());
      acceptor.accept(socket, ec);
      if (ec == asio::error::connection_aborted) continue;  // died in the queue: take the next one
      if (isExhaustion(ec)) {
        reportTrouble(ec.message(), true);
        backOff();
        break;
      }
      if (ec) break;  // empty
      ++count;
      try {
        auto core = std::make_shared<TcpConnection::Core>(thread, std::move(socket), serviceClass);
        auto handler = onConnection;  // it may stop the listener, which lets go of onConnection
        if (handler) handler(std::make_shared<TcpConnection>(std::move(core)));
        // Only a connection handed over ends a spell of trouble: one merely accepted and then lost would
        // let every connect of a peer write a line while the hand-over keeps failing.
        troubleReported = false;
      } catch (const std::exception& e) {
        // Out of memory or threads for this one: it is closed as its objects go, the port stays open.
        reportTrouble(e.what(), false);
      }
    }
    return count;
  }

  // NetThread.
  void reportTrouble(const std::string& error, bool pausing) {
    if (std::exchange(troubleReported, true)) return;
    auto handler = onTrouble;
    if (handler) handler(error, pausing);
  }

  // NetThread: tries again after a pause, by which time connections may have ended and freed theirs.
  void backOff() {
    if (backingOff) return;
    backingOff = true;
    std::weak_ptr<Core> weak = shared_from_this();
    backoffTimer.expires_after(std::chrono::microseconds(acceptBackoffUs));
    backoffTimer.async_wait([weak](const asio::error_code& ec) {
      auto self = weak.lock();
      if (!self) return;
      self->backingOff = false;
      if (!ec) self->accept();
    });
  }

  void close() {  // NetThread
    asio::error_code ignored;
    acceptor.close(ignored);
    backoffTimer.cancel();
    onConnection = nullptr;
    onTrouble = nullptr;
  }

  const std::shared_ptr<NetThread> thread;
  const ServiceClass serviceClass;
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer backoffTimer;
  OnConnection onConnection;  // NetThread
  OnTrouble onTrouble;        // NetThread
  bool troubleReported = false;  // NetThread
  bool waitArmed = false;     // NetThread
  bool backingOff = false;    // NetThread
};

std::unique_ptr<TcpListenSocket> TcpListenSocket::open(std::shared_ptr<NetThread> thread, uint16_t port,
                                                       ServiceClass serviceClass, const std::string& address) {
  auto core = std::make_shared<Core>(thread, serviceClass);
  // Opening happens on the caller's thread: nothing else touches the acceptor before start().
  asio::error_code ec;
  if (!address.empty()) {
    asio::ip::address bindAddress = asio::ip::make_address(address, ec);
    if (ec) throw std::system_error(ec, "TCP bind address " + address);
    asio::ip::tcp::endpoint endpoint(bindAddress, port);
    core->acceptor.open(endpoint.protocol());
    core->acceptor.set_option(asio::socket_base::reuse_address(true));
    core->acceptor.bind(endpoint);
  } else if (core->acceptor.open(asio::ip::tcp::v6(), ec); !ec) {
    core->acceptor.set_option(asio::ip::v6_only(false), ec);
    core->acceptor.set_option(asio::socket_base::reuse_address(true));
    core->acceptor.bind(asio::ip::tcp::endpoint(asio::ip::address_v6::any(), port));
  } else {  // a host without IPv6
    core->acceptor.open(asio::ip::tcp::v4());
    core->acceptor.set_option(asio::socket_base::reuse_address(true));
    core->acceptor.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::any(), port));
  }
  core->acceptor.listen(asio::socket_base::max_listen_connections);
  uint16_t bound = core->acceptor.local_endpoint().port();
  return std::unique_ptr<TcpListenSocket>(new TcpListenSocket(std::move(core), bound));
}

TcpListenSocket::~TcpListenSocket() { stop(); }

void TcpListenSocket::start(OnConnection onConnection, OnTrouble onTrouble) {
  auto core = core_;
  core->thread->sync([&] {
    core->onConnection = std::move(onConnection);
    core->onTrouble = std::move(onTrouble);
    core->accept();
  });
}

size_t TcpListenSocket::acceptWaiting() { return core_->acceptWaiting(); }

void TcpListenSocket::stop() {
  auto core = core_;
  core->thread->sync([core] { core->close(); });
}

}  // namespace tavlo
