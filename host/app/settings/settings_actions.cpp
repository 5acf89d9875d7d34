#include "host/app/settings/settings_actions.hpp"

namespace tavlo::settings_actions {

void setAllowNAT(HostController& host, bool on) { host.setAllowNAT(on); }
void setAllowLAN(HostController& host, bool on) { host.setAllowLAN(on); }
void setAllowVPN(HostController& host, bool on) { host.setAllowVPN(on); }
void setAllowRelay(HostController& host, bool on) { host.setAllowRelay(on); }
void setBufferMs(HostController& host, int64_t ms) { host.setBufferMs(ms); }
void applyKeyframePolicy(HostController& host) { host.applyKeyframePolicy(); }
void setShortcut(HostController& host, uint8_t action, vela::HostShortcut shortcut) {
  host.setShortcut(action, shortcut);
}
// The setter stores and applies whatever it is given, also the value the knob already published.
void commitWireCap(HostController& host) { host.setMaxBandwidthKbps(host.maxBandwidthKbps.get()); }

}  // namespace tavlo::settings_actions
