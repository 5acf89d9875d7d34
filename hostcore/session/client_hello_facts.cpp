#include "hostcore/session/client_hello_facts.hpp"

#include <algorithm>
#include <cmath>

#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

const char* platformCaseName(Platform platform) {
  switch (platform) {
    case Platform::mac:
      return "mac";
    case Platform::iPhone:
      return "iPhone";
    case Platform::iPad:
      return "iPad";
    case Platform::vision:
      return "vision";
  }
  return "mac";
}

int64_t evenAtLeast2(int64_t side) { return std::max<int64_t>(side & ~int64_t{1}, ClientHelloLimits::minSide); }

}  // namespace

std::string clientKeyOf(const ClientHello& hello) {
  if (!hello.deviceId.empty()) return hello.deviceId;
  return std::string(platformCaseName(hello.platform)) + "-" + hello.deviceName;
}

std::string linkDeviceKeyOf(const std::string& clientKey, uint8_t ifaceHint) {
  return clientKey + "#" + std::to_string(ifaceHint);
}

std::string shortKey(const std::string& clientKey) { return clientKey.substr(0, 8); }

std::string displayLabelFor(Platform platform) { return std::string("Tavlo ") + deviceLabel(platform); }

bool force1xAvailable(uint16_t windowPxW, uint16_t windowPxH) {
  return windowPxW <= ClientHelloLimits::force1xMaxWindowSide && windowPxH <= ClientHelloLimits::force1xMaxWindowSide;
}

double physicalFactorOf(const ClientHello& hello) {
  if (hello.maxDecodePxW >= ClientHelloLimits::maxSide || hello.windowPxW == 0 || hello.windowPxH == 0) return 1.0;
  // A client that names no decode limit (0) has not said its panel is smaller than its window.
  if (hello.maxDecodePxW == 0 || hello.maxDecodePxH == 0) return 1.0;
  double rW = double(hello.maxDecodePxW) / double(hello.windowPxW);
  double rH = double(hello.maxDecodePxH) / double(hello.windowPxH);
  return std::min({rW, rH, 1.0});
}

double macScaleFor(uint16_t backingScalePercent) { return backingScalePercent <= 100 ? 2.0 : 1.0; }

double clampedDeviceScale(double scale) {
  if (std::isnan(scale)) return 1.0;
  return std::min(std::max(scale, 1.0), 2.0);
}

int64_t displaySideOf(uint16_t windowSide) {
  return evenAtLeast2(std::min<int64_t>(windowSide, ClientHelloLimits::maxSide));
}

std::pair<int64_t, int64_t> fitWithin(int64_t w, int64_t h, int64_t maxW, int64_t maxH) {
  double ratio = 1.0;
  if (maxW > 0 && w > maxW) ratio = std::min(ratio, double(maxW) / double(w));
  if (maxH > 0 && h > maxH) ratio = std::min(ratio, double(maxH) / double(h));
  if (ratio >= 1.0) return {w, h};
  return {evenAtLeast2(tavlo::truncateSaturating<int64_t>(double(w) * ratio)),
          evenAtLeast2(tavlo::truncateSaturating<int64_t>(double(h) * ratio))};
}

}  // namespace vela
