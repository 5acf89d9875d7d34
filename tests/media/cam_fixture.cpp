#include "tests/media/cam_fixture.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "media/hevc_nal_units.hpp"

namespace vela::testing {
namespace {

CamFixture load() {
  const char* path = TAVLO_SOURCE_DIR "/tests/media/data/cam_192x108.hevc";
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot open ") + path);
  CamFixture fixture;
  fixture.stream.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  for (ByteView nal : splitAnnexB(fixture.stream)) {
    const uint8_t type = hevcNalType(nal).value_or(0);
    if (type == static_cast<uint8_t>(HEVCNalType::accessUnitDelimiter)) fixture.accessUnits.emplace_back();
    if (fixture.accessUnits.empty() || (type >= 32 && type <= 34)) continue;  // sets travel in the blob
    Bytes& unit = fixture.accessUnits.back();
    const auto size = static_cast<uint32_t>(nal.size());
    for (int shift = 24; shift >= 0; shift -= 8) unit.push_back(static_cast<uint8_t>(size >> shift));
    unit.insert(unit.end(), nal.begin(), nal.end());
  }
  return fixture;
}

}  // namespace

const CamFixture& camFixture() {
  static const CamFixture fixture = load();
  return fixture;
}

}  // namespace vela::testing
