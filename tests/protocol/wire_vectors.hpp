#pragma once
// Table rows for record tests: golden vectors checked in both directions, and payloads that must fail
// with a given WireError. One table may mix record types; each row says why it exists.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "protocol/wire_payload.hpp"
#include "tests/testkit/hex.hpp"

namespace vela::wiretest {

template <WirePayload T>
Bytes payloadOf(const T& record) {
  ByteWriter writer;
  record.encodePayload(writer);
  return writer.take();
}

// Decodes from a buffer of exactly the payload's size, so that an over-read is a sanitizer report.
template <WirePayload T>
T decodeExact(ByteView payload) {
  Bytes exact(payload.begin(), payload.end());
  ByteReader reader(exact);
  return T::decode(reader);
}

template <WirePayload T>
std::optional<WireError> decodeError(ByteView payload) {
  try {
    decodeExact<T>(payload);
  } catch (const WireError& e) {
    return e;
  }
  return std::nullopt;
}

struct GoldenVector {
  std::string why;
  std::string hex;
  std::function<Bytes()> encode;
  std::function<bool(ByteView)> decodesBack;
};

// The record encodes to exactly `hex`, and `hex` decodes to the record.
template <WirePayload T>
GoldenVector golden(std::string why, T record, std::string hex) {
  return {std::move(why), std::move(hex), [record] { return payloadOf(record); },
          [record](ByteView bytes) { return decodeExact<T>(bytes) == record; }};
}

// `hex` decodes to the record (a reading that is not the record's own encoding).
template <WirePayload T>
GoldenVector decodesAs(std::string why, std::string hex, T record) {
  return {std::move(why), std::move(hex), nullptr,
          [record](ByteView bytes) { return decodeExact<T>(bytes) == record; }};
}

inline void expectGolden(const GoldenVector& row) {
  SCOPED_TRACE(row.why);
  Bytes bytes = tavlo::testkit::fromHex(row.hex);
  if (row.encode) {
    EXPECT_EQ(tavlo::testkit::toHex(row.encode()), tavlo::testkit::toHex(bytes));
  }
  try {
    EXPECT_TRUE(row.decodesBack(bytes)) << "decodes to another record";
  } catch (const WireError& e) {
    ADD_FAILURE() << "decoding threw " << e.describe();
  }
}

struct BadPayload {
  std::string why;
  std::string hex;
  std::function<std::optional<WireError>(ByteView)> decode;
  WireError expected;
};

template <WirePayload T>
BadPayload bad(std::string why, std::string hex, WireError expected) {
  return {std::move(why), std::move(hex), [](ByteView bytes) { return decodeError<T>(bytes); }, std::move(expected)};
}

inline void expectBad(const BadPayload& row) {
  SCOPED_TRACE(row.why);
  std::optional<WireError> error = row.decode(tavlo::testkit::fromHex(row.hex));
  ASSERT_TRUE(error.has_value()) << "decoded";
  EXPECT_EQ(error->describe(), row.expected.describe());
  EXPECT_EQ(*error, row.expected);
}

}  // namespace vela::wiretest
