#include "hostcore/session/pacer_backlog.hpp"

#include <algorithm>

namespace vela {

PacerBacklog::Admission PacerBacklog::admit(int64_t packets) {
  // An empty job still takes a place in the queue, so it counts as one datagram.
  const int64_t weight = std::max<int64_t>(packets, 1);
  Admission admission;
  while (!jobs_.empty() && queuedPackets_ + weight > maxQueuedPackets) {
    const Job& oldest = jobs_.front();
    revokedThrough_.store(oldest.ticket, std::memory_order_relaxed);
    queuedPackets_ -= oldest.packets;
    admission.droppedJobs += 1;
    admission.droppedPackets += oldest.packets;
    jobs_.pop_front();
  }
  droppedPacketsTotal_ += admission.droppedPackets;
  admission.ticket = nextTicket_++;
  jobs_.push_back(Job{admission.ticket, weight});
  queuedPackets_ += weight;
  return admission;
}

void PacerBacklog::finish(uint64_t ticket) {
  // A revoked job was taken off when it lost its ticket.
  if (!isLive(ticket)) return;
  auto it = std::find_if(jobs_.begin(), jobs_.end(), [ticket](const Job& job) { return job.ticket == ticket; });
  if (it == jobs_.end()) return;
  queuedPackets_ -= it->packets;
  jobs_.erase(it);
}

}  // namespace vela
