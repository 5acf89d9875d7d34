#include "media/hevc_parameter_sets.hpp"

#include <algorithm>

#include "media/hevc_nal_units.hpp"

namespace vela {
namespace {

constexpr size_t kLengthBytes = 4;

bool isParameterSet(uint8_t type) {
  return type == static_cast<uint8_t>(HEVCNalType::vps) || type == static_cast<uint8_t>(HEVCNalType::sps) ||
         type == static_cast<uint8_t>(HEVCNalType::pps);
}

}  // namespace

std::optional<HEVCParameterSets> HEVCParameterSets::extract(ByteView annexB) {
  HEVCParameterSets result;
  for (ByteView nal : splitAnnexB(annexB)) {
    auto type = hevcNalType(nal);
    if (type && isParameterSet(*type)) result.sets.emplace_back(nal.begin(), nal.end());
  }
  if (result.sets.empty()) return std::nullopt;
  return result;
}

Bytes HEVCParameterSets::serialize() const {
  const size_t count = std::min(sets.size(), kMaxSets);
  size_t total = 1;
  for (size_t i = 0; i < count; ++i) total += kLengthBytes + sets[i].size();
  Bytes blob;
  blob.reserve(total);
  blob.push_back(static_cast<uint8_t>(count));
  for (size_t i = 0; i < count; ++i) {
    const auto length = static_cast<uint32_t>(sets[i].size());
    for (size_t b = 0; b < kLengthBytes; ++b) blob.push_back(static_cast<uint8_t>(length >> (8 * b)));
    blob.insert(blob.end(), sets[i].begin(), sets[i].end());
  }
  return blob;
}

std::optional<HEVCParameterSets> HEVCParameterSets::fromSerialized(ByteView blob) {
  if (blob.empty()) return std::nullopt;
  const size_t count = blob[0];
  HEVCParameterSets result;
  result.sets.reserve(count);
  size_t offset = 1;
  for (size_t i = 0; i < count; ++i) {
    if (blob.size() - offset < kLengthBytes) return std::nullopt;
    size_t length = 0;
    for (size_t b = 0; b < kLengthBytes; ++b) length |= size_t{blob[offset + b]} << (8 * b);
    offset += kLengthBytes;
    if (length > blob.size() - offset) return std::nullopt;
    ByteView set = blob.subspan(offset, length);
    result.sets.emplace_back(set.begin(), set.end());
    offset += length;
  }
  return result;
}

std::optional<HEVCDecoderConfig> HEVCParameterSets::makeDecoderConfig() const {
  if (sets.empty() || nalUnitHeaderLength < 1 || nalUnitHeaderLength > 4 || nalUnitHeaderLength == 3) {
    return std::nullopt;
  }
  HEVCDecoderConfig config;
  config.nalUnitHeaderLength = nalUnitHeaderLength;
  bool haveVps = false, havePps = false;
  std::optional<HEVCPictureSize> size;
  for (const Bytes& set : sets) {
    // Each set must be one NAL unit: a header without the forbidden bit, and no start code inside
    // that would split it into two once it is written as a byte stream.
    auto type = hevcNalType(set);
    if (!type || (set[0] & 0x80) != 0 || containsStartCode(set)) return std::nullopt;
    if (*type == static_cast<uint8_t>(HEVCNalType::vps)) haveVps = true;
    if (*type == static_cast<uint8_t>(HEVCNalType::pps)) havePps = true;
    if (*type == static_cast<uint8_t>(HEVCNalType::sps) && !size) {
      size = HEVCPictureSize::fromSps(set);
      if (!size) return std::nullopt;
    }
    appendAnnexB(config.annexB, set);
  }
  if (!haveVps || !size || !havePps) return std::nullopt;
  config.size = *size;
  return config;
}

}  // namespace vela
