#include "host/reachability/nat_pmp_messages.hpp"

namespace tavlo::natpmp {
namespace {

// Opcode of a public-address answer (the request's 0 with the answer bit set).
constexpr uint8_t publicAddressAnswerOpcode = 128;

uint16_t readU16(ByteView b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }
uint32_t readU32(ByteView b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

}  // namespace

std::array<uint8_t, 2> publicAddressRequest() { return {0, 0}; }

std::array<uint8_t, 12> mappingRequest(Proto proto, uint16_t internalPort, uint16_t suggestedExternalPort,
                                       uint32_t lifetimeSec) {
  return {0,
          static_cast<uint8_t>(proto),
          0,
          0,
          static_cast<uint8_t>(internalPort >> 8),
          static_cast<uint8_t>(internalPort),
          static_cast<uint8_t>(suggestedExternalPort >> 8),
          static_cast<uint8_t>(suggestedExternalPort),
          static_cast<uint8_t>(lifetimeSec >> 24),
          static_cast<uint8_t>(lifetimeSec >> 16),
          static_cast<uint8_t>(lifetimeSec >> 8),
          static_cast<uint8_t>(lifetimeSec)};
}

std::optional<PublicAddressAnswer> parsePublicAddressAnswer(ByteView answer) {
  if (answer.size() < 12 || answer[1] != publicAddressAnswerOpcode || readU16(answer, 2) != 0) return std::nullopt;
  return PublicAddressAnswer{readU32(answer, 4), std::to_string(answer[8]) + "." + std::to_string(answer[9]) + "." +
                                                     std::to_string(answer[10]) + "." + std::to_string(answer[11])};
}

std::optional<MappingAnswer> parseMappingAnswer(ByteView answer) {
  if (answer.size() < 16) return std::nullopt;
  return MappingAnswer{readU16(answer, 2), readU16(answer, 10), readU32(answer, 12)};
}

}  // namespace tavlo::natpmp
