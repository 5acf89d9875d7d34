#pragma once
// The nonces of the packets taken on one way in, so that a copy of a packet taken before is not taken
// again. The peer draws its nonces at random, so there is no order to keep a sliding window over: this
// is a set of nonces, bounded in one of two ways.
//
// - forgetOldest (the datagram flows): the last `capacity` nonces; the oldest is forgotten to make
//   room. A copy of any of the last `capacity` packets is refused, both for delivery and as proof of a
//   new address; a copy of an older one opens as new. What such a copy can still do is the flow's
//   business: the rebindable flow moves to a new address only when the client has stopped sending
//   from its own, and the datagram channels carry nothing that may not be taken twice (a pointer
//   position, a feedback report, a short stretch of microphone sound or a camera picture).
// - refuse (the reliable channels: keys, buttons, text, control): nothing is ever forgotten. Once
//   `capacity` nonces are held a new one is refused and full() says so; the owner ends the session
//   then (the client reconnects under a new key), so no copy of any packet of the session is taken
//   twice however long it runs.
//
// Memory is about 20 to 28 bytes per nonce held and grows only with packets that opened under the
// session key: anyone can send garbage, and it must neither grow the set nor push a nonce out.
// Thread-safe: the pump of a flow takes packets while that flow's adoption verifier claims others.
#include <cstdint>
#include <mutex>
#include <vector>

#include "e2e/e2e_envelope.hpp"

namespace vela {

class ReplayWindow {
 public:
  enum class WhenFull : uint8_t { forgetOldest, refuse };

  // A datagram flow's window: at the busiest client-to-host rates (pointer samples at a few hundred a
  // second, camera chunks on video) this is minutes of traffic.
  static constexpr size_t datagramCapacity = size_t{1} << 15;
  // Every reliable packet of a session: keys, text and buttons are a handful a second, scroll and
  // pencil updates a few hundred; this is hours of continuous drawing (about 40 MiB when full).
  static constexpr size_t reliableCapacity = size_t{1} << 21;

  explicit ReplayWindow(size_t capacity = datagramCapacity, WhenFull whenFull = WhenFull::forgetOldest);

  // Whether the packet sealed with `nonce` (12 bytes) may be delivered: true for a nonce not seen here,
  // and once for a nonce that claimForAdoption() took (the datagram that proved the new address is
  // itself delivered, whichever flow it reaches the pump by); false for every other copy, and for a
  // new nonce that a full refusing set cannot hold.
  bool takeForDelivery(ByteView nonce);
  // Whether a datagram sealed with `nonce` may prove a new address: only when no packet with that
  // nonce was seen here (and a refusing set has room). The nonce is then held as claimed, so no other
  // copy proves anything.
  bool claimForAdoption(ByteView nonce);
  // A refusing set that holds `capacity` nonces: it takes nothing new.
  bool full() const;
  size_t size() const;
  size_t capacity() const { return capacity_; }

 private:
  static constexpr uint32_t claimedBit = uint32_t{1} << 31;
  static constexpr size_t minSlots = 1024;

  // The slot holding `nonce`, or the empty slot where it would go.
  size_t find(const E2EEnvelope::Nonce& nonce) const;
  size_t homeOf(const E2EEnvelope::Nonce& nonce) const;
  bool fullLocked() const { return whenFull_ == WhenFull::refuse && ring_.size() >= capacity_; }
  // Enters a nonce known to be absent; false when a full refusing set has no room for it.
  bool insert(const E2EEnvelope::Nonce& nonce, bool claimed);
  void erase(size_t slot);
  void grow();

  const size_t capacity_;
  const WhenFull whenFull_;
  mutable std::mutex mutex_;  // everything below
  std::vector<E2EEnvelope::Nonce> ring_;  // grows to capacity; then, when forgetting, the oldest is overwritten
  size_t oldest_ = 0;                     // the next entry to overwrite once ring_ is full
  // Open addressing, linear probing: 0 is empty, else (index into ring_ + 1) | claimedBit when claimed.
  // At most half full, so probes stay short.
  std::vector<uint32_t> slots_;
};

}  // namespace vela
