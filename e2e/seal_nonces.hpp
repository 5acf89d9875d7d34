#pragma once
// The nonces one end puts on the envelopes it seals: a random 4-byte prefix chosen once per session
// wrapper, then a 64-bit counter (little-endian). Both ends seal under the same session key, so a
// packet one end sent can be sent back at it and would open there; with this form the end recognises
// its own packets without remembering any of them. The counter also keeps every nonce unique under
// the key with no birthday bound, however long the session runs. To the peer these are 12 bytes like
// any others: it opens them as it opens random ones.
//
// A peer's nonce (random, as the other end's side draws them) passes for one of ours only when its
// prefix matches (2^-32) and its counter is below the number sealed so far (under 2^-24 for the first
// 2^40 packets): a packet lost that way is as likely as a corrupted one passing Poly1305.
#include <atomic>
#include <cstdint>

#include "e2e/e2e_envelope.hpp"

namespace vela {

class SealNonces {
 public:
  SealNonces();
  SealNonces(const SealNonces&) = delete;
  SealNonces& operator=(const SealNonces&) = delete;

  // A nonce not handed out before; any thread.
  E2EEnvelope::Nonce next();
  // Whether `nonce` (12 bytes) is one that next() handed out.
  bool isOwn(ByteView nonce) const;

 private:
  static constexpr size_t prefixSize = 4;
  uint32_t prefix_;
  std::atomic<uint64_t> issued_{0};
};

}  // namespace vela
