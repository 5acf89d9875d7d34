#include "platform/gnome/mutter_display_config.hpp"

#include "platform/gnome/mutter_remote_session.hpp"

namespace tavlo {
namespace {

// ApplyMonitorsConfig's method: 1 applies for this login session only, without saving it.
constexpr uint32_t kTemporaryMethod = 1;

}  // namespace

MutterDisplayConfig::MutterDisplayConfig(std::shared_ptr<BusConnection> bus) : bus_(std::move(bus)) {
  subscription_ = bus_->subscribe(
      {mutter::kDisplayConfigName, mutter::kDisplayConfigPath, mutter::kDisplayConfigName, "MonitorsChanged"},
      [this](const BusSignal&) {
        std::lock_guard lock(mutex_);
        stale_ = true;
      });
}

MutterDisplayConfig::~MutterDisplayConfig() { bus_->unsubscribe(subscription_); }

MutterDisplayState MutterDisplayConfig::state(bool fresh, std::string* error) {
  uint64_t read = 0;
  {
    std::lock_guard lock(mutex_);
    if (!stale_ && !fresh) return cached_;
    // A change signalled while the read below is under way marks the state stale again.
    stale_ = false;
    read = ++readsBegun_;
  }
  auto reply = bus_->call({mutter::kDisplayConfigName, mutter::kDisplayConfigPath, mutter::kDisplayConfigName,
                           "GetCurrentState"},
                          {}, error);
  MutterDisplayState state = reply ? MutterDisplayState::read(*reply) : MutterDisplayState{};
  std::lock_guard lock(mutex_);
  if (!reply) {
    stale_ = true;
    return state;
  }
  // Two reads may cross: one that began before a change can return after a later read of the change.
  // What the later read found is kept.
  if (read > readStored_) {
    cached_ = state;
    readStored_ = read;
  }
  return state;
}

bool MutterDisplayConfig::apply(uint32_t serial, const MonitorsConfigPlan& plan, std::string* error) {
  auto reply = bus_->call(
      {mutter::kDisplayConfigName, mutter::kDisplayConfigPath, mutter::kDisplayConfigName, "ApplyMonitorsConfig"},
      [&](BusWriter& w) {
        w.u32(serial).u32(kTemporaryMethod);
        w.open('a', "(iiduba(ssa{sv}))");
        for (const auto& logical : plan.logicalMonitors) {
          w.open('r')
              .i32(static_cast<int32_t>(logical.x))
              .i32(static_cast<int32_t>(logical.y))
              .f64(logical.scale)
              .u32(logical.transform)
              .boolean(logical.primary);
          w.open('a', "(ssa{sv})");
          for (const auto& [connector, mode] : logical.monitors) w.open('r').text(connector).text(mode).options({}).close();
          w.close();
          w.close();
        }
        w.close();
        w.options({});
      },
      error);
  std::lock_guard lock(mutex_);
  stale_ = true;
  return reply.has_value();
}

}  // namespace tavlo
