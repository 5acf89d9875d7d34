#pragma once
// The NAT Port Mapping Protocol (RFC 6886) messages a client sends and the answers it reads. All
// integers are big-endian. Answers come from the gateway, so reading them checks every length.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace tavlo::natpmp {

inline constexpr uint16_t gatewayPort = 5351;
// The answers read here are 12 and 16 bytes; a receive buffer of this size takes any answer whole.
inline constexpr size_t replyCapacity = 64;

enum class Proto : uint8_t { udp = 1, tcp = 2 };  // the raw value is the opcode of a mapping request

struct PublicAddressAnswer {
  uint32_t epoch = 0;   // seconds since the gateway started
  std::string address;  // dotted IPv4
};

struct MappingAnswer {
  uint16_t resultCode = 0;
  uint16_t externalPort = 0;
  uint32_t lifetimeSec = 0;  // what the gateway granted
};

std::array<uint8_t, 2> publicAddressRequest();
// Suggested port 0 with lifetime 0 deletes the mapping of that protocol and internal port.
std::array<uint8_t, 12> mappingRequest(Proto proto, uint16_t internalPort, uint16_t suggestedExternalPort,
                                       uint32_t lifetimeSec);

// Accepted when at least 12 bytes long, with opcode 128 and result code 0 (the version is not checked).
std::optional<PublicAddressAnswer> parsePublicAddressAnswer(ByteView answer);
// Accepted when at least 16 bytes long; nothing else is checked, the result code is returned.
std::optional<MappingAnswer> parseMappingAnswer(ByteView answer);

}  // namespace tavlo::natpmp
