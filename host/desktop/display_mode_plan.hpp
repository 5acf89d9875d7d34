#pragma once
// The arithmetic of virtual-display modes: which mode serves a requested pixel size, which physical
// size makes a window server offer it, and whether a display of a given width suits a mode. Pure code:
// the controller calls it, the tests pin it.
#include <cstdint>

namespace tavlo {

// A mode as the window server counts it: points wide and high; in a HiDPI mode a point is 2×2 pixels,
// in a 1x mode it is one pixel.
struct TargetMode {
  int64_t pw = 1;
  int64_t ph = 1;
  bool hiDPI = true;

  int64_t pixelWidth() const { return hiDPI ? pw * 2 : pw; }
  friend bool operator==(const TargetMode&, const TargetMode&) = default;
};

struct PhysicalSizeMm {
  double width = 0;
  double height = 0;
};

// The largest pixel size a virtual display is made for, in each dimension.
inline constexpr int64_t kMaxDisplayPixels = 8192;
// Requests larger than this in either dimension never get a 1x mode (half of them would exceed what a
// 1x display of a sensible size offers).
inline constexpr int64_t kMax1xRequestPixels = 5761;

// The mode for a request of W×H client pixels: 1x at half the size when `force1x` and the request is
// small enough, else HiDPI (capped at 8192 pixels, aspect kept).
TargetMode targetMode(int64_t pixelWidth, int64_t pixelHeight, bool force1x);
TargetMode hiDPITarget(int64_t pixelWidth, int64_t pixelHeight);

// Whether a window server offers the mode on a display `widthMm` wide: 1x at 45–115 ppi, landscape HiDPI
// at 58–170 points per inch, portrait HiDPI only on displays 178–212 mm wide.
bool modeSuits(const TargetMode& mode, double widthMm);
// Points per inch of the mode on a display `widthMm` wide, truncated (for logs).
int64_t pointsPerInch(int64_t pw, double widthMm);

// The physical size a display is created with for a request: HiDPI at 105 points per inch, portrait
// displays 190 mm wide.
PhysicalSizeMm creationSize(int64_t pixelWidth, int64_t pixelHeight);
// The size a display is re-created with for a mode: HiDPI at 105 points per inch (portrait 190 mm wide),
// 1x at 80 pixels per inch.
PhysicalSizeMm recreationSize(const TargetMode& mode);
// The size for the client panel's own pixel size, the last resort of a re-creation.
PhysicalSizeMm nativeSize(int64_t nativePixelWidth, int64_t nativePixelHeight);

}  // namespace tavlo
