#include "host/app/settings/settings_values.hpp"

#include <algorithm>
#include <cmath>

#include <QCoreApplication>

namespace tavlo {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("SettingsValues", text); }

}  // namespace

int bandwidthStepIndex(int64_t kbps) {
  // The last step is "no limit": any value that is not a finite step shows there.
  for (size_t i = 0; i + 1 < bandwidthStepsKbps.size(); ++i) {
    if (bandwidthStepsKbps[i] == kbps) return static_cast<int>(i);
  }
  return static_cast<int>(bandwidthStepsKbps.size() - 1);
}

int64_t bandwidthStepKbps(int index) {
  const int last = static_cast<int>(bandwidthStepsKbps.size() - 1);
  return bandwidthStepsKbps[static_cast<size_t>(std::clamp(index, 0, last))];
}

QString bandwidthLabel(int64_t kbps) {
  if (kbps <= 99) return tr("no limit");
  if (kbps >= 1000) return tr("%1 Mb/s").arg(QString::asprintf("%g", static_cast<double>(kbps) / 1000.0));
  return tr("%1 kb/s").arg(kbps);
}

QString bufferLabel(int64_t ms) {
  if (ms == 0) return tr("off (combat mode)");
  return tr("up to %1 ms").arg(ms);
}

QString scaleLabel(double scale) {
  if (!(scale > 1.001)) return tr("HiDPI 1:1");
  return tr("×%1 (more space)").arg(QString::asprintf("%.2f", scale));
}

QString keyframeIntervalLabel(double seconds) { return tr("%1 s").arg(QString::asprintf("%.2f", seconds)); }

}  // namespace tavlo
