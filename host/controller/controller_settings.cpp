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
  return s;
}

}  // namespace tavlo
