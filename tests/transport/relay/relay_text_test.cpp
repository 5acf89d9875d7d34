#include "transport/relay_text.hpp"

#include <gtest/gtest.h>

#include "transport/relay.hpp"

namespace vela {
namespace {

TEST(RelayText, TrimsHorizontalWhitespaceOnlyAtTheEnds) {
  struct Row {
    const char* why;
    std::string_view text;
    std::string_view trimmed;
  };
  const Row rows[] = {
      {"spaces and tabs at both ends go", " \t CH abc \t", "CH abc"},
      {"spaces and tabs inside stay", "N  a\tb", "N  a\tb"},
      {"a carriage return is not white space", "N abc\r", "N abc\r"},
      {"no-break space and ideographic space are space separators", "\xC2\xA0" "x" "\xE3\x80\x80", "x"},
      {"the typographic spaces U+2000 to U+200A are space separators", "\xE2\x80\x80" "x" "\xE2\x80\x8A", "x"},
      {"a zero-width space is not a separator", "\xE2\x80\x8B" "x", "\xE2\x80\x8B" "x"},
      {"only white space gives the empty text", " \t ", ""},
      {"a U+FFFD at the end stays", "x\xEF\xBF\xBD", "x\xEF\xBF\xBD"},
  };
  for (const Row& row : rows) EXPECT_EQ(trimHorizontalWhitespace(row.text), row.trimmed) << row.why;
}

TEST(RelayText, ParsesHexadecimalTokens) {
  struct Row {
    const char* why;
    std::string_view text;
    std::optional<tavlo::Bytes> bytes;
  };
  const Row rows[] = {
      {"upper case with white space around it", " 00FF10 ", tavlo::Bytes{0x00, 0xFF, 0x10}},
      {"lower case", "00ff10", tavlo::Bytes{0x00, 0xFF, 0x10}},
      {"the empty text is an empty buffer, which is present", "", tavlo::Bytes{}},
      {"an odd digit count", "abc", std::nullopt},
      {"a pair that is not hexadecimal", "0g", std::nullopt},
      {"a sign inside a pair is not a digit", "+f", std::nullopt},
      {"a space inside the text", "00 ff", std::nullopt},
      {"a carriage return at the end stays and spoils the count", "00ff\r", std::nullopt},
      {"non-ASCII text", "\xC3\xA9\xC3\xA9", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(parseHexString(row.text), row.bytes) << row.why;
}

TEST(RelayText, GateMacIsBase64OfTheHmacOfTheHostIdentifierUnderTheKey) {
  // RFC 4231 test case 2 (key "Jefe"): the MAC is plain HMAC-SHA256 of the text under the key bytes.
  EXPECT_EQ(Relay::gateMAC("what do ya want for nothing?", tavlo::toBytes("Jefe")), "W9zBRr9gdU5qBCQmCJV1x1oAPwidJzmDnexYuWTsOEM=");
}

}  // namespace
}  // namespace vela
