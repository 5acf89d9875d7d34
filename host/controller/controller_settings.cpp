#include "host/controller/controller_settings.hpp"

#include <algorithm>

namespace tavlo {

ControllerSettings ControllerSettings::read(const JsonStore& d) {
  ControllerSettings s;
  s.scale = std::clamp(d.getDouble(SettingsKey::scale).value_or(s.scale), minScale, maxScale);
  s.kfAdaptive = d.getBool(SettingsKey::kfAdaptive).value_or(s.kfAdaptive);
  s.kfFixedSec =
      std::clamp(d.getDouble(SettingsKey::kfFixedSec).value_or(s.kfFixedSec), minKfFixedSecAtStart, maxKfFixedSec);
  s.force1x = d.getBool(SettingsKey::force1x).value_or(false);
  s.cursorVisible = d.getBool(SettingsKey::cursorVisible).value_or(s.cursorVisible);
  s.bufferMs = std::clamp<int64_t>(d.getInt(SettingsKey::bufferMs).value_or(s.bufferMs), 0, maxBufferMs);
  s.maxBandwidthKbps = std::max<int64_t>(d.getInt(SettingsKey::wireCapKbps).value_or(0), 0);
  s.hqDownscale = d.getBool(SettingsKey::hqDownscale).value_or(s.hqDownscale);
  s.mbbEnabled = d.getBool(SettingsKey::mbb).value_or(s.mbbEnabled);
  s.allowLAN = d.getBool(SettingsKey::allowLAN).value_or(s.allowLAN);
  s.allowRelay = d.getBool(SettingsKey::allowRelay).value_or(s.allowRelay);
  s.clientForcePath = d.getString(SettingsKey::clientForcePath).value_or(s.clientForcePath);
  s.useNATPMP = d.getBool(SettingsKey::useNATPMP).value_or(s.useNATPMP);
  s.useUPnP = d.getBool(SettingsKey::useUPnP).value_or(s.useUPnP);
  s.allowVPN = d.getBool(SettingsKey::allowVPN).value_or(s.allowVPN);
  s.allowNAT = d.getBool(SettingsKey::allowNAT).value_or(s.allowNAT);
  s.natOnDemand = d.getBool(SettingsKey::natOnDemand).value_or(s.natOnDemand);
  auto shortcut = [&d](const char* key, vela::HostShortcut fallback) {
    std::optional<int64_t> packed = d.getInt(key);
    return packed ? unpackShortcut(*packed) : fallback;
  };
  s.scaleUpShortcut = shortcut(SettingsKey::shortcutScaleUp, s.scaleUpShortcut);
  s.scaleDownShortcut = shortcut(SettingsKey::shortcutScaleDown, s.scaleDownShortcut);
  s.diagShortcut = shortcut(SettingsKey::shortcutDiag, s.diagShortcut);
  return s;
}

namespace {
constexpr int64_t usageMask = 0xFFFF;
constexpr int64_t ctrlBit = int64_t{1} << 16;
constexpr int64_t optBit = int64_t{1} << 17;
constexpr int64_t cmdBit = int64_t{1} << 18;
constexpr int64_t shiftBit = int64_t{1} << 19;
}  // namespace

int64_t ControllerSettings::packShortcut(const vela::HostShortcut& s) {
  return int64_t{s.usage} | (s.ctrl ? ctrlBit : 0) | (s.opt ? optBit : 0) | (s.cmd ? cmdBit : 0) |
         (s.shift ? shiftBit : 0);
}

vela::HostShortcut ControllerSettings::unpackShortcut(int64_t packed) {
  return vela::HostShortcut{static_cast<uint16_t>(packed & usageMask), (packed & ctrlBit) != 0,
                            (packed & optBit) != 0, (packed & cmdBit) != 0, (packed & shiftBit) != 0};
}

}  // namespace tavlo
