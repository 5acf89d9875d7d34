#include "platform/net/udp_socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <utility>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace tavlo {
namespace {

constexpr unsigned receiveSlots = 32;  // datagrams taken per recvmmsg call

std::string errnoText(int error) { return std::generic_category().message(error); }

}  // namespace

UdpSocket::Descriptor::~Descriptor() {
  if (fd >= 0) ::close(fd);
}

// The receive loop. It holds the descriptor, not the socket, so the socket's owner can let go at any
// time; the descriptor closes once the loop has ended.
struct UdpSocket::Reader : std::enable_shared_from_this<Reader> {
  Reader(std::shared_ptr<NetThread> t, std::shared_ptr<const Descriptor> d, OnDatagram onD, OnError onE)
      : thread(std::move(t)), descriptor(std::move(d)), watch(thread->context()), onDatagram(std::move(onD)),
        onError(std::move(onE)), buffer(receiveSlots * receiveSlotBytes) {}

  ~Reader() {
    if (watch.is_open()) (void)watch.release();  // the descriptor is not the watch's to close
  }

  void begin() {
    if (stopped) return;
    asio::error_code ec;
    watch.assign(descriptor->fd, ec);
    if (ec) {
      onError(ec.value());
      return;
    }
    loop();
  }

  // Edge-triggered readiness fires only for new data, so the socket is drained until it reports
  // empty, the wait is armed, and the socket drained once more for whatever came in between.
  void loop() {
    if (stopped) return;
    drain();
    if (stopped) return;
    watch.async_wait(asio::posix::descriptor_base::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
      if (!ec) self->loop();
    });
    drain();
  }

  void drain() {
    std::array<mmsghdr, receiveSlots> headers{};
    std::array<iovec, receiveSlots> vectors{};
    std::array<SocketAddress, receiveSlots> from{};
    while (!stopped) {
      for (unsigned i = 0; i < receiveSlots; ++i) {
        vectors[i] = {&buffer[i * receiveSlotBytes], receiveSlotBytes};
        headers[i].msg_hdr = msghdr{};
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_name = from[i].get();
        headers[i].msg_hdr.msg_namelen = sizeof from[i].storage;
      }
      int r = recvmmsg(descriptor->fd, headers.data(), receiveSlots, MSG_DONTWAIT, nullptr);
      if (r < 0) {
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) return;  // empty: the only way a drain ends
        if (error == EINTR) continue;
        onError(error);
        // An ICMP-derived error is consumed by reporting it; anything else waits for the next event.
        if (error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH) continue;
        return;
      }
      for (int i = 0; i < r && !stopped; ++i) {
        const msghdr& h = headers[i].msg_hdr;
        if (h.msg_flags & MSG_TRUNC) continue;
        from[i].length = h.msg_namelen;
        const uint8_t* data = &buffer[static_cast<size_t>(i) * receiveSlotBytes];
        onDatagram(from[i], Bytes(data, data + headers[i].msg_len));
      }
    }
  }

  // May run inside one of the callbacks (a delivery that cancels its own flow), so the callbacks
  // stay in place until the reader is gone.
  void stop() {
    stopped = true;
    if (watch.is_open()) (void)watch.release();
  }

  std::shared_ptr<NetThread> thread;
  std::shared_ptr<const Descriptor> descriptor;
  asio::posix::stream_descriptor watch;
  OnDatagram onDatagram;
  OnError onError;
  std::vector<uint8_t> buffer;
  bool stopped = false;  // NetThread only
};

UdpSocket::Opened UdpSocket::openConnected(const std::string& host, uint16_t port, const ConnectOptions& options) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    if (found) freeaddrinfo(found);
    return OpenFailure{OpenStep::resolve, status != 0 ? gai_strerror(status) : "no address"};
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
  int fd = ::socket(found->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return OpenFailure{OpenStep::socket, errnoText(errno)};
  std::shared_ptr<UdpSocket> socket(new UdpSocket(fd));
  applyServiceClass(fd, options.serviceClass);
  if (options.sendBufferBytes > 0) requestSendBuffer(fd, options.sendBufferBytes);
  if (options.receiveBufferBytes > 0) socket->grantedReceiveBufferBytes_ = requestReceiveBuffer(fd, options.receiveBufferBytes);
  if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0) return OpenFailure{OpenStep::connect, errnoText(errno)};
  return socket;
}

std::shared_ptr<UdpSocket> UdpSocket::openListening(uint16_t port, ServiceClass serviceClass,
                                                    const std::string& address) {
  if (!address.empty()) {
    Bound bound = tryOpenBound(address, port, serviceClass);
    if (auto* failure = std::get_if<BindFailure>(&bound)) {
      std::string step = failure->atSocket ? "UDP socket" : "UDP bind " + address + " port " + std::to_string(port);
      throw std::system_error(failure->errorNumber, std::generic_category(), step);
    }
    return std::get<std::shared_ptr<UdpSocket>>(std::move(bound));
  }
  int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  bool dualStack = fd >= 0;
  if (!dualStack) fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "UDP socket");
  std::shared_ptr<UdpSocket> socket(new UdpSocket(fd));
  int rc;
  if (dualStack) {
    int off = 0;
    (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(port);
    rc = ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
  } else {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    rc = ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
  }
  if (rc != 0) throw std::system_error(errno, std::generic_category(), "UDP bind port " + std::to_string(port));
  applyServiceClass(fd, serviceClass);
  requestSendBuffer(fd, mediaSocketBufferBytes);
  socket->grantedReceiveBufferBytes_ = requestReceiveBuffer(fd, mediaSocketBufferBytes);
  return socket;
}

UdpSocket::Bound UdpSocket::tryOpenBound(const std::string& address, uint16_t port, ServiceClass serviceClass) {
  SocketAddress local;
  auto* v4 = reinterpret_cast<sockaddr_in*>(local.get());
  auto* v6 = reinterpret_cast<sockaddr_in6*>(local.get());
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    local.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    local.length = sizeof(sockaddr_in6);
  } else {
    return BindFailure{false, EINVAL};
  }
  int fd = ::socket(local.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return BindFailure{true, errno};
  std::shared_ptr<UdpSocket> socket(new UdpSocket(fd));
  if (::bind(fd, local.get(), local.length) != 0) return BindFailure{false, errno};
  applyServiceClass(fd, serviceClass);
  requestSendBuffer(fd, mediaSocketBufferBytes);
  socket->grantedReceiveBufferBytes_ = requestReceiveBuffer(fd, mediaSocketBufferBytes);
  return socket;
}

UdpSocket::~UdpSocket() { stopReading(); }

DatagramBatchResult UdpSocket::send(std::span<const ByteView> datagrams, const SocketAddress* destination) {
  return sendDatagramBatch(fd(), destination, datagrams, gsoUsable_);
}

void UdpSocket::startReading(std::shared_ptr<NetThread> thread, OnDatagram onDatagram, OnError onError) {
  auto reader = std::make_shared<Reader>(thread, fd_, std::move(onDatagram), std::move(onError));
  std::shared_ptr<Reader> previous;
  {
    std::lock_guard guard(mutex_);
    previous = std::exchange(reader_, reader);
  }
  if (previous) previous->thread->post([previous] { previous->stop(); });
  thread->post([reader] { reader->begin(); });
}

void UdpSocket::stopReading() {
  std::shared_ptr<Reader> reader;
  {
    std::lock_guard guard(mutex_);
    reader = std::move(reader_);
  }
  if (!reader) return;
  if (reader->thread->isCurrent()) {
    reader->stop();
  } else {
    reader->thread->post([reader] { reader->stop(); });
  }
}

void UdpSocket::stopReadingAndWait() {
  std::shared_ptr<Reader> reader;
  {
    std::lock_guard guard(mutex_);
    reader = std::move(reader_);
  }
  if (!reader) return;
  auto thread = reader->thread;
  if (thread->isCurrent()) {
    reader->stop();
    return;
  }
  thread->sync([&] { reader->stop(); });
  reader.reset();
  thread->sync([] {});  // the cancelled wait completes in between and releases the loop
}

}  // namespace tavlo
