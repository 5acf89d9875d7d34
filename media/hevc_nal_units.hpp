#pragma once
// HEVC NAL-unit framing. Encoders and byte-stream files write NAL units behind start codes (Annex-B:
// 00 00 01 or 00 00 00 01); the wire, like the platform decoders, carries them behind big-endian length
// prefixes of a fixed size. These helpers split and convert between the two.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

// The NAL-unit types these helpers and their callers look for.
enum class HEVCNalType : uint8_t {
  vps = 32,
  sps = 33,
  pps = 34,
  accessUnitDelimiter = 35,
};

// Types 16 to 23 are the pictures a decoder can start from (BLA, IDR, CRA and reserved ones).
constexpr bool isRandomAccessPicture(uint8_t type) { return type >= 16 && type <= 23; }

// The type field of a NAL unit's two-byte header; nullopt for a unit too short to have one.
std::optional<uint8_t> hevcNalType(ByteView nal);

// The NAL units of an Annex-B byte stream, without their start codes and without the zero bytes that
// pad between units (a NAL unit never ends in 00). Bytes before the first start code are not a unit
// and are skipped; empty units are left out.
std::vector<ByteView> splitAnnexB(ByteView stream);

// The NAL units of a length-prefixed sample (`headerLength` of 1, 2 or 4 bytes, big-endian). nullopt
// when a length runs past the end, a prefix is cut short, a unit is empty or `headerLength` is not one
// of those sizes: such a sample is damaged as a whole.
std::optional<std::vector<ByteView>> splitLengthPrefixed(ByteView sample, int headerLength);

// Annex-B stream to a length-prefixed sample; nullopt when a unit does not fit the prefix size or the
// prefix size is not 1, 2 or 4.
std::optional<Bytes> annexBToLengthPrefixed(ByteView stream, int headerLength = 4);

// Length-prefixed sample to an Annex-B stream with four-byte start codes; nullopt as for
// splitLengthPrefixed.
std::optional<Bytes> lengthPrefixedToAnnexB(ByteView sample, int headerLength = 4);

// Whether the bytes hold a 00 00 01 anywhere: a well-formed NAL unit never does (its emulation
// prevention breaks such runs up), and one that did would fall apart once written as a byte stream.
bool containsStartCode(ByteView bytes);

// Appends 00 00 00 01 and the unit.
void appendAnnexB(Bytes& out, ByteView nal);

}  // namespace vela
