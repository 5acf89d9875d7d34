#pragma once
// The controller operations the settings window calls, in one place: each control's commit.
#include <cstdint>

#include "host/controller/host_controller.hpp"

namespace tavlo::settings_actions {

void setAllowNAT(HostController& host, bool on);
void setAllowLAN(HostController& host, bool on);
void setAllowVPN(HostController& host, bool on);
void setAllowRelay(HostController& host, bool on);
void setBufferMs(HostController& host, int64_t ms);
void applyKeyframePolicy(HostController& host);
void setShortcut(HostController& host, uint8_t action, vela::HostShortcut shortcut);
// Stores the bandwidth ceiling the controller shows and hands it to the running session.
void commitWireCap(HostController& host);

}  // namespace tavlo::settings_actions
