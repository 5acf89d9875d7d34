// Any bytes as an SSDP answer from 192.168.1.1: a location is only taken when it is an http:// URL on
// that address (the scheme in any case, as URLs allow).
#include <cstdint>
#include <cstdlib>
#include <strings.h>

#include "host/reachability/upnp_messages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto location = tavlo::upnp::ssdpLocation(tavlo::ByteView(data, size), "192.168.1.1");
  if (location && (location->host != "192.168.1.1" || ::strncasecmp(location->text.c_str(), "http://", 7) != 0))
    std::abort();
  return 0;
}
