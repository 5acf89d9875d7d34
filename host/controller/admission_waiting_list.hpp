#pragma once
// What waits to be let in, capped in total and per remote address: anyone who completes a connection
// gets an entry, so a new arrival over a cap pushes out the oldest waiting one, which a flood cannot
// keep alive and an honest client has long since finished with. Entries are held weakly: one whose
// object went away stops counting. Used for the connections waiting for their handshake and for the
// sessions waiting for their admission. Not locked: its owner's thread only.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "host/controller/controlled_session.hpp"

namespace tavlo {

template <class T>
class CappedWaitingList {
 public:
  static constexpr size_t defaultTotalCap = 64;
  static constexpr size_t defaultPerAddressCap = 8;

  explicit CappedWaitingList(size_t totalCap = defaultTotalCap, size_t perAddressCap = defaultPerAddressCap)
      : totalCap_(std::max<size_t>(totalCap, 1)), perAddressCap_(std::max<size_t>(perAddressCap, 1)) {}

  // Records `item` from `address` (the host part of the remote endpoint) as waiting; returns the
  // waiting items it displaces, oldest first, for the caller to close.
  std::vector<std::shared_ptr<T>> add(const std::string& address, const std::shared_ptr<T>& item) {
    forgetGone();
    std::vector<std::shared_ptr<T>> displaced;
    auto displace = [&](typename std::deque<Entry>::iterator it) {
      if (auto old = it->item.lock()) displaced.push_back(std::move(old));
      return waiting_.erase(it);
    };
    auto fromAddress = static_cast<size_t>(
        std::count_if(waiting_.begin(), waiting_.end(), [&](const Entry& e) { return e.address == address; }));
    for (auto it = waiting_.begin(); it != waiting_.end() && fromAddress >= perAddressCap_;) {
      if (it->address == address) {
        it = displace(it);
        --fromAddress;
      } else {
        ++it;
      }
    }
    while (waiting_.size() >= totalCap_) displace(waiting_.begin());
    waiting_.push_back(Entry{address, item});
    return displaced;
  }

  // The item was let in or ended: it waits no longer.
  void forget(const std::shared_ptr<T>& item) {
    std::erase_if(waiting_, [&](const Entry& e) {
      auto held = e.item.lock();
      return !held || held == item;
    });
  }

  size_t size() {
    forgetGone();
    return waiting_.size();
  }

  // Every item still waiting, oldest first; the list is left empty.
  std::vector<std::shared_ptr<T>> takeAll() {
    std::vector<std::shared_ptr<T>> all;
    for (auto& entry : waiting_)
      if (auto item = entry.item.lock()) all.push_back(std::move(item));
    waiting_.clear();
    return all;
  }

 private:
  struct Entry {
    std::string address;
    std::weak_ptr<T> item;
  };
  void forgetGone() {
    std::erase_if(waiting_, [](const Entry& e) { return e.item.expired(); });
  }

  const size_t totalCap_;
  const size_t perAddressCap_;
  std::deque<Entry> waiting_;  // oldest first
};

// The sessions that have a transport and a session key but no admission yet (waiting for their hello).
using AdmissionWaitingList = CappedWaitingList<ControlledSession>;

}  // namespace tavlo
