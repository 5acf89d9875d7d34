#include "platform/net/datagram_batch.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <vector>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace tavlo {
namespace {

constexpr size_t maxMessagesPerCall = 64;    // sendmmsg messages per system call
constexpr size_t maxSegmentsPerMessage = 64;  // the kernel's UDP_MAX_SEGMENTS
constexpr size_t maxSegmentedBytes = 60'000;  // below the 65,507-byte UDP payload limit of IPv4

uint64_t monotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

// One sendmmsg message: datagrams [first, first + count), segmented when count > 1.
struct Message {
  size_t first;
  size_t count;
};

struct Scratch {
  std::vector<mmsghdr> headers;
  std::vector<iovec> vectors;
  std::vector<Message> messages;
  std::vector<char> controls;
};

constexpr size_t controlSpace = CMSG_SPACE(sizeof(uint16_t));

// Groups datagrams from `next` into at most maxMessagesPerCall messages. A segmented message is a run
// of equal sizes, optionally closed by one shorter datagram (the kernel's rule for GSO).
void plan(std::span<const ByteView> datagrams, size_t next, bool segment, Scratch& s) {
  s.messages.clear();
  size_t i = next;
  while (i < datagrams.size() && s.messages.size() < maxMessagesPerCall) {
    size_t count = 1;
    size_t segmentSize = datagrams[i].size();
    if (segment && segmentSize > 0) {
      size_t total = segmentSize;
      while (i + count < datagrams.size() && count < maxSegmentsPerMessage) {
        size_t size = datagrams[i + count].size();
        if (size == 0 || size > segmentSize || total + size > maxSegmentedBytes) break;
        total += size;
        ++count;
        if (size < segmentSize) break;
      }
    }
    s.messages.push_back({i, count});
    i += count;
  }
}

void build(std::span<const ByteView> datagrams, const SocketAddress* destination, Scratch& s) {
  size_t vectorCount = 0;
  for (const Message& m : s.messages) vectorCount += m.count;
  s.headers.assign(s.messages.size(), mmsghdr{});
  s.vectors.resize(vectorCount);
  s.controls.assign(s.messages.size() * controlSpace, 0);
  size_t v = 0;
  for (size_t k = 0; k < s.messages.size(); ++k) {
    const Message& m = s.messages[k];
    msghdr& h = s.headers[k].msg_hdr;
    h.msg_iov = &s.vectors[v];
    h.msg_iovlen = m.count;
    for (size_t j = 0; j < m.count; ++j, ++v) {
      ByteView d = datagrams[m.first + j];
      s.vectors[v].iov_base = const_cast<uint8_t*>(d.data());
      s.vectors[v].iov_len = d.size();
    }
    if (destination) {
      h.msg_name = const_cast<sockaddr*>(destination->get());
      h.msg_namelen = destination->length;
    }
    if (m.count > 1) {
      h.msg_control = &s.controls[k * controlSpace];
      h.msg_controllen = controlSpace;
      cmsghdr* c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_UDP;
      c->cmsg_type = UDP_SEGMENT;
      c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
      auto segmentSize = static_cast<uint16_t>(datagrams[m.first].size());
      std::memcpy(CMSG_DATA(c), &segmentSize, sizeof segmentSize);
    }
  }
}

// Waits until the socket can take more, or the deadline passes. Returns false on time-out.
bool waitWritable(int fd, uint64_t deadlineUs) {
  for (;;) {
    uint64_t now = monotonicUs();
    if (now >= deadlineUs) return false;
    uint64_t left = deadlineUs - now;
    timespec timeout{static_cast<time_t>(left / 1'000'000), static_cast<long>((left % 1'000'000) * 1000)};
    pollfd p{fd, POLLOUT, 0};
    int r = ppoll(&p, 1, &timeout, nullptr);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool isSegmentationRefusal(int error) {
  return error == EIO || error == EINVAL || error == EOPNOTSUPP || error == ENOPROTOOPT;
}

}  // namespace

DatagramBatchResult sendDatagramBatch(int fd, const SocketAddress* destination, std::span<const ByteView> datagrams,
                                      std::atomic<bool>& gsoUsable) {
  thread_local Scratch s;
  DatagramBatchResult result;
  size_t next = 0;
  uint64_t deadlineUs = 0;
  bool retriedRefusal = false;
  while (next < datagrams.size()) {
    bool segment = gsoUsable.load(std::memory_order_relaxed);
    plan(datagrams, next, segment, s);
    build(datagrams, destination, s);
    int r = sendmmsg(fd, s.headers.data(), static_cast<unsigned>(s.headers.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r > 0) {
      size_t done = static_cast<size_t>(r);
      size_t reached = done < s.messages.size() ? s.messages[done].first : datagrams.size();
      result.sent += reached - next;
      next = reached;
      continue;
    }
    int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      if (deadlineUs == 0) deadlineUs = monotonicUs() + sendStallLimitUs;
      if (waitWritable(fd, deadlineUs)) continue;
      if (result.firstError == 0) result.firstError = error;
      break;  // the buffer stayed full: what is left is lost
    }
    const Message& failed = s.messages.front();
    if (failed.count > 1 && isSegmentationRefusal(error)) {
      gsoUsable.store(false, std::memory_order_relaxed);
      continue;  // the same datagrams again, one message each
    }
    if (error == ECONNREFUSED && !retriedRefusal) {
      // A connected socket reports an earlier ICMP refusal on the next send, which then did not go out.
      retriedRefusal = true;
      continue;
    }
    if (result.firstError == 0) result.firstError = error;
    next = failed.first + failed.count;  // this message is lost; the rest still go
  }
  return result;
}

}  // namespace tavlo
