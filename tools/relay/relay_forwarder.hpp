#pragma once
// The datagram side of the stand-alone relay service: each datagram names its session, slot and side
// in its 22-byte header. The forwarder learns every flow's address from what it sends (keepalives
// included) and passes a datagram with a payload, header and all, to the flow of the same session and
// slot on the other side, once that flow has been heard from.
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>

#include "platform/runtime/bytes.hpp"
#include "transport/relay.hpp"
#include "transport/relay_datagram_header.hpp"

namespace tavlo::relay {

template <class Address>
class RelayForwarder {
 public:
  using Token = std::array<uint8_t, 16>;

  struct Route {
    std::optional<Address> forwardTo;  // nullopt: drop the datagram
    bool newAddress = false;           // the sending flow was heard from this address for the first time
  };

  // What to do with `datagram`, received from `from`. `isLive` says whether a token names an open
  // session: datagrams of unknown sessions teach nothing and go nowhere.
  template <class IsLive>
  Route route(const Address& from, ByteView datagram, const IsLive& isLive) {
    constexpr size_t headerSize = vela::RelayDatagramHeader::size;
    Route out;
    if (datagram.size() < headerSize) return out;
    if (!std::equal(vela::Relay::udpMagic.begin(), vela::Relay::udpMagic.end(), datagram.begin())) return out;
    uint8_t slot = datagram[vela::RelayDatagramHeader::slotOffset];
    uint8_t side = datagram[vela::RelayDatagramHeader::sideOffset];
    if (slot < 1 || slot > 3 || side > 1) return out;
    ByteView tokenBytes = datagram.subspan(4, 16);
    if (!isLive(tokenBytes)) return out;
    Token token;
    std::copy(tokenBytes.begin(), tokenBytes.end(), token.begin());
    auto [known, inserted] = routes_.try_emplace(Key{token, slot, side}, from);
    out.newAddress = inserted || !(known->second == from);
    known->second = from;
    if (datagram.size() == headerSize) return out;  // a keepalive only keeps the address
    auto peer = routes_.find(Key{token, slot, static_cast<uint8_t>(1 - side)});
    if (peer != routes_.end()) out.forwardTo = peer->second;
    return out;
  }

  void forget(const Token& token) {
    for (auto it = routes_.begin(); it != routes_.end();) it = std::get<0>(it->first) == token ? routes_.erase(it) : ++it;
  }
  size_t routeCount() const { return routes_.size(); }

 private:
  using Key = std::tuple<Token, uint8_t, uint8_t>;  // token, slot byte, side byte
  std::map<Key, Address> routes_;
};

}  // namespace tavlo::relay
