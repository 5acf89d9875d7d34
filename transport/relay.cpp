#include "transport/relay.hpp"

#include "platform/crypto/hmac_sha256.hpp"
#include "platform/runtime/base64.hpp"

namespace vela {

std::string Relay::gateMAC(std::string_view hostID, ByteView sigPub) {
  auto message = ByteView(reinterpret_cast<const uint8_t*>(hostID.data()), hostID.size());
  auto tag = tavlo::crypto::hmacSha256(sigPub, message);
  // Fails only when the crypto library itself fails; the service then refuses the empty MAC.
  if (!tag) return {};
  return tavlo::base64Encode(ByteView(tag->data(), tag->size()));
}

}  // namespace vela
