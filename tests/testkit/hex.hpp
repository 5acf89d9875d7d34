#pragma once
#include <string_view>

#include "platform/runtime/bytes.hpp"

namespace tavlo::testkit {

// "54 4C 4b32" -> bytes; spaces, colons and line breaks are ignored. Throws on an odd digit count.
Bytes fromHex(std::string_view text);
// Upper-case, space-separated: the way vectors are written in tables.
std::string toHex(ByteView bytes);

}  // namespace tavlo::testkit
