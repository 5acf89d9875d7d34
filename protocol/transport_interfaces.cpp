#include "protocol/transport_interfaces.hpp"

#include <algorithm>
#include <cctype>

namespace vela {

bool isRelayedDescription(const std::string& description) {
  static constexpr std::string_view prefix = "relay/";
  if (description.size() < prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), description.begin(),
                    [](char p, char c) { return p == std::tolower(static_cast<unsigned char>(c)); });
}

}  // namespace vela
