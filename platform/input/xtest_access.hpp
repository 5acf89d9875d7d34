#pragma once
// Whether this process may inject input into its X server. The server offering XTEST is the whole
// permission; a server that went away (the connection broke) is another matter: no setting on this
// desktop mends it, and the host must say so rather than ask for a permission.
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

enum class InputAccess { granted, missing, serverGone };

// Asks the server (one round trip) whether it offers XTEST.
InputAccess xtestAccess(const XcbConnection& connection);

}  // namespace tavlo
