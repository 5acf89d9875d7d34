// Any text as a gateway device's description and as a SOAP answer: a service is only found with a
// control URL on the description's host, and an external address is only a dotted IPv4 address.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/reachability/upnp_messages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  static const auto location = *tavlo::upnp::parseHttpUrl("http://192.168.1.1:5000/rootDesc.xml");
  if (auto service = tavlo::upnp::findWanService(text, location)) {
    auto control = tavlo::upnp::parseHttpUrl(service->controlURL);
    if (!control || control->host != "192.168.1.1") std::abort();
  }
  if (auto address = tavlo::upnp::externalAddress(text); address && (address->size() > 15 || *address == "0.0.0.0"))
    std::abort();
  (void)tavlo::upnp::tagValue(text, "NewExternalIPAddress");
  return 0;
}
