#include "protocol/status_messages.hpp"

#include <cmath>

#include "platform/runtime/checked_number.hpp"
#include "platform/runtime/graphemes.hpp"

namespace vela {

namespace {
struct Span {
  double min, max;
};
// CGRect-style: a negative size extends to the left (up) of the origin.
Span horizontal(const TextFocusMessage::Rect& r) {
  return r.width < 0 ? Span{r.x + r.width, r.x} : Span{r.x, r.x + r.width};
}
Span vertical(const TextFocusMessage::Rect& r) {
  return r.height < 0 ? Span{r.y + r.height, r.y} : Span{r.y, r.y + r.height};
}
// Closed intervals: a frame touching the display's edge, or of zero size on it, still lies on it. Any
// NaN makes the comparison false.
bool overlaps(Span a, Span b) { return a.min <= b.max && b.min <= a.max; }
}  // namespace

uint16_t TextFocusMessage::normalized(double fraction) {
  if (std::isnan(fraction) || fraction < 0) return 0;
  if (fraction >= 1) return 65535;
  return tavlo::truncateSaturating<uint16_t>(fraction * 65535.0);
}

TextFocusMessage TextFocusMessage::forField(bool active, std::optional<Rect> field, Rect display) {
  TextFocusMessage message{active, false, 0, 0, 0, 0};
  if (!field || !(display.width > 1) || !(display.height > 1)) return message;
  Span fx = horizontal(*field), fy = vertical(*field);
  if (!overlaps(fx, horizontal(display)) || !overlaps(fy, vertical(display))) return message;
  message.hasRect = true;
  message.xNorm = normalized((fx.min - display.x) / display.width);
  message.yNorm = normalized((fy.min - display.y) / display.height);
  message.wNorm = normalized((fx.max - fx.min) / display.width);
  message.hNorm = normalized((fy.max - fy.min) / display.height);
  return message;
}

ClientLogMessage::ClientLogMessage(std::string_view line) : text(tavlo::firstGraphemes(line, maxCharacters)) {}

}  // namespace vela
