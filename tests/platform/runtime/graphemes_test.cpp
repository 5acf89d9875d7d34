#include "platform/runtime/graphemes.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tavlo {
namespace {

TEST(Graphemes, FirstCharactersCountUserPerceivedCharacters) {
  const std::string decomposed = "e\xCC\x81";                                       // e + combining acute
  const std::string flag = "\xF0\x9F\x87\xB5\xF0\x9F\x87\xB1";                     // two regional indicators
  const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";      // woman ZWJ girl
  struct Row { const char* why; std::string text; size_t count; std::string expected; };
  const Row rows[] = {
      {"ASCII", "abcdef", 3, "abc"},
      {"shorter than the count", "ab", 5, "ab"},
      {"a count of zero", "abc", 0, ""},
      {"two-byte characters", "\xC3\xA9\xC3\xA9\xC3\xA9", 2, "\xC3\xA9\xC3\xA9"},
      {"a base and its combining mark are one character", decomposed + decomposed + "x", 1, decomposed},
      {"a flag is one character", flag + flag + "x", 2, flag + flag},
      {"a joined emoji sequence is one character", family + "ab", 2, family + "a"},
      {"CR LF is one character", "\r\nab", 2, "\r\na"},
      {"invalid bytes pass through", "\xFF\xFE" "abc", 3, "\xFF\xFE" "a"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(firstGraphemes(row.text, row.count), row.expected);
  }
  EXPECT_EQ(graphemeCount(family + flag + decomposed + "\r\n" + "\xC3\xA9"), 5u) << "counted like the cut";
  EXPECT_EQ(graphemeCount(""), 0u);
}

}  // namespace
}  // namespace tavlo
