#pragma once
// Lines logged from other threads on their way to the main executor. Peers can make the host log (a
// refused datagram, a failed handshake), so the lines wait here, at most `limit` of them with the oldest
// dropped first and counted, and one drain job at a time is posted, instead of one job a line piling up
// in the executor's queue.
#include <cstdint>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tavlo {

class LogBacklog {
 public:
  explicit LogBacklog(size_t limit) : limit_(limit) {}

  // Keeps the line; true when the caller must post a drain (none is under way).
  bool add(std::string line);

  struct Drained {
    std::vector<std::string> lines;  // oldest first
    uint64_t dropped = 0;            // lines dropped before the first of them
    bool more = false;               // lines are left: the caller posts the next drain itself
  };
  // The oldest `most` lines waiting; once none are left, the next add() asks for a drain again.
  Drained drain(size_t most = SIZE_MAX);

 private:
  const size_t limit_;
  std::mutex mutex_;
  std::deque<std::string> lines_;
  uint64_t dropped_ = 0;
  bool drainPosted_ = false;
};

}  // namespace tavlo
