#include "transport/relay_datagram_header.hpp"

#include <gtest/gtest.h>

#include "e2e/e2e_crypto.hpp"
#include "tests/testkit/hex.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "transport/relay_challenge.hpp"

namespace vela {
namespace {

using tavlo::testkit::fromHex;

const tavlo::Bytes token = fromHex("00112233445566778899AABBCCDDEEFF");

TEST(RelayDatagramHeader, DeliversOnlyPayloadsOfItsOwnSessionAndSlotFromTheOtherSide) {
  // The host's audio flow.
  auto header = *RelayDatagramHeader::make(token, Relay::Slot::audio, Relay::Side::host);
  auto fromClient = [&](std::string_view headerHex, std::string_view payloadHex) {
    return testkit::joined({fromHex(headerHex), fromHex(payloadHex)});
  };
  struct Row {
    const char* why;
    tavlo::Bytes datagram;
    std::optional<tavlo::Bytes> payload;
  };
  const std::string_view good = "544C5231 00112233445566778899AABBCCDDEEFF 02 00";
  const Row rows[] = {
      {"the client's audio datagram", fromClient(good, "DEADBEEF"), fromHex("DEADBEEF")},
      {"a 23-byte datagram gives a 1-byte payload", fromClient(good, "7F"), fromHex("7F")},
      {"a bare 22-byte header is a keepalive", fromClient(good, ""), std::nullopt},
      {"shorter than a header", fromHex("544C5231 0011"), std::nullopt},
      {"sent by this flow's own side", fromClient("544C5231 00112233445566778899AABBCCDDEEFF 02 01", "AA"),
       std::nullopt},
      {"another slot (video) of the same session", fromClient("544C5231 00112233445566778899AABBCCDDEEFF 01 00", "AA"),
       std::nullopt},
      {"another session's token", fromClient("544C5231 00112233445566778899AABBCCDDEEFE 02 00", "AA"), std::nullopt},
      {"another magic", fromClient("544C5232 00112233445566778899AABBCCDDEEFF 02 00", "AA"), std::nullopt},
  };
  for (const Row& row : rows) {
    auto payload = header.payloadFor(row.datagram);
    ASSERT_EQ(payload.has_value(), row.payload.has_value()) << row.why;
    if (payload) {
      EXPECT_EQ(tavlo::Bytes(payload->begin(), payload->end()), *row.payload) << row.why;
    }
  }
}

TEST(RelayChallenge, RefusesWhatCouldBeAHandshakeTranscript) {
  struct Row {
    const char* why;
    tavlo::Bytes challenge;
    bool signable;
  };
  using tavlo::Bytes;
  Bytes labelled = tavlo::toBytes("TL2-E2E-v1");
  tavlo::Bytes labelledLong = labelled;
  labelledLong.resize(120, 0x55);
  const Row rows[] = {
      {"an ordinary 32-byte challenge", tavlo::Bytes(32, 0x41), true},
      {"an empty challenge", {}, true},
      {"the length of a transcript, whatever its bytes", tavlo::Bytes(90, 0x41), false},
      {"a transcript's label with any length", labelledLong, false},
      {"the label alone", labelled, false},
      {"89 and 91 bytes are not a transcript", tavlo::Bytes(89, 0), true},
      {"91 bytes", tavlo::Bytes(91, 0), true},
      {"a shorter prefix of the label is harmless", tavlo::toBytes("TL2-E2E"), true},
      {"a real handshake transcript", E2ECrypto::transcript(Bytes(32, 1), Bytes(16, 2), Bytes(32, 3)), false},
  };
  for (const Row& row : rows) EXPECT_EQ(RelayChallenge::isSignable(row.challenge), row.signable) << row.why;
}

}  // namespace
}  // namespace vela
