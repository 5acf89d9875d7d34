#pragma once
// Watches the machine's network path: whether there is a default route, and the interface that
// carries it. Owners re-check what depends on the network (a router's port mapping) when it changes.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tavlo {

struct NetworkPath {
  bool satisfied = false;                     // a default route exists
  std::optional<std::string> interfaceName;  // the interface that carries it
  friend bool operator==(const NetworkPath&, const NetworkPath&) = default;
};

class PathMonitor {
 public:
  using OnUpdate = std::function<void(const NetworkPath& path)>;
  virtual ~PathMonitor() = default;
  // Reports the current path soon after starting and again after changes (several reports may repeat
  // the same path). Reports run on the monitor's own thread. Once.
  virtual void start(OnUpdate onUpdate) = 0;
  // No report starts after it returns (unless called from a report). Idempotent.
  virtual void stop() = 0;
};

// The real monitor: a netlink route socket that wakes on link, address and route changes.
class NetlinkPathMonitor final : public PathMonitor {
 public:
  NetlinkPathMonitor();
  ~NetlinkPathMonitor() override;
  void start(OnUpdate onUpdate) override;
  void stop() override;

  struct Watch;

 private:
  std::shared_ptr<Watch> watch_;
};

// A monitor for tests: reports exactly what the test pushes, on the test's thread.
class ManualPathMonitor final : public PathMonitor {
 public:
  void start(OnUpdate onUpdate) override;
  void stop() override;
  void push(const NetworkPath& path);
  bool isStarted() const;

 private:
  mutable std::mutex mutex_;
  OnUpdate onUpdate_;
  bool started_ = false;
};

}  // namespace tavlo
