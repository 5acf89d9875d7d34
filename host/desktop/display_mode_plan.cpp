#include "host/desktop/display_mode_plan.hpp"

#include <algorithm>

#include "platform/runtime/checked_number.hpp"

namespace tavlo {
namespace {

constexpr double kMmPerInch = 25.4;
// Densities at which the window server offers modes (see modeSuits).
constexpr double kMin1xPpi = 45, kMax1xPpi = 115;
constexpr double kMinHiDPIPpi = 58, kMaxHiDPIPpi = 170;
constexpr double kMinPortraitMm = 178, kMaxPortraitMm = 212;
// Densities and widths displays are made with.
constexpr double kHiDPIPointsPerInch = 105;
constexpr double k1xPixelsPerInch = 80;
constexpr double kPortraitWidthMm = 190.0;

// Callers clamp the result to at least 1, so how a negative value rounds does not matter.
int64_t evenDown(int64_t value) { return value - value % 2; }

double heightFor(double width, int64_t pointsWide, int64_t pointsHigh) {
  return width * static_cast<double>(pointsHigh) / static_cast<double>(std::max<int64_t>(pointsWide, 1));
}

}  // namespace

TargetMode hiDPITarget(int64_t pixelWidth, int64_t pixelHeight) {
  int64_t w = pixelWidth, h = pixelHeight;
  if (w > kMaxDisplayPixels || h > kMaxDisplayPixels) {
    const double s = std::min(static_cast<double>(kMaxDisplayPixels) / static_cast<double>(std::max<int64_t>(w, 1)),
                              static_cast<double>(kMaxDisplayPixels) / static_cast<double>(std::max<int64_t>(h, 1)));
    w = evenDown(truncateSaturating<int64_t>(static_cast<double>(w) * s));
    h = evenDown(truncateSaturating<int64_t>(static_cast<double>(h) * s));
  }
  return {std::max<int64_t>(w / 2, 1), std::max<int64_t>(h / 2, 1), true};
}

TargetMode targetMode(int64_t pixelWidth, int64_t pixelHeight, bool force1x) {
  if (force1x && pixelWidth <= kMax1xRequestPixels && pixelHeight <= kMax1xRequestPixels) {
    return {std::max<int64_t>(evenDown(pixelWidth / 2), 1), std::max<int64_t>(evenDown(pixelHeight / 2), 1), false};
  }
  return hiDPITarget(pixelWidth, pixelHeight);
}

int64_t pointsPerInch(int64_t pw, double widthMm) {
  return truncateSaturating<int64_t>(static_cast<double>(pw) / (widthMm / kMmPerInch));
}

bool modeSuits(const TargetMode& mode, double widthMm) {
  const double ppi = static_cast<double>(mode.pw) / (widthMm / kMmPerInch);
  if (!mode.hiDPI) return ppi >= kMin1xPpi && ppi <= kMax1xPpi;
  if (mode.pw >= mode.ph) return ppi >= kMinHiDPIPpi && ppi <= kMaxHiDPIPpi;
  return widthMm >= kMinPortraitMm && widthMm <= kMaxPortraitMm;
}

PhysicalSizeMm creationSize(int64_t pixelWidth, int64_t pixelHeight) {
  const int64_t pointsWide = std::max<int64_t>(1, pixelWidth / 2);
  const int64_t pointsHigh = std::max<int64_t>(1, pixelHeight / 2);
  const double width = pointsWide < pointsHigh
                           ? kPortraitWidthMm
                           : static_cast<double>(pointsWide) / kHiDPIPointsPerInch * kMmPerInch;
  return {width, heightFor(width, pointsWide, pointsHigh)};
}

PhysicalSizeMm recreationSize(const TargetMode& mode) {
  double width = 0;
  if (mode.hiDPI && mode.pw < mode.ph) {
    width = kPortraitWidthMm;
  } else {
    width = static_cast<double>(mode.pw) / (mode.hiDPI ? kHiDPIPointsPerInch : k1xPixelsPerInch) * kMmPerInch;
  }
  return {width, heightFor(width, mode.pw, mode.ph)};
}

PhysicalSizeMm nativeSize(int64_t nativePixelWidth, int64_t nativePixelHeight) {
  const int64_t w = std::max<int64_t>(nativePixelWidth, 2);
  const int64_t h = std::max<int64_t>(nativePixelHeight, 2);
  const double width = static_cast<double>(w / 2) / kHiDPIPointsPerInch * kMmPerInch;
  return {width, heightFor(width, w, h)};
}

}  // namespace tavlo
