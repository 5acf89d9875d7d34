#include "platform/net/path_monitor.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "platform/net/net_thread.hpp"
#include "platform/net/route_table.hpp"

namespace tavlo {
namespace {

NetworkPath currentPath() {
  auto route = currentDefaultRoute();
  if (!route) return {};
  return {true, route->interfaceName};
}

}  // namespace

struct NetlinkPathMonitor::Watch : std::enable_shared_from_this<Watch> {
  explicit Watch(std::shared_ptr<NetThread> t) : thread(std::move(t)), descriptor(thread->context()) {}

  // NetThread: reports now and after every burst of netlink messages.
  void begin() {
    if (stopped) return;
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd >= 0) {
      sockaddr_nl local{};
      local.nl_family = AF_NETLINK;
      local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
      if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        fd = -1;
      }
    }
    // Without the socket the first report still comes; changes then go unnoticed.
    if (fd >= 0) descriptor.assign(fd);
    report();
    arm();
  }

  void arm() {
    if (stopped || !descriptor.is_open()) return;
    descriptor.async_wait(asio::posix::descriptor_base::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
      if (ec || self->stopped) return;
      self->drain();
      self->report();
      self->arm();
    });
  }

  // The messages only say that something changed; the path is read afresh from the route table.
  void drain() {
    std::array<char, 8192> buffer;
    while (::recv(descriptor.native_handle(), buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
    }
  }

  void report() {
    if (!stopped && onUpdate) onUpdate(currentPath());
  }

  void end() {
    stopped = true;
    asio::error_code ignored;
    descriptor.close(ignored);
  }

  std::shared_ptr<NetThread> thread;
  asio::posix::stream_descriptor descriptor;
  OnUpdate onUpdate;
  bool stopped = false;  // NetThread only
};

NetlinkPathMonitor::NetlinkPathMonitor() : watch_(std::make_shared<Watch>(NetThread::start("vela.pathmon"))) {}

NetlinkPathMonitor::~NetlinkPathMonitor() { stop(); }

void NetlinkPathMonitor::start(OnUpdate onUpdate) {
  auto watch = watch_;
  watch->thread->post([watch, onUpdate = std::move(onUpdate)]() mutable {
    watch->onUpdate = std::move(onUpdate);
    watch->begin();
  });
}

void NetlinkPathMonitor::stop() {
  auto watch = watch_;
  watch->thread->sync([watch] { watch->end(); });
}

void ManualPathMonitor::start(OnUpdate onUpdate) {
  std::lock_guard guard(mutex_);
  onUpdate_ = std::move(onUpdate);
  started_ = true;
}

void ManualPathMonitor::stop() {
  std::lock_guard guard(mutex_);
  onUpdate_ = nullptr;
  started_ = false;
}

void ManualPathMonitor::push(const NetworkPath& path) {
  OnUpdate handler;
  {
    std::lock_guard guard(mutex_);
    handler = onUpdate_;
  }
  if (handler) handler(path);
}

bool ManualPathMonitor::isStarted() const {
  std::lock_guard guard(mutex_);
  return started_;
}

}  // namespace tavlo
