#include "transport/relay_line_buffer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vela {
namespace {

using tavlo::toBytes;

std::vector<std::string> linesOf(RelayLineBuffer& buffer) {
  std::vector<std::string> lines;
  while (auto line = buffer.nextLine()) lines.push_back(*line);
  return lines;
}

TEST(RelayLineBuffer, CutsLinesAcrossPiecesAndKeepsTheBytesBehindThem) {
  struct Row {
    const char* why;
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
    std::string remaining;
  };
  const Row rows[] = {
      {"a line over two pieces, the second carrying the start of the next",
       {"CH YWJj", "ZA==\nN 00"}, {"CH YWJjZA=="}, "N 00"},
      {"two lines in one piece", {"EP -\nRD 1\n"}, {"EP -", "RD 1"}, ""},
      {"white space around the text goes, inside it stays", {" \tA 1  - 1\t \n"}, {"A 1  - 1"}, ""},
      {"a carriage return stays: a token so ended has 33 characters",
       {"N 000102030405060708090a0b0c0d0e0f\r\n"}, {"N 000102030405060708090a0b0c0d0e0f\r"}, ""},
      {"invalid UTF-8 comes back as U+FFFD", {"S \xFF\xFEx\n"}, {"S \xEF\xBF\xBD\xEF\xBF\xBDx"}, ""},
      {"an empty line is a line", {"\nX\n"}, {"", "X"}, ""},
      {"multiplex bytes right behind the session line stay for the multiplexer",
       {std::string("S ab\n\x06\0\0\0abcdef", 15)}, {"S ab"}, std::string("\x06\0\0\0abcdef", 10)},
      {"an unterminated line is never returned", {"CH abc"}, {}, "CH abc"},
  };
  for (const Row& row : rows) {
    RelayLineBuffer buffer;
    std::vector<std::string> lines;
    for (const std::string& piece : row.pieces) {
      buffer.append(toBytes(piece));
      for (auto& line : linesOf(buffer)) lines.push_back(line);
    }
    EXPECT_EQ(lines, row.lines) << row.why;
    EXPECT_FALSE(buffer.overflowed()) << row.why;
    EXPECT_EQ(tavlo::toString(buffer.takeRemaining()), row.remaining) << row.why;
    EXPECT_EQ(buffer.bufferedBytes(), 0u) << row.why;
  }
}

TEST(RelayLineBuffer, RefusesLinesLongerThanTheCap) {
  struct Row {
    const char* why;
    size_t lineBytes;
    bool withFeed;
    bool overflows;
  };
  const Row rows[] = {
      {"a line of exactly the cap is accepted", RelayLineBuffer::maxLineBytes, true, false},
      {"one byte more is refused even with its line feed", RelayLineBuffer::maxLineBytes + 1, true, true},
      {"an unterminated line past the cap is refused before its end arrives", RelayLineBuffer::maxLineBytes + 1,
       false, true},
      {"an unterminated line at the cap may still end", RelayLineBuffer::maxLineBytes, false, false},
  };
  for (const Row& row : rows) {
    RelayLineBuffer buffer;
    // In small pieces, as a slow peer would send it.
    std::string text(row.lineBytes, 'a');
    if (row.withFeed) text += '\n';
    std::optional<std::string> line;
    for (size_t i = 0; i < text.size() && !line; i += 100) {
      buffer.append(toBytes(text.substr(i, 100)));
      line = buffer.nextLine();
    }
    EXPECT_EQ(buffer.overflowed(), row.overflows) << row.why;
    EXPECT_EQ(line.has_value(), row.withFeed && !row.overflows) << row.why;
    if (row.overflows) {
      buffer.append(toBytes("\nRD 1\n"));
      EXPECT_FALSE(buffer.nextLine()) << row.why << ": once overflowed, the buffer stays refused";
      EXPECT_TRUE(buffer.overflowed()) << row.why;
    }
  }
}

TEST(RelayLineBuffer, ManyShortLinesDoNotGrowTheBuffer) {
  RelayLineBuffer buffer;
  for (int i = 0; i < 10'000; ++i) {
    buffer.append(toBytes("RD 1\nRD"));
    ASSERT_EQ(buffer.nextLine(), "RD 1");
    buffer.append(toBytes(" 0\n"));
    ASSERT_EQ(buffer.nextLine(), "RD 0");
  }
  EXPECT_EQ(buffer.bufferedBytes(), 0u);
}

}  // namespace
}  // namespace vela
