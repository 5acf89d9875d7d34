#pragma once
// What waits to be let in, capped in total and per remote address: anyone who completes a connection
// gets an entry, so a new arrival over a cap pushes out an older waiting one, which a flood cannot
// keep alive and an honest client has long since finished with. An address over its own cap pushes
// out its own oldest; when the total is full, the oldest entry of the address that holds the most goes,
// so one address's arrivals never push out another address's while it holds more than that one.
// Entries are held weakly: one whose object went away stops counting. Used for the connections waiting
// for their flows and for their handshake, and for the sessions waiting for their admission. Not
// locked: its owner guards it.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavlo {

template <class T>
class CappedWaitingList {
 public:
  static constexpr size_t defaultTotalCap = 64;
  static constexpr size_t defaultPerAddressCap = 8;

  explicit CappedWaitingList(size_t totalCap = defaultTotalCap, size_t perAddressCap = defaultPerAddressCap)
      : totalCap_(std::max<size_t>(totalCap, 1)), perAddressCap_(std::max<size_t>(perAddressCap, 1)) {}

  // Records `item` from `address` (the key its remote endpoint counts under) as waiting; returns the
  // waiting items it displaces, oldest first, for the caller to close.
  std::vector<std::shared_ptr<T>> add(const std::string& address, const std::shared_ptr<T>& item) {
    forgetGone();
    std::vector<std::shared_ptr<T>> displaced;
    while (countOf(address) >= perAddressCap_) displaced.push_back(displaceOldestOf(address));
    while (waiting_.size() >= totalCap_) displaced.push_back(displaceOldestOf(fullestAddress(address)));
    std::erase(displaced, nullptr);
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
  size_t countOf(const std::string& address) const {
    return static_cast<size_t>(
        std::count_if(waiting_.begin(), waiting_.end(), [&](const Entry& e) { return e.address == address; }));
  }
  // The address that holds the most entries once `arriving` holds its new one too (there is one
  // entry at least); of several, `arriving` itself, else the one whose oldest entry is the oldest.
  std::string fullestAddress(const std::string& arriving) const {
    std::map<std::string, size_t> counts{{arriving, 1}};
    for (const Entry& e : waiting_) ++counts[e.address];
    const Entry* fullest = nullptr;
    for (const Entry& e : waiting_) {
      const size_t count = counts[e.address];
      const size_t best = fullest ? counts[fullest->address] : 0;
      if (!fullest || count > best || (count == best && e.address == arriving && fullest->address != arriving))
        fullest = &e;
    }
    return fullest->address;
  }
  // Removes the oldest entry of `address` (there is one); its item, or null when it had gone.
  std::shared_ptr<T> displaceOldestOf(const std::string& address) {
    auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Entry& e) { return e.address == address; });
    std::shared_ptr<T> old = it->item.lock();
    waiting_.erase(it);
    return old;
  }

  const size_t totalCap_;
  const size_t perAddressCap_;
  std::deque<Entry> waiting_;  // oldest first
};

}  // namespace tavlo
