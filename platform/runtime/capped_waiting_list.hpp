#pragma once
// What waits to be let in, capped in total and per remote address: anyone who completes a connection
// gets an entry, so a new arrival over a cap pushes out an older waiting one, which a flood cannot
// keep alive and an honest client has long since finished with.
//
// An entry is filed under the address blocks of its peer, widest first (an IPv4 /24, then the address;
// an IPv6 /48, its /64, then the address): a peer that is many addresses is usually many addresses of
// one block. An address over its own cap pushes out its own oldest. When the total is full, the oldest
// entry goes of the block that holds the most at every level, from the widest down (the arriving entry
// counted in, a tie going against the arriving entry's own block, else against the block with the
// oldest entry): so whoever floods from many addresses of a block, or from one address, pushes out
// its own entries, never those of a block or an address that holds fewer.
//
// Entries are held weakly: one whose object went away stops counting once it is met. Used for the
// connections waiting for their proof and their flows, for their handshake, and for the sessions
// waiting for their admission. Not locked: its owner guards it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavlo {

template <class T>
class CappedWaitingList {
 public:
  static constexpr size_t defaultTotalCap = 64;
  static constexpr size_t defaultPerAddressCap = 8;

  explicit CappedWaitingList(size_t totalCap = defaultTotalCap, size_t perAddressCap = defaultPerAddressCap)
      : totalCap_(std::max<size_t>(totalCap, 1)), perAddressCap_(std::max<size_t>(perAddressCap, 1)) {}

  // Records `item` as waiting, filed under `blocks` (widest first; the last is the address the
  // per-address cap counts); returns the waiting items it displaces, oldest first, for the caller to close.
  std::vector<std::shared_ptr<T>> add(const std::vector<std::string>& blocks, const std::shared_ptr<T>& item) {
    std::vector<std::shared_ptr<T>> displaced;
    forget(item);
    while (countAt(blocks) >= perAddressCap_) displaced.push_back(removeOldestUnder(blocks));
    while (entries_.size() >= totalCap_) displaced.push_back(removeOldestUnder(fullestPath(blocks)));
    std::erase(displaced, nullptr);
    const uint64_t sequence = nextSequence_++;
    Node* node = &root_;
    node->sequences.insert(sequence);
    for (const std::string& block : blocks) {
      auto& child = node->children[block];
      if (!child) child = std::make_unique<Node>();
      node = child.get();
      node->sequences.insert(sequence);
    }
    entries_.emplace(sequence, Entry{blocks, item, item.get()});
    index_[item.get()] = sequence;
    return displaced;
  }
  // An address that is its own only block.
  std::vector<std::shared_ptr<T>> add(const std::string& address, const std::shared_ptr<T>& item) {
    return add(std::vector<std::string>{address}, item);
  }

  // The item was let in or ended: it waits no longer.
  void forget(const std::shared_ptr<T>& item) {
    auto it = index_.find(item.get());
    if (it == index_.end()) return;
    remove(it->second);
  }

  size_t size() {
    forgetGone();
    return entries_.size();
  }

  // Every item still waiting, oldest first; the list is left empty.
  std::vector<std::shared_ptr<T>> takeAll() {
    std::vector<std::shared_ptr<T>> all;
    for (auto& [sequence, entry] : entries_)
      if (auto item = entry.item.lock()) all.push_back(std::move(item));
    entries_.clear();
    index_.clear();
    root_ = Node{};
    return all;
  }

 private:
  struct Node {
    std::set<uint64_t> sequences;  // of every entry below, oldest first: its size is their count
    std::map<std::string, std::unique_ptr<Node>> children;
  };
  struct Entry {
    std::vector<std::string> blocks;
    std::weak_ptr<T> item;
    const T* raw;  // its key in index_
  };

  void forgetGone() {
    std::vector<uint64_t> gone;
    for (const auto& [sequence, entry] : entries_)
      if (entry.item.expired()) gone.push_back(sequence);
    for (uint64_t sequence : gone) remove(sequence);
  }
  const Node* nodeAt(const std::vector<std::string>& blocks) const {
    const Node* node = &root_;
    for (const std::string& block : blocks) {
      auto it = node->children.find(block);
      if (it == node->children.end()) return nullptr;
      node = it->second.get();
    }
    return node;
  }
  size_t countAt(const std::vector<std::string>& blocks) const {
    const Node* node = nodeAt(blocks);
    return node ? node->sequences.size() : 0;
  }
  // The blocks to push an entry out of: at every level the child holding the most, the arriving entry
  // counted in its own; ties go against the arriving entry's branch, else the one with the oldest entry.
  std::vector<std::string> fullestPath(const std::vector<std::string>& arriving) const {
    std::vector<std::string> path;
    const Node* node = &root_;
    bool onArrivingBranch = true;
    while (!node->children.empty()) {
      const std::string* own = onArrivingBranch && path.size() < arriving.size() ? &arriving[path.size()] : nullptr;
      const std::string* best = nullptr;
      const Node* bestNode = nullptr;
      size_t bestCount = 0;
      for (const auto& [block, child] : node->children) {
        const bool isOwn = own && block == *own;
        const bool bestIsOwn = own && best && *best == *own;
        const size_t count = child->sequences.size() + (isOwn ? 1 : 0);
        const bool better = !best || count > bestCount ||
                            (count == bestCount && !bestIsOwn &&
                             (isOwn || *child->sequences.begin() < *bestNode->sequences.begin()));
        if (better) {
          best = &block;
          bestNode = child.get();
          bestCount = count;
        }
      }
      onArrivingBranch = own && *best == *own;
      path.push_back(*best);
      node = bestNode;
    }
    return path;
  }
  // Removes the oldest entry under `blocks` (there is one); its item, or null when it had gone.
  std::shared_ptr<T> removeOldestUnder(const std::vector<std::string>& blocks) {
    const Node* node = nodeAt(blocks);
    const uint64_t sequence = *node->sequences.begin();
    std::shared_ptr<T> item = entries_.at(sequence).item.lock();
    remove(sequence);
    return item;
  }
  void remove(uint64_t sequence) {
    auto it = entries_.find(sequence);
    if (it == entries_.end()) return;
    Node* node = &root_;
    node->sequences.erase(sequence);
    for (const std::string& block : it->second.blocks) {
      auto child = node->children.find(block);
      if (child == node->children.end()) break;
      child->second->sequences.erase(sequence);
      if (child->second->sequences.empty()) {
        node->children.erase(child);
        break;
      }
      node = child->second.get();
    }
    auto indexed = index_.find(it->second.raw);
    if (indexed != index_.end() && indexed->second == sequence) index_.erase(indexed);
    entries_.erase(it);
  }

  const size_t totalCap_;
  const size_t perAddressCap_;
  Node root_;
  std::map<uint64_t, Entry> entries_;                 // oldest first
  std::unordered_map<const T*, uint64_t> index_;      // an entry's sequence by its item
  uint64_t nextSequence_ = 0;
};

}  // namespace tavlo
