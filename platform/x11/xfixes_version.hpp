#pragma once
// The XFIXES version this client and the X server agree on. XFIXES answers requests only after its
// version has been asked for on the connection, so every reader of it starts here.
#include <cstdint>
#include <optional>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

// Asks for `major`.`minor`; the server's major version, or nothing when it has no XFIXES or did not
// answer.
std::optional<uint32_t> negotiateXfixes(const XcbConnection& connection, uint32_t major, uint32_t minor);

}  // namespace tavlo
