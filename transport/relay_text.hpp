#pragma once
// Text rules of relay lines: trimming of horizontal white space and session tokens in hexadecimal.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace vela {

// `text` without the horizontal white space at both ends: tab and the Unicode space separators
// (space, no-break space, the typographic spaces U+2000 to U+200A, and the rest of that class). Line
// breaks, a carriage return among them, are not white space here and stay.
std::string_view trimHorizontalWhitespace(std::string_view text);

// The words of a line: the runs between single spaces, empty ones dropped ("A  1" gives "A", "1").
std::vector<std::string> splitFields(std::string_view line);

// Bytes from hexadecimal text, two digits a byte (either case), after trimming horizontal white space.
// nullopt for an odd digit count or anything that is not a digit; the empty text gives no bytes.
// Callers check the length (a session token is 16 bytes). The reverse is tavlo::hexString.
std::optional<tavlo::Bytes> parseHexString(std::string_view text);

// The service's word on who asked for a session, sent on the registration right before its notice:
// "NA <token> <address>", the notice's token and the client's IP address as the service saw it. A
// service that does not send it leaves the host nothing to tell its relayed clients apart by.
struct ClientNotice {
  tavlo::Bytes token;   // 16 bytes
  std::string address;  // a numeric IPv4 or IPv6 address
};
// nullopt for any other line, a token that is not 16 bytes or an address that is not numeric.
std::optional<ClientNotice> parseClientNotice(std::string_view line);

}  // namespace vela
