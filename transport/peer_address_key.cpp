#include "transport/peer_address_key.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>

#include "protocol/transport_interfaces.hpp"

namespace vela {
namespace {

// An address alone (no port, no brackets): IPv6 by its /64, anything else as it is.
std::string addressKey(std::string address) {
  if (auto zone = address.find('%'); zone != std::string::npos) address.resize(zone);  // fe80::1%eth0
  std::array<uint8_t, 16> v6{};
  if (::inet_pton(AF_INET6, address.c_str(), v6.data()) != 1) return address;
  static constexpr std::array<uint8_t, 12> mappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  char text[INET6_ADDRSTRLEN] = {};
  if (std::equal(mappedPrefix.begin(), mappedPrefix.end(), v6.begin())) {
    ::inet_ntop(AF_INET, v6.data() + 12, text, sizeof text);
    return text;
  }
  std::fill(v6.begin() + 8, v6.end(), uint8_t(0));
  ::inet_ntop(AF_INET6, v6.data(), text, sizeof text);
  return std::string(text) + "/64";
}

// The blocks of an address alone, widest first: IPv4 (and IPv4-mapped) by its /24 and itself, IPv6 by
// its /48, its /64 and itself; anything else is its own only block.
std::vector<std::string> addressBlocks(std::string address) {
  if (auto zone = address.find('%'); zone != std::string::npos) address.resize(zone);
  std::array<uint8_t, 16> v6{};
  std::array<uint8_t, 4> v4{};
  static constexpr std::array<uint8_t, 12> mappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (::inet_pton(AF_INET6, address.c_str(), v6.data()) == 1) {
    if (!std::equal(mappedPrefix.begin(), mappedPrefix.end(), v6.begin())) {
      auto prefix = [&](size_t bytes) {
        std::array<uint8_t, 16> masked{};
        std::copy(v6.begin(), v6.begin() + static_cast<std::ptrdiff_t>(bytes), masked.begin());
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, masked.data(), text, sizeof text);
        return std::string(text) + "/" + std::to_string(bytes * 8);
      };
      char whole[INET6_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET6, v6.data(), whole, sizeof whole);
      return {prefix(6), prefix(8), whole};
    }
    std::copy(v6.begin() + 12, v6.end(), v4.begin());
  } else if (::inet_pton(AF_INET, address.c_str(), v4.data()) != 1) {
    return {address};
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, v4.data(), text, sizeof text);
  std::array<uint8_t, 4> block = v4;
  block[3] = 0;
  char blockText[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, block.data(), blockText, sizeof blockText);
  return {std::string(blockText) + "/24", text};
}

}  // namespace

std::vector<std::string> peerAddressBlocks(const std::string& remoteDescription) {
  if (isRelayedDescription(remoteDescription)) return {peerAddressKey(remoteDescription)};
  return addressBlocks(ipPart(remoteDescription));
}

std::string ipPart(const std::string& endpoint) {
  if (!endpoint.empty() && endpoint.front() == '[') {
    auto close = endpoint.find(']');
    if (close != std::string::npos) return endpoint.substr(1, close - 1);
  }
  if (std::count(endpoint.begin(), endpoint.end(), ':') == 1) return endpoint.substr(0, endpoint.find(':'));
  return endpoint;
}

std::string peerAddressKey(const std::string& remoteDescription) {
  if (isRelayedDescription(remoteDescription)) {
    std::string lower = remoteDescription;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // "relay/klient/<client>": the client's own key under the relay's; "relay/klient" alone stays whole.
    const auto second = lower.find('/', lower.find('/') + 1);
    if (second == std::string::npos) return lower;
    return lower.substr(0, second + 1) + addressKey(lower.substr(second + 1));
  }
  return addressKey(ipPart(remoteDescription));
}

}  // namespace vela
