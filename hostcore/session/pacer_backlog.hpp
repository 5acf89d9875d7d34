#pragma once
// What waits on the pacer queue, bounded. A clogged link makes the pacer fall behind the encoder; without
// a bound its queue (and the chunks and parity it holds) would grow for as long as the link stays clogged.
// Each paced job takes a ticket; when the datagrams of the jobs queued would pass the limit, the oldest
// jobs lose their tickets first (their frames are the stalest) and send nothing more. Guarded by the
// session mutex, but for isLive(): the pacer asks it before every datagram and every slice of its waits,
// so it reads an atomic mark and takes no lock.
#include <atomic>
#include <cstdint>
#include <deque>

namespace vela {

class PacerBacklog {
 public:
  static constexpr int64_t maxQueuedPackets = 4096;  // about 5 MB of datagrams, several 4K keyframes

  struct Admission {
    uint64_t ticket = 0;
    int64_t droppedJobs = 0;     // older jobs that lost their ticket to make room
    int64_t droppedPackets = 0;  // their datagrams
  };

  // A job of `packets` datagrams about to be queued. The newest job is always admitted, even alone
  // above the limit: it is the frame the client needs next.
  Admission admit(int64_t packets);
  // Whether the job holding `ticket` may still send. Safe without the session mutex.
  bool isLive(uint64_t ticket) const { return ticket > revokedThrough_.load(std::memory_order_relaxed); }
  // The job holding `ticket` has ended (sent everything, or stopped because it lost its ticket).
  void finish(uint64_t ticket);

  int64_t queuedPackets() const { return queuedPackets_; }
  int64_t queuedJobs() const { return int64_t(jobs_.size()); }
  int64_t droppedPacketsTotal() const { return droppedPacketsTotal_; }

 private:
  struct Job {
    uint64_t ticket;
    int64_t packets;
  };
  std::deque<Job> jobs_;  // in queue order, which is ticket order
  uint64_t nextTicket_ = 1;
  // Every ticket up to this one is revoked; written under the session mutex, read by isLive() without it.
  std::atomic<uint64_t> revokedThrough_{0};
  int64_t queuedPackets_ = 0;
  int64_t droppedPacketsTotal_ = 0;
};

}  // namespace vela
