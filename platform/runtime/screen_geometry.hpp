#pragma once
// Points and rectangles in the global point space of the desktop: top-left origin, y growing down, in
// points (pixels divided by the HiDPI scale of the display that holds them).
namespace tavlo {

struct ScreenPoint {
  double x = 0;
  double y = 0;

  friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

struct ScreenRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  ScreenPoint middle() const { return {x + width / 2, y + height / 2}; }
  bool hasArea() const { return width > 0 && height > 0; }
  // Half-open: the right and bottom edges belong to the neighbour.
  bool contains(ScreenPoint p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }

  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

}  // namespace tavlo
