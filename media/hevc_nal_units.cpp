#include "media/hevc_nal_units.hpp"

#include <cstddef>

namespace vela {
namespace {

constexpr uint8_t kStartCode[] = {0, 0, 0, 1};

bool isValidHeaderLength(int headerLength) { return headerLength == 1 || headerLength == 2 || headerLength == 4; }

constexpr size_t kNotFound = static_cast<size_t>(-1);

// Index of the first byte of the next 00 00 01 at or after `from`, or kNotFound.
size_t findStartCode(ByteView stream, size_t from) {
  for (size_t i = from; i + 3 <= stream.size(); ++i) {
    if (stream[i + 2] > 1) {
      i += 2;  // no start code can begin at i + 1 or i + 2 either
    } else if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      return i;
    }
  }
  return kNotFound;
}

}  // namespace

std::optional<uint8_t> hevcNalType(ByteView nal) {
  if (nal.size() < 2) return std::nullopt;
  return static_cast<uint8_t>((nal[0] >> 1) & 0x3F);
}

std::vector<ByteView> splitAnnexB(ByteView stream) {
  std::vector<ByteView> units;
  size_t code = findStartCode(stream, 0);
  while (code != kNotFound) {
    size_t start = code + 3;
    code = findStartCode(stream, start);
    // The unit ends before the next start code and the zero bytes in front of it (a four-byte start
    // code's first byte, trailing zero bytes between units).
    size_t end = code == kNotFound ? stream.size() : code;
    while (end > start && stream[end - 1] == 0) --end;
    if (end > start) units.push_back(stream.subspan(start, end - start));
  }
  return units;
}

std::optional<std::vector<ByteView>> splitLengthPrefixed(ByteView sample, int headerLength) {
  if (!isValidHeaderLength(headerLength)) return std::nullopt;
  const size_t prefix = static_cast<size_t>(headerLength);
  std::vector<ByteView> units;
  size_t offset = 0;
  while (offset < sample.size()) {
    if (sample.size() - offset < prefix) return std::nullopt;
    size_t length = 0;
    for (size_t i = 0; i < prefix; ++i) length = (length << 8) | sample[offset + i];
    offset += prefix;
    if (length == 0 || length > sample.size() - offset) return std::nullopt;
    units.push_back(sample.subspan(offset, length));
    offset += length;
  }
  return units;
}

std::optional<Bytes> annexBToLengthPrefixed(ByteView stream, int headerLength) {
  if (!isValidHeaderLength(headerLength)) return std::nullopt;
  const size_t prefix = static_cast<size_t>(headerLength);
  const uint64_t limit = prefix == 4 ? 0xFFFFFFFFull : (1ull << (8 * prefix)) - 1;
  Bytes out;
  out.reserve(stream.size() + 16);
  for (ByteView nal : splitAnnexB(stream)) {
    if (nal.size() > limit) return std::nullopt;
    for (size_t i = prefix; i-- > 0;) out.push_back(static_cast<uint8_t>(nal.size() >> (8 * i)));
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

std::optional<Bytes> lengthPrefixedToAnnexB(ByteView sample, int headerLength) {
  auto units = splitLengthPrefixed(sample, headerLength);
  if (!units) return std::nullopt;
  Bytes out;
  out.reserve(sample.size() + units->size() * 4);
  for (ByteView nal : *units) appendAnnexB(out, nal);
  return out;
}

bool containsStartCode(ByteView bytes) { return findStartCode(bytes, 0) != kNotFound; }

void appendAnnexB(Bytes& out, ByteView nal) {
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace vela
