#pragma once
// The nonces of the packets taken recently on one way in, so that a copy of a packet taken before is
// never taken again: a relay replaying a sealed key press, or a captured datagram sent from another
// address to move the flow there. The peer draws its nonces at random, so there is no order to keep a
// sliding window over: this is a set of the last `capacity` nonces, the oldest forgotten first.
//
// What the bound guarantees: a copy of any of the last `capacity` packets taken on this way in is
// refused, both for delivery and as proof of a new address. A copy of an older one would pass; to use
// one, a peer must hold it until the client has sent `capacity` newer packets on the same channel. At
// the busiest client-to-host channel rates (pointer samples at a few hundred a second, camera chunks
// on video) that is minutes; for keepalives, typed keys or feedback it is hours. Memory is at most
// 640 KiB per window and grows only with packets that opened under the session key, so nobody without
// the key can grow it or push a nonce out.
//
// Only nonces of packets that opened are entered: anyone can send garbage, and it must not evict.
// Thread-safe: the pump of a flow takes packets while that flow's adoption verifier claims others.
#include <cstdint>
#include <mutex>
#include <vector>

#include "e2e/e2e_envelope.hpp"

namespace vela {

class ReplayWindow {
 public:
  static constexpr size_t capacity = size_t{1} << 15;

  // Whether the packet sealed with `nonce` (12 bytes) may be delivered: true for a nonce not seen here,
  // and once for a nonce that claimForAdoption() took (the datagram that proved the new address is
  // itself delivered, whichever flow it reaches the pump by); false for every other copy.
  bool takeForDelivery(ByteView nonce);
  // Whether a datagram sealed with `nonce` may prove a new address: only when no packet with that
  // nonce was seen here. The nonce is then held as claimed, so no other copy proves anything.
  bool claimForAdoption(ByteView nonce);
  size_t size() const;

 private:
  static constexpr uint32_t claimedBit = uint32_t{1} << 31;
  static constexpr size_t minSlots = 1024;

  // The slot holding `nonce`, or the empty slot where it would go.
  size_t find(const E2EEnvelope::Nonce& nonce) const;
  size_t homeOf(const E2EEnvelope::Nonce& nonce) const;
  void insert(const E2EEnvelope::Nonce& nonce, bool claimed);
  void erase(size_t slot);
  void grow();

  mutable std::mutex mutex_;  // everything below
  std::vector<E2EEnvelope::Nonce> ring_;  // grows to capacity, then the oldest entry is overwritten
  size_t oldest_ = 0;                     // the next entry to overwrite once ring_ is full
  // Open addressing, linear probing: 0 is empty, else (index into ring_ + 1) | claimedBit when claimed.
  // At most half full, so probes stay short.
  std::vector<uint32_t> slots_;
};

}  // namespace vela
