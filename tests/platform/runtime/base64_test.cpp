#include <gtest/gtest.h>

#include "platform/runtime/base64.hpp"

namespace tavlo {
namespace {

TEST(Base64, EncodesTheRfc4648VectorsAndDecodesThemBack) {
  struct Row { const char* plain; const char* encoded; } rows[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(base64Encode(toBytes(row.plain)), row.encoded);
    EXPECT_EQ(base64Decode(row.encoded), toBytes(row.plain)) << row.encoded;
  }
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
  EXPECT_EQ(base64Encode(Bytes(32, 0xFF)).size(), 44u) << "a 32-byte key is 44 characters";
}

TEST(Base64, RefusesTextThatIsNotStrictBase64) {
  const char* rows[] = {
      "Zg",        // no padding
      "Zg=",       // short padding
      "Zm9v Yg==", // whitespace
      "Zm9v\nYg==",
      "Zh==",      // unused bits set: a second spelling of "f"
      "Zm9=",      // unused bits set
      "Z===",      // one digit cannot make a byte
      "=Zg=",      // padding first
      "Zg==Zg==",  // padding inside
      "Zm9*",      // outside the alphabet
      "Zm9-",      // URL-safe alphabet
  };
  for (const char* text : rows) EXPECT_FALSE(base64Decode(text)) << text;
}

}  // namespace
}  // namespace tavlo
