// Any bytes as lines from the connections of our relay service: every line is answered or ignored,
// sessions open and close, and the registry never answers a connection it does not know. The probe
// answer parser of the client dialer reads the same lines.
//
// Connection 1 is a registered host. In the input, "MAC" stands for the host's gate MAC and "TOKEN"
// for the newest session token, so that seeds reach the probe, session and join paths.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/base64.hpp"
#include "tools/relay/relay_registry.hpp"
#include "transport/relay.hpp"
#include "transport/relay_client_dialer.hpp"
#include "transport/relay_line_buffer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavlo::SeededRandom random(1);
  tavlo::relay::RelayRegistry registry(random);
  // The first byte of each line picks which of four connections it comes from.
  std::set<tavlo::relay::RelayRegistry::ConnectionId> open;
  for (tavlo::relay::RelayRegistry::ConnectionId id = 2; id <= 4; ++id) registry.opened(id);
  for (tavlo::relay::RelayRegistry::ConnectionId id = 1; id <= 4; ++id) open.insert(id);
  const std::string hostID = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  auto key = tavlo::crypto::Ed25519PrivateKey::fromSeed(tavlo::Bytes(32, 0x42));
  std::string challengeLine = registry.opened(1).sends.at(0).line;
  auto challenge = tavlo::base64Decode(challengeLine.substr(3, challengeLine.size() - 4));
  auto signature = key->sign(*challenge);
  registry.received(1, "H " + hostID + " " + tavlo::base64Encode(key->publicKey()) + " " + tavlo::base64Encode(*signature));
  if (registry.registeredHosts() != 1) std::abort();
  const std::string mac = vela::Relay::gateMAC(hostID, key->publicKey());
  std::string token = "00";
  auto substitute = [&](std::string text) {
    for (auto [from, to] : {std::pair<std::string, std::string>{"MAC", mac}, {"TOKEN", token}}) {
      for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    }
    return text;
  };
  vela::RelayLineBuffer lines;
  lines.append(tavlo::ByteView(data, size));
  while (auto line = lines.nextLine()) {
    (void)vela::RelayClientDialer::parseProbeAnswer(*line);
    auto id = static_cast<tavlo::relay::RelayRegistry::ConnectionId>(line->empty() ? 1 : (*line)[0] % 4 + 1);
    std::string text = substitute(line->empty() ? *line : line->substr(1));
    auto actions = registry.received(id, text);
    for (const auto& send : actions.sends) {
      if (send.line.empty() || send.line.back() != '\n') std::abort();
      if (!open.contains(send.to)) std::abort();
      if (send.line.starts_with("N ")) token = send.line.substr(2, 32);
    }
    for (auto closed : actions.closes) {
      if (open.erase(closed)) registry.closed(closed);
    }
    if (actions.sessionOpened) registry.joinExpired(*actions.sessionOpened);
  }
  return 0;
}
