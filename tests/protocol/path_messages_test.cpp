#include <gtest/gtest.h>

#include <string>

#include "protocol/path_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;
using Iface = ClientPathMessage::Iface;

TEST(PathMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("wired, expensive, constrained", ClientPathMessage{Iface::wired, true, true}, "02 01 01"),
      decodesAs("an unknown interface is other; the flags default off", "07", ClientPathMessage{Iface::other, false, false}),
      decodesAs("cellular and expensive", "01 01", ClientPathMessage{Iface::cellular, true, false}),
      golden("attach over a VPN", MbbAttach{0x0A0B0C0D, 1366, 1024, 200, true}, "0D 0C 0B 0A 56 05 00 04 C8 00 01"),
      decodesAs("a 10-byte attach is not via VPN", "0D 0C 0B 0A 56 05 00 04 C8 00",
                MbbAttach{0x0A0B0C0D, 1366, 1024, 200, false}),
      decodesAs("viaVPN is bit 0 only: 2 reads false", "0D 0C 0B 0A 56 05 00 04 C8 00 02",
                MbbAttach{0x0A0B0C0D, 1366, 1024, 200, false}),
      decodesAs("viaVPN is bit 0 only: 3 reads true", "0D 0C 0B 0A 56 05 00 04 C8 00 03",
                MbbAttach{0x0A0B0C0D, 1366, 1024, 200, true}),
      golden("promote is empty", MbbPromote{}, ""),
      golden("force the relay path", ForcePath{ForcePath::relay}, "03"),
      decodesAs("an unknown path code is carried as it is", "C8", ForcePath{200}),
      golden("switch info", SwitchInfo{"wifi"}, "04 77 69 66 69"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(PathMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<ClientPathMessage>("empty", "", WireError::underflow()),
      bad<MbbAttach>("nine bytes", "0D 0C 0B 0A 56 05 00 04 C8", WireError::underflow()),
      bad<ForcePath>("empty", "", WireError::underflow()),
      bad<SwitchInfo>("a text longer than what follows", "05 77 69", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(PathMessages, BareHeaderDecodesAsPromote) {
  Bytes packet = encodePacket(MbbPromote{}, 4, 5);
  EXPECT_EQ(packet.size(), 16u);
  EXPECT_EQ(RawPacket::decode(packet).decodePayload<MbbPromote>(), MbbPromote{});
}

TEST(PathMessages, SwitchInfoIsCutTo255Bytes) {
  Bytes payload = payloadOf(SwitchInfo{std::string(300, 's')});
  EXPECT_EQ(payload.size(), 256u);
  EXPECT_EQ(payload[0], 255);
}

TEST(ForcePath, CodesOfThePathSetting) {
  const std::pair<const char*, uint8_t> rows[] = {{"auto", 0}, {"lan", 1},  {"nat", 2},   {"relay", 3},
                                                  {"vpn", 4},  {"wifi", 0}, {"Relay", 0}, {"", 0}};
  for (auto [setting, code] : rows) EXPECT_EQ(ForcePath::codeForSetting(setting), code) << setting;
}

}  // namespace
}  // namespace vela
