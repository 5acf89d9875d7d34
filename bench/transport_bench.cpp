// The direct path's costs: datagrams per second through DatagramFlow::sendBatch on the host's video path
// against a raw sendmmsg loop on the same kind of socket, in the same run; and the time from
// ReliableChannel::send to the peer's incoming for a 100-byte packet.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform/net/socket_options.hpp"
#include "platform/net/udp_listen_socket.hpp"
#include "transport/direct_dialer.hpp"
#include "transport/host_listener.hpp"
#include "transport/rebindable_udp_flow.hpp"
#include "transport/udp_flow.hpp"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace vela {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t batchSize = 64;

// A loopback receiver drained by its own thread, so that both senders see an open, reading peer.
class Sink {
 public:
  Sink() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    tavlo::requestReceiveBuffer(fd_, 8 << 20);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    timeval tv{0, 50'000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    drainer_ = std::thread([this] {
      std::vector<uint8_t> buffer(65536);
      while (!stop_.load()) (void)::recv(fd_, buffer.data(), buffer.size(), 0);
    });
  }
  ~Sink() {
    stop_ = true;
    drainer_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread drainer_;
};

// The baseline: sendmmsg on an unconnected dual-stack socket to a v4-mapped address, as the host's
// listening socket sends; optionally with UDP segmentation offload for a run of equal sizes.
class RawSender {
 public:
  explicit RawSender(uint16_t port) {
    fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int off = 0;
    setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    tavlo::requestSendBuffer(fd_, tavlo::mediaSocketBufferBytes);
    to_.sin6_family = AF_INET6;
    to_.sin6_port = htons(port);
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &to_.sin6_addr);
  }
  ~RawSender() { ::close(fd_); }

  void sendmmsg(const std::vector<std::vector<uint8_t>>& datagrams) {
    mmsghdr headers[batchSize]{};
    iovec vectors[batchSize];
    for (size_t i = 0; i < datagrams.size(); ++i) {
      vectors[i] = {const_cast<uint8_t*>(datagrams[i].data()), datagrams[i].size()};
      headers[i].msg_hdr.msg_iov = &vectors[i];
      headers[i].msg_hdr.msg_iovlen = 1;
      headers[i].msg_hdr.msg_name = &to_;
      headers[i].msg_hdr.msg_namelen = sizeof to_;
    }
    unsigned sent = 0;
    while (sent < datagrams.size()) {
      int r = ::sendmmsg(fd_, headers + sent, static_cast<unsigned>(datagrams.size() - sent), 0);
      if (r <= 0) break;
      sent += static_cast<unsigned>(r);
    }
  }

  // One message of equal-sized segments.
  void sendSegmented(const std::vector<std::vector<uint8_t>>& datagrams) {
    iovec vectors[batchSize];
    for (size_t i = 0; i < datagrams.size(); ++i) vectors[i] = {const_cast<uint8_t*>(datagrams[i].data()), datagrams[i].size()};
    for (size_t first = 0; first < datagrams.size(); first += 40) {  // 40 x 1,350 stays under 64 KiB
      size_t count = std::min<size_t>(40, datagrams.size() - first);
      char control[CMSG_SPACE(sizeof(uint16_t))] = {};
      msghdr h{};
      h.msg_name = &to_;
      h.msg_namelen = sizeof to_;
      h.msg_iov = vectors + first;
      h.msg_iovlen = count;
      h.msg_control = control;
      h.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_UDP;
      c->cmsg_type = UDP_SEGMENT;
      c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
      auto segment = static_cast<uint16_t>(datagrams[first].size());
      std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
      (void)::sendmsg(fd_, &h, 0);
    }
  }

 private:
  int fd_;
  sockaddr_in6 to_{};
};

// The host's video path: a listening socket's link for the sink's address, in a UDPFlow, in a
// RebindableUDPFlow, exactly as a session transport holds it.
struct HostVideoPath {
  explicit HostVideoPath(const Sink& sink) : thread(tavlo::NetThread::start("bench.host")) {
    socket = tavlo::UdpListenSocket::open(thread, 0, tavlo::ServiceClass::interactiveVideo);
    tavlo::Channel<std::shared_ptr<UDPFlow>> peers;
    socket->start([&peers](std::shared_ptr<tavlo::UdpLink> link) {
      auto flow = std::make_shared<UDPFlow>(std::move(link), "video");
      flow->start([](bool) {});
      peers.send(flow);
    });
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(socket->port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t bind[16] = {};
    ::sendto(sink.fd(), bind, sizeof bind, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    auto flow = peers.receive();
    box = RebindableUDPFlow::create(*flow, "video");
    socket->stop();
    thread->sync([] {});  // the handover has finished with `peers`
  }
  std::shared_ptr<tavlo::NetThread> thread;
  std::unique_ptr<tavlo::UdpListenSocket> socket;
  std::shared_ptr<RebindableUDPFlow> box;
};

std::vector<std::vector<uint8_t>> makeBatch(bool equalSizes) {
  std::vector<std::vector<uint8_t>> batch;
  // Rising sizes never form a run that segmentation offload could take.
  for (size_t i = 0; i < batchSize; ++i) batch.emplace_back(equalSizes ? 1350 : 1286 + i, static_cast<uint8_t>(i));
  return batch;
}

double rate(size_t datagrams, Clock::duration spent) {
  return static_cast<double>(datagrams) / std::chrono::duration<double>(spent).count();
}

// Arg 0: sizes that rule segmentation out (flow and baseline both one datagram per message).
// Arg 1: equal sizes, where the flow segments; baselines: plain sendmmsg and hand-made GSO.
void BM_SendBatchAgainstRawSendmmsg(benchmark::State& state) {
  bool equalSizes = state.range(0) == 1;
  Sink sink;
  RawSender raw(sink.port());
  HostVideoPath host(sink);
  auto batch = makeBatch(equalSizes);
  std::vector<ByteView> views(batch.begin(), batch.end());
  Clock::duration rawTime{}, gsoTime{}, flowTime{};
  size_t batches = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    raw.sendmmsg(batch);
    auto t1 = Clock::now();
    host.box->sendBatch(views);
    auto t2 = Clock::now();
    if (equalSizes) raw.sendSegmented(batch);
    auto t3 = Clock::now();
    rawTime += t1 - t0;
    flowTime += t2 - t1;
    gsoTime += t3 - t2;
    ++batches;
  }
  size_t datagrams = batches * batchSize;
  state.counters["raw_sendmmsg_dps"] = rate(datagrams, rawTime);
  state.counters["flow_sendBatch_dps"] = rate(datagrams, flowTime);
  state.counters["ratio_flow_to_raw"] = rate(datagrams, flowTime) / rate(datagrams, rawTime);
  if (equalSizes) {
    state.counters["raw_gso_dps"] = rate(datagrams, gsoTime);
    state.counters["ratio_flow_to_raw_gso"] = rate(datagrams, flowTime) / rate(datagrams, gsoTime);
  }
  state.SetLabel(equalSizes ? "64 x 1,350 bytes (flow segments)" : "64 datagrams of rising sizes (no segmentation)");
}
BENCHMARK(BM_SendBatchAgainstRawSendmmsg)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// One 100-byte control packet from the client's ReliableChannel::send to the host's incoming.
void BM_ReliableSendToPeerIncoming(benchmark::State& state) {
  tavlo::FakeClock unused;
  auto listener = HostListener::create();
  std::mt19937 random(std::random_device{}());
  uint16_t base = 0;
  for (int attempt = 0; attempt < 64 && base == 0; ++attempt) {
    auto port = static_cast<uint16_t>(std::uniform_int_distribution<int>(12000, 31000)(random));
    try {
      listener->start(port);
      base = port;
    } catch (const std::exception&) {
    }
  }
  if (base == 0) {
    state.SkipWithError("no free port block");
    return;
  }
  auto client = DirectDialer{}.connect("127.0.0.1", base);
  auto host = listener->sessions().receive();
  std::vector<uint8_t> packet(100, 0);
  for (auto _ : state) {
    client->control().send(packet);
    auto got = (*host)->control().incoming().receive();
    benchmark::DoNotOptimize(got);
  }
  state.SetLabel("us per packet = time per iteration");
  (*host)->close();
  client->close();
}
BENCHMARK(BM_ReliableSendToPeerIncoming)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace vela
