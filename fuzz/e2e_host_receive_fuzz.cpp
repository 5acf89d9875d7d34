// Any bytes on the five inner channels of a host's encrypting wrapper, before and after a key is agreed:
// nothing crashes, and the session is handed nothing that did not open under the key (apart from the
// bare bind header that may pass unsealed on the video and audio flows once keyed).
//
// Input: one mode byte (bit 0: run a real handshake first; bit 1: gate not required), then records of
// [selector][length, 2 bytes little-endian][bytes]. The selector's low three bits pick the inner
// channel (modulo 5); bit 7 seals the bytes under the agreed key first, so that the opened-packet paths
// are reached too. What went in sealed is expected back on its own flow, or on either reliable channel
// for the two reliable ones (the wrapper re-sorts them by the opened header).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "e2e/e2e_client_handshake.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/encrypted_transport.hpp"
#include "platform/runtime/secret_store.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace {

using namespace vela;

const std::shared_ptr<const E2EIdentity>& identity() {
  static const auto instance = [] {
    tavlo::MemorySecretStore secrets;
    tavlo::Settings settings;
    return E2EIdentity::load({secrets, settings, std::nullopt, [] { return std::optional<std::string>("fuzz"); }});
  }();
  return instance;
}

// A new nonce per sealed packet, the same sequence every run: an input replays as it ran.
E2EEnvelope::Nonce nextNonce() {
  static uint64_t counter = 0;
  E2EEnvelope::Nonce nonce{};
  ++counter;
  for (size_t i = 0; i < sizeof counter; ++i) nonce[i] = static_cast<uint8_t>(counter >> (8 * i));
  return nonce;
}

bool isBareHeader(const Bytes& packet) {
  if (packet.size() != PacketHeader::byteCount) return false;
  try {
    ByteReader reader(packet);
    return PacketHeader::decode(reader).msgType == 0;
  } catch (const WireError&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool keyFirst = data[0] & 0x01;
  const bool requireSecure = !(data[0] & 0x02);
  auto pair = testkit::MemoryTransportPair::make();
  auto wrapper = EncryptedTransport::host(pair.host, identity(), requireSecure, {});

  std::optional<tavlo::crypto::SymmetricKey> key;
  if (keyFirst) {
    Bytes hostKey(identity()->signingPublicKey().begin(), identity()->signingPublicKey().end());
    auto client = E2EClientHandshake::start(hostKey);
    pair.client->control().send(client->helloPacket());
    auto ack = pair.client->control().incoming().receive();
    if (!ack) std::abort();
    auto result = client->judgeAck(*ack, [](auto&&...) { return true; }, {});
    if (result.verdict != E2EClientHandshake::Verdict::keyed) std::abort();
    key = result.key;
    // The key is installed before the ack leaves: a packet sealed right after it must open.
    if (!wrapper->isEncrypted()) std::abort();
  }

  enum Group : size_t { reliable, video, audio, inputUnreliable };
  constexpr Group groupOfChannel[] = {reliable, video, audio, reliable, inputUnreliable};
  std::array<std::vector<Bytes>, 4> opened;  // every plaintext that went in sealed, by where it may come out
  size_t at = 1;
  while (at + 3 <= size) {
    uint8_t selector = data[at];
    size_t length = std::min<size_t>(data[at + 1] | size_t{data[at + 2]} << 8, size - at - 3);
    Bytes bytes(data + at + 3, data + at + 3 + length);
    at += 3 + length;
    const size_t channel = (selector & 0x07) % 5;
    if ((selector & 0x80) && key) {
      opened[groupOfChannel[channel]].push_back(bytes);
      bytes = *E2EEnvelope::seal(bytes, *key, nextNonce());
    }
    switch (channel) {
      case 0: pair.client->control().send(bytes); break;
      case 1: pair.client->video().send(bytes); break;
      case 2: pair.client->audio().send(bytes); break;
      case 3: pair.client->inputReliable().send(bytes); break;
      default: pair.client->inputUnreliable().send(bytes); break;
    }
  }
  pair.client->close();

  auto check = [&](PacketStream& stream, Group group, bool bareHeaderMayPass) {
    std::vector<Bytes>& expected = opened[group];
    while (auto packet = stream.receive()) {
      if (!requireSecure) continue;  // plaintext is allowed before a key: nothing to hold it to
      // A bare header that passed unsealed is not the sealed copy of it sent on another flow.
      if (key && bareHeaderMayPass && isBareHeader(*packet)) continue;
      auto match = std::find(expected.begin(), expected.end(), *packet);
      if (match == expected.end()) std::abort();  // delivered something that did not open under the key
      expected.erase(match);
    }
  };
  check(wrapper->control().incoming(), reliable, false);
  check(wrapper->inputReliable().incoming(), reliable, false);
  check(wrapper->video().incoming(), video, true);
  check(wrapper->audio().incoming(), audio, true);
  check(wrapper->inputUnreliable().incoming(), inputUnreliable, false);
  return 0;
}
