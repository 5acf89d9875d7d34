#pragma once
// The 16-byte header in front of every datagram and every multiplexed TCP frame, the five logical
// channels, and the protocol-wide size constants.
#include <array>
#include <cstdint>
#include <optional>

#include "protocol/byte_reader.hpp"
#include "protocol/byte_writer.hpp"

namespace vela {

struct VelaProtocol {
  static constexpr uint8_t wireVersion = 1;  // the only header version written and accepted
  static constexpr std::array<uint8_t, 4> magic{0x54, 0x4C, 0x4B, 0x32};  // "TLK2"
};

inline constexpr int maxVideoChunkPayload = 1310;   // largest payload of one video chunk
inline constexpr int defaultMaxDatagramSize = 1350;  // 16 header + 24 chunk head + 1310 chunk payload
inline constexpr uint8_t ltrTokenNone = 0xFF;        // LTR token of a frame that is not a long-term reference

enum class Channel : uint8_t {
  control = 0,          // TCP multiplex: session control, handshake, clipboard, configuration
  video = 1,            // UDP: chunks and parity out; NACKs, feedback and camera chunks in
  audio = 2,            // UDP: system audio out, microphone in
  inputReliable = 3,    // TCP multiplex: keys, text, buttons, scroll, pencil events, pinch
  inputUnreliable = 4,  // UDP: pointer moves, pencil samples, relative moves, flow keepalives
};

inline constexpr std::array<Channel, 5> allChannels{Channel::control, Channel::video, Channel::audio,
                                                    Channel::inputReliable, Channel::inputUnreliable};

constexpr std::optional<Channel> channelFromRaw(uint8_t raw) {
  if (raw >= allChannels.size()) return std::nullopt;
  return static_cast<Channel>(raw);
}
constexpr uint8_t rawValue(Channel channel) { return static_cast<uint8_t>(channel); }

struct PacketHeader {
  // Option set over the flag byte. Only `encrypted` is defined, and a header carrying it is refused;
  // other bits are kept as they came (this system always writes 0).
  struct Flags {
    uint8_t rawValue = 0;
    static const Flags encrypted;
    constexpr bool contains(Flags other) const { return (rawValue & other.rawValue) == other.rawValue; }
    friend constexpr bool operator==(Flags, Flags) = default;
  };

  static constexpr int byteCount = 16;

  Channel channel = Channel::control;
  uint8_t msgType = 0;
  Flags flags;
  uint32_t sessionId = 0;
  uint32_t seq = 0;

  void encode(ByteWriter& writer) const;
  // Reads and checks a header, leaving the reader on the first payload byte. Checks, in order:
  // underflow, badMagic (after all four magic bytes were read), unsupportedVersion, unknownChannel,
  // encryptedNotSupported.
  static PacketHeader decode(ByteReader& reader);

  friend bool operator==(const PacketHeader&, const PacketHeader&) = default;
};

inline constexpr PacketHeader::Flags PacketHeader::Flags::encrypted{0x01};

}  // namespace vela
