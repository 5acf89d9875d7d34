#include "host/controller/path_kind.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "host/controller/controller_settings.hpp"

namespace tavlo {
namespace {

// The host part of a lowercased description: the text inside square brackets; else, with exactly one
// colon, the text before it; else (no colon, or several as in a bare IPv6 address) the whole text
// without brackets at either end.
std::string_view hostPart(std::string_view s) {
  if (auto bracket = s.find(']'); bracket != std::string_view::npos) {
    return bracket == 0 ? std::string_view() : s.substr(1, bracket - 1);
  }
  if (std::count(s.begin(), s.end(), ':') == 1) return s.substr(0, s.find(':'));
  while (!s.empty() && (s.front() == '[' || s.front() == ']')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == '[' || s.back() == ']')) s.remove_suffix(1);
  return s;
}

bool inRange(uint32_t address, uint32_t network, int prefixLength) {
  uint32_t mask = prefixLength == 0 ? 0 : ~uint32_t(0) << (32 - prefixLength);
  return (address & mask) == network;
}

// 10/8, 172.16/12, 100.64/10 (carrier-grade NAT, where most mesh VPNs number their peers) and
// 192.168/16.
bool isPrivateOrCarrierGrade(uint32_t a) {
  return inRange(a, 0x0A000000, 8) || inRange(a, 0xAC100000, 12) || inRange(a, 0x64400000, 10) ||
         inRange(a, 0xC0A80000, 16);
}

}  // namespace

const char* pathKindName(PathKind kind) {
  switch (kind) {
    case PathKind::lan: return "lan";
    case PathKind::vpn: return "vpn";
    case PathKind::nat: return "nat";
    case PathKind::relay: return "relay";
  }
  return "nat";
}

PathKind pathKind(std::string_view remote, const std::function<std::vector<Subnet>()>& localSubnets) {
  std::string lowered(remote);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string_view s = lowered;
  if (s.starts_with("relay/")) return PathKind::relay;

  std::string host(hostPart(s));
  if (host.starts_with("127.") || host == "::1" || host.starts_with("169.254.")) return PathKind::lan;

  in_addr parsed{};
  if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    uint32_t a = ntohl(parsed.s_addr);
    if (localSubnets) {
      for (const Subnet& subnet : localSubnets()) {
        if ((a & subnet.mask) == subnet.network) return PathKind::lan;
      }
    }
    return isPrivateOrCarrierGrade(a) ? PathKind::vpn : PathKind::nat;
  }
  if (host.starts_with("fe80")) return PathKind::lan;
  if (host.starts_with("fc") || host.starts_with("fd")) return PathKind::vpn;
  return PathKind::nat;
}

bool isPathAllowed(PathKind kind, const JsonStore& defaults) {
  const char* key = SettingsKey::allowNAT;
  switch (kind) {
    case PathKind::lan: key = SettingsKey::allowLAN; break;
    case PathKind::vpn: key = SettingsKey::allowVPN; break;
    case PathKind::nat: key = SettingsKey::allowNAT; break;
    case PathKind::relay: key = SettingsKey::allowRelay; break;
  }
  return defaults.getBool(key).value_or(true);
}

}  // namespace tavlo
