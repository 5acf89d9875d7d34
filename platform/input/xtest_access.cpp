#include "platform/input/xtest_access.hpp"

namespace tavlo {

InputAccess xtestAccess(const XcbConnection& connection) {
  if (!connection.healthy()) return InputAccess::serverGone;
  const bool offered = connection.hasExtension("XTEST");
  // A server that died answers no query: the failed reply breaks the connection.
  if (!connection.healthy()) return InputAccess::serverGone;
  return offered ? InputAccess::granted : InputAccess::missing;
}

}  // namespace tavlo
