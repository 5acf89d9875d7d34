// The session records: handshake, liveness, probes, paths and make-before-break.
#include <gtest/gtest.h>

#include <string>

#include "protocol/path_messages.hpp"
#include "protocol/session_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;
using tavlo::testkit::fromHex;
using Iface = ClientPathMessage::Iface;

// protoVersion 1, iPad, reserved, panel 2732 x 2048, scale 200, 120 fps, decoder 4096 x 4096, caps
// 0x03 / 0x02 / 0x38, window 1366 x 1024: the 32 fixed bytes.
const std::string helloFixed =
    "01 00 03 00 AC 0A 00 08 C8 00 78 00 00 10 00 10 03 00 00 00 02 00 00 00 38 00 00 00 56 05 00 04";

ClientHello hello(std::string deviceName, std::string deviceId, bool userInitiated, uint8_t ifaceHint) {
  return ClientHello{1,    Platform::iPad, 2732, 2048, 200, 120, 4096, 4096, 0x03, 0x02, 0x38, 1366, 1024,
                     std::move(deviceName), std::move(deviceId), userInitiated, ifaceHint};
}

tavlo::Uuid countingId() {
  tavlo::Uuid id;
  for (uint8_t i = 0; i < 16; ++i) id.bytes[i] = i;
  return id;
}

TEST(SessionMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("complete client hello", hello("iPad", "AB", false, 2), helloFixed + " 04 69 50 61 64 02 41 42 00 02"),
      decodesAs("the shortest hello: 32 fixed bytes and an empty name", helloFixed + " 00", hello("", "", true, 255)),
      decodesAs("ending after deviceName: empty id, user-initiated, hint 255", helloFixed + " 01 58",
                hello("X", "", true, 255)),
      decodesAs("a deviceId running past the end reads as empty; the next bytes follow its length byte",
                helloFixed + " 00 05 00 07", hello("", "", false, 7)),
      decodesAs("a deviceId length byte alone", helloFixed + " 00 09", hello("", "", true, 255)),
      decodesAs("the reserved byte may hold anything",
                "01 00 03 EE AC 0A 00 08 C8 00 78 00 00 10 00 10 03 00 00 00 02 00 00 00 38 00 00 00 56 05 00 04 00",
                hello("", "", true, 255)),
      golden("host hello on acceptance", HostHello::acceptance(0x01020304, "Mac", true),
             "01 00 01 00 04 03 02 01 55 BA 56 BA 57 BA 01 00 01 00 03 4D 61 63 01"),
      golden("host hello refusing a busy host", HostHello::busyRefusal("Mac"),
             "01 00 00 02 00 00 00 00 00 00 00 00 00 00 01 00 01 00 03 4D 61 63 00"),
      decodesAs("a 19-byte host hello has no mbbCapable", "01 00 01 00 07 00 00 00 55 BA 56 BA 57 BA 02 00 01 00 00",
                HostHello{1, true, HostHello::RejectReason::ok, 7, 47701, 47702, 47703, VideoCodec::hevc10, 0, 1, "", false}),
      golden("ping", Ping{1}, "01 00 00 00 00 00 00 00"),
      golden("pong with an age", Pong{1, 2, 3, 500},
             "01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00 F4 01"),
      decodesAs("a 24-byte pong has an unknown age",
                "01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00", Pong{1, 2, 3, Pong::unknownAge}),
      decodesAs("a single trailing byte is not read as an age",
                "01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00 05",
                Pong{1, 2, 3, Pong::unknownAge}),
      golden("bye is empty", Bye{}, ""),
      golden("probe: the identifier's 16 bytes, then the nonce", Probe{countingId(), 0x11223344},
             "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 44 33 22 11"),
      golden("probe ack: the layout of a probe", ProbeAck{countingId(), 0x11223344},
             "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 44 33 22 11"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(SessionMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<ClientHello>("32 bytes: no deviceName length", helloFixed, WireError::underflow()),
      bad<ClientHello>("platform 0", "01 00 00", WireError::malformed("platform 0")),
      bad<ClientHello>("platform 5", "01 00 05 00", WireError::malformed("platform 5")),
      bad<ClientHello>("a payload that ends before the reserved byte", "01 00 03", WireError::underflow()),
      bad<ClientHello>("a deviceName longer than what follows", helloFixed + " 03 41", WireError::underflow()),
      bad<HostHello>("rejectReason 3", "01 00 00 03", WireError::malformed("rejectReason 3")),
      bad<HostHello>("codec 0", "01 00 01 00 07 00 00 00 55 BA 56 BA 57 BA 00", WireError::malformed("codec 0")),
      bad<HostHello>("18 bytes: no hostName", "01 00 01 00 07 00 00 00 55 BA 56 BA 57 BA 01 00 01 00",
                     WireError::underflow()),
      bad<Ping>("seven bytes", "01 00 00 00 00 00 00", WireError::underflow()),
      bad<Probe>("19 bytes", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 44 33 22", WireError::underflow()),
      bad<ProbeAck>("15 identifier bytes", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(SessionMessages, PlatformBytesAndLabels) {
  struct Row { uint8_t raw; Platform platform; const char* label; };
  const Row rows[] = {{1, Platform::mac, "Mac"}, {2, Platform::iPhone, "iPhone"}, {3, Platform::iPad, "iPad"},
                      {4, Platform::vision, "Vision"}};
  for (const auto& row : rows) {
    Bytes payload = fromHex(helloFixed + " 00");
    payload[2] = row.raw;
    EXPECT_EQ(decodeExact<ClientHello>(payload).platform, row.platform);
    EXPECT_STREQ(deviceLabel(row.platform), row.label);
  }
}

TEST(Pong, InputAgeIsCappedAndNamesANeverSeenFlow) {
  struct Row { const char* why; std::optional<uint64_t> sinceUs; uint16_t ageMs; };
  const Row rows[] = {
      {"nothing arrived yet", std::nullopt, Pong::neverSeen},
      {"just now", 0, 0},
      {"rounded down to whole milliseconds", 1999, 1},
      {"the largest real age", 65'533'999, 65533},
      {"older ages are capped below the markers", 70'000'000'000, 65533},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(Pong::inputAgeMs(row.sinceUs), row.ageMs);
  }
}

TEST(HostHello, RandomSessionIdIsNeverZero) {
  struct Zeros final : tavlo::Random {
    void fill(std::span<uint8_t> out) override { std::fill(out.begin(), out.end(), 0); }
  } zeros;
  EXPECT_EQ(HostHello::randomSessionId(zeros), 1u);
  tavlo::SeededRandom random(3);
  for (int i = 0; i < 1000; ++i) EXPECT_NE(HostHello::randomSessionId(random), 0u);
}

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

TEST(ForcePath, CodesOfThePathSetting) {
  const std::pair<const char*, uint8_t> rows[] = {{"auto", 0}, {"lan", 1},  {"nat", 2},   {"relay", 3},
                                                  {"vpn", 4},  {"wifi", 0}, {"Relay", 0}, {"", 0}};
  for (auto [setting, code] : rows) EXPECT_EQ(ForcePath::codeForSetting(setting), code) << setting;
}

}  // namespace
}  // namespace vela
