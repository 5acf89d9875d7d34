#include "hostcore/engines/keyframe_burst_cap.hpp"

#include <algorithm>

#include "platform/runtime/checked_number.hpp"

namespace vela {
namespace {

double setting(const tavlo::JsonStore* settings, const char* key, double fallback) {
  if (settings == nullptr) return fallback;
  return settings->getDouble(key).value_or(fallback);
}

}  // namespace

tavlo::DataRateLimit KeyframeBurstCap::compute(int64_t width, int64_t height, const tavlo::JsonStore* settings) {
  const double bpp = setting(settings, kBppKey, kDefaultBpp);
  const double floorBytes = setting(settings, kFloorKey, kDefaultFloorKB) * 1000;
  const double ceilBytes = setting(settings, kCeilKey, kDefaultCeilKB) * 1000;
  const double windowSec = setting(settings, kWindowKey, kDefaultWindowSec);
  const double area = bpp * static_cast<double>(width) * static_cast<double>(height);
  const double bytes = std::min(std::max(area, floorBytes), ceilBytes);
  return tavlo::DataRateLimit{tavlo::truncateSaturating<int64_t>(bytes), windowSec};
}

}  // namespace vela
