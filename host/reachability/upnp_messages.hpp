#pragma once
// The texts of a UPnP Internet Gateway Device client: the SSDP search and the reading of its answers,
// the device description, and the SOAP calls of the WAN connection service. Everything read here
// comes from a device on the LAN, and any device there can answer an SSDP search, so URLs are only
// followed toward the device that answered.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/bytes.hpp"

namespace tavlo::upnp {

inline constexpr std::string_view ssdpAddress = "239.255.255.250";
inline constexpr uint16_t ssdpPort = 1900;
inline constexpr std::string_view serviceTypePrefix = "urn:schemas-upnp-org:service:";
// Searched in this order.
inline constexpr std::string_view searchedServiceTypes[] = {"WANIPConnection:2", "WANIPConnection:1",
                                                            "WANPPPConnection:1"};

// A plain http:// URL. `text` is the whole URL as it is requested.
struct HttpUrl {
  std::string host;
  std::optional<uint16_t> port;
  std::string text;
};

// The WAN connection service of a gateway device.
struct Service {
  std::string controlURL;   // absolute, on the description's host
  std::string serviceType;  // the prefix and one of the searched types
  std::string host;         // host of the device-description URL
  friend bool operator==(const Service&, const Service&) = default;
};

std::string ssdpSearchRequest();

// The value of the first header line `name` (lower case) in CR LF separated text, trimmed; none when absent.
std::optional<std::string> header(std::string_view text, std::string_view name);
// The text after the first "<tag>" (or, failing that, the first ":tag>", a namespace-prefixed element)
// up to the next "<", trimmed; none when empty or absent.
std::optional<std::string> tagValue(std::string_view xml, std::string_view tag);
// An http:// URL with a host and an optional port; none for any other scheme, credentials, or
// characters that do not belong in a URL.
std::optional<HttpUrl> parseHttpUrl(std::string_view text);

// The description URL of an SSDP answer: its "location" header, when it is an http:// URL on the
// address that sent the answer.
std::optional<HttpUrl> ssdpLocation(ByteView reply, const std::string& sender);
// The first searched service type the description offers with a usable control URL: a relative one
// joined to the description's scheme, host and port, or an absolute http:// one on the same host.
std::optional<Service> findWanService(std::string_view description, const HttpUrl& location);

// The body of a SOAP 1.1 call.
std::string soapBody(const std::string& serviceType, const std::string& action, const std::string& arguments);
std::string addPortMappingArguments(const std::string& proto, uint16_t port, const std::string& internalClient);
std::string deletePortMappingArguments(const std::string& proto, uint16_t port);
// The external address of a GetExternalIPAddress answer; none when absent, empty, "0.0.0.0" or not
// a dotted IPv4 address.
std::optional<std::string> externalAddress(std::string_view response);

}  // namespace tavlo::upnp
