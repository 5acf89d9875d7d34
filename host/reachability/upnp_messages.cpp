#include "host/reachability/upnp_messages.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace tavlo::upnp {
namespace {

constexpr std::string_view whitespace = " \t\r\n\v\f";

std::string_view trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(whitespace);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(whitespace);
  return text.substr(first, last - first + 1);
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool isUrlCharacter(unsigned char c) { return c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\'; }

}  // namespace

std::string ssdpSearchRequest() {
  return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nST: "
         "urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n";
}

std::optional<std::string> header(std::string_view text, std::string_view name) {
  while (!text.empty()) {
    size_t end = text.find("\r\n");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (lower(trimmed(line.substr(0, colon))) == name) return std::string(trimmed(line.substr(colon + 1)));
  }
  return std::nullopt;
}

std::optional<std::string> tagValue(std::string_view xml, std::string_view tag) {
  for (std::string opening : {"<" + std::string(tag) + ">", ":" + std::string(tag) + ">"}) {
    size_t at = xml.find(opening);
    if (at == std::string_view::npos) continue;
    std::string_view rest = xml.substr(at + opening.size());
    std::string_view value = trimmed(rest.substr(0, rest.find('<')));
    if (!value.empty()) return std::string(value);
  }
  return std::nullopt;
}

std::optional<HttpUrl> parseHttpUrl(std::string_view text) {
  constexpr std::string_view scheme = "http://";
  if (text.size() <= scheme.size() || lower(text.substr(0, scheme.size())) != scheme) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return isUrlCharacter(static_cast<unsigned char>(c)); }))
    return std::nullopt;
  std::string_view rest = text.substr(scheme.size());
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.empty() || authority.find('@') != std::string_view::npos || authority.front() == '[')
    return std::nullopt;
  HttpUrl url;
  size_t colon = authority.find(':');
  url.host = std::string(authority.substr(0, colon));
  if (url.host.empty()) return std::nullopt;
  if (colon != std::string_view::npos) {
    std::string_view digits = authority.substr(colon + 1);
    uint16_t port = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || port == 0)
      return std::nullopt;
    url.port = port;
  }
  url.text = std::string(text);
  return url;
}

std::optional<HttpUrl> ssdpLocation(ByteView reply, const std::string& sender) {
  std::string_view text(reinterpret_cast<const char*>(reply.data()), reply.size());
  auto location = header(text, "location");
  if (!location) return std::nullopt;
  auto url = parseHttpUrl(*location);
  if (!url || url->host != sender) return std::nullopt;
  return url;
}

std::optional<Service> findWanService(std::string_view description, const HttpUrl& location) {
  std::string base = "http://" + location.host + (location.port ? ":" + std::to_string(*location.port) : "");
  for (std::string_view type : searchedServiceTypes) {
    std::string fullType = std::string(serviceTypePrefix) + std::string(type);
    size_t at = description.find(fullType);
    if (at == std::string_view::npos) continue;
    auto control = tagValue(description.substr(at + fullType.size()), "controlURL");
    if (!control) continue;
    std::string absolute = *control;
    if (!absolute.starts_with("http")) absolute = base + (absolute.starts_with("/") ? "" : "/") + absolute;
    auto url = parseHttpUrl(absolute);
    if (!url || url->host != location.host) continue;
    return Service{url->text, fullType, location.host};
  }
  return std::nullopt;
}

std::string soapBody(const std::string& serviceType, const std::string& action, const std::string& arguments) {
  return "<?xml version=\"1.0\"?>\n"
         "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n"
         "<s:Body><u:" +
         action + " xmlns:u=\"" + serviceType + "\">" + arguments + "</u:" + action + "></s:Body></s:Envelope>";
}

std::string addPortMappingArguments(const std::string& proto, uint16_t port, const std::string& internalClient) {
  std::string p = std::to_string(port);
  return "<NewRemoteHost></NewRemoteHost><NewExternalPort>" + p + "</NewExternalPort><NewProtocol>" + proto +
         "</NewProtocol><NewInternalPort>" + p + "</NewInternalPort><NewInternalClient>" + internalClient +
         "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>Tavlo</"
         "NewPortMappingDescription><NewLeaseDuration>900</NewLeaseDuration>";
}

std::string deletePortMappingArguments(const std::string& proto, uint16_t port) {
  return "<NewRemoteHost></NewRemoteHost><NewExternalPort>" + std::to_string(port) + "</NewExternalPort><NewProtocol>" +
         proto + "</NewProtocol>";
}

std::optional<std::string> externalAddress(std::string_view response) {
  auto value = tagValue(response, "NewExternalIPAddress");
  if (!value || *value == "0.0.0.0") return std::nullopt;
  // inet_pton reads up to the first NUL: an address with bytes after one is not an address.
  if (value->find('\0') != std::string::npos) return std::nullopt;
  in_addr parsed{};
  if (inet_pton(AF_INET, value->c_str(), &parsed) != 1) return std::nullopt;
  return value;
}

}  // namespace tavlo::upnp
