#include "platform/net/route_table.hpp"

#include <arpa/inet.h>
#include <net/route.h>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <limits>
#include <utility>
#include <vector>

namespace tavlo {
namespace {

// A table far larger than any real one; reading stops there so a strange procfs cannot make us read forever.
constexpr size_t maxRouteTableBytes = 1 << 20;

std::optional<uint32_t> hexField(std::string_view text) {
  uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<uint32_t> decimalField(std::string_view text) {
  uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

}  // namespace

std::optional<DefaultRoute> parseDefaultRoute(std::string_view routeTable) {
  std::optional<DefaultRoute> best;
  uint32_t bestMetric = std::numeric_limits<uint32_t>::max();
  bool header = true;
  while (!routeTable.empty()) {
    size_t end = routeTable.find('\n');
    std::string_view line = routeTable.substr(0, end);
    routeTable.remove_prefix(end == std::string_view::npos ? routeTable.size() : end + 1);
    if (std::exchange(header, false)) continue;  // "Iface Destination Gateway ..."
    auto f = fields(line);
    if (f.size() < 8) continue;
    auto destination = hexField(f[1]), gateway = hexField(f[2]), flags = hexField(f[3]);
    auto metric = decimalField(f[6]), mask = hexField(f[7]);
    if (!destination || !gateway || !flags || !metric || !mask) continue;
    if (*destination != 0 || *mask != 0 || !(*flags & RTF_UP)) continue;
    if (best && *metric >= bestMetric) continue;
    DefaultRoute route{std::string(f[0]), std::nullopt};
    if ((*flags & RTF_GATEWAY) && *gateway != 0) {
      // The table prints the address as the native value of its network-order bytes.
      in_addr address{*gateway};
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &address, text, sizeof text);
      route.gateway = text;
    }
    best = std::move(route);
    bestMetric = *metric;
  }
  return best;
}

std::optional<DefaultRoute> currentDefaultRoute() {
  std::ifstream in("/proc/net/route");
  if (!in) return std::nullopt;
  std::string text(maxRouteTableBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return parseDefaultRoute(text);
}

std::optional<std::string> defaultGatewayIPv4() {
  auto route = currentDefaultRoute();
  if (!route) return std::nullopt;
  return route->gateway;
}

}  // namespace tavlo
