#pragma once
// A router port mapper as the reachability policy drives it: NAT-PMP or UPnP for the host's block
// (the control TCP port and the media UDP ports). The program makes the real ones; tests record.
#include <cstdint>
#include <functional>
#include <string>

namespace tavlo {

enum class PortMapperKind : uint8_t { natPmp, upnp };

class PortMapper {
 public:
  // The router's public address and the external control port, on the mapper's own thread.
  using OnMapped = std::function<void(const std::string& publicIP, uint16_t externalControlPort)>;

  virtual ~PortMapper() = default;
  // The first mapping pass; the mapper then keeps the mapping alive.
  virtual void start() = 0;
  // No more passes; with `deleteMapping` the router's mappings go as well (NAT-PMP always deletes them).
  virtual void stop(bool deleteMapping) = 0;
  // The clean-up of mappings an earlier run left behind (a mapper used for that is never started), and
  // its cancellation before a new mapping is made.
  virtual void purgeStaleMappings() = 0;
  virtual void cancelPurge() = 0;
  // Whether the router holds (or may hold) a mapping this mapper made and has not taken down: false until
  // a router granted one. Any thread.
  virtual bool hasMapping() const = 0;
  // What still reaches the host when this mapper finds no router ("NAT-PMP/relay", "LAN", …), for the
  // line that says so. Set before start.
  virtual void setFallbackPaths(const std::string& paths) { (void)paths; }
};

}  // namespace tavlo
