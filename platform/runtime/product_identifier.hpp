#pragma once
// The system's reverse-DNS identifier prefix. Keychain services, hash inputs, bundle-style identifiers
// and the like are this prefix followed by a fixed suffix of their own (".e2e", ".hostid|", ".clip", ...).
#include <string_view>

namespace tavlo {

inline constexpr std::string_view reverseDnsPrefix = "app.tavlo";

}  // namespace tavlo
