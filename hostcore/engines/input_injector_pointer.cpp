// The injector's pointer half: buttons, moves, scroll, pencil and pinch.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "hostcore/engines/input_injector.hpp"
#include "hostcore/engines/modifier_keys.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

using namespace modifier_keys;
using tavlo::EventField;
using tavlo::ScreenPoint;
using tavlo::ScreenRect;
using tavlo::SystemEvent;
using tavlo::SystemEventType;

namespace {

// Full scale of the normalised coordinates and pencil quantities on the wire.
constexpr double kNormFullScale = 65535.0;
// Full scale of the pencil's roll (180 degrees).
constexpr double kRollFullScale = 32767.0;
// Gesture field values: the zoom gesture, and its phases began, changed and ended.
constexpr double kGestureZoom = 8;
constexpr double kGestureBegan = 1, kGestureChanged = 2, kGestureEnded = 4;

ScreenPoint mapNorm(const ScreenRect& bounds, uint16_t xNorm, uint16_t yNorm) {
  return {bounds.minX() + xNorm / kNormFullScale * bounds.width, bounds.minY() + yNorm / kNormFullScale * bounds.height};
}

// Clamps into [low, high - 1], or to low when the range is narrower than one point.
double clampToEdge(double value, double low, double high) { return std::clamp(value, low, std::max(low, high - 1)); }

}  // namespace

void InputInjector::handleButton(const PointerButton& event) {
  const ScreenPoint position = event.xNorm != 0 || event.yNorm != 0
                                   ? mapNorm(currentBounds(), event.xNorm, event.yNorm)
                                   : cursorOrDisplayMiddle();
  SystemEventType type;
  uint8_t button;
  switch (event.button) {
    case 0:
      type = event.down ? SystemEventType::leftMouseDown : SystemEventType::leftMouseUp;
      button = 0;
      {
        std::lock_guard lock(lock_);
        leftButtonDown_ = event.down;
      }
      break;
    case 1:
      type = event.down ? SystemEventType::rightMouseDown : SystemEventType::rightMouseUp;
      button = 1;
      break;
    case 2:
      type = event.down ? SystemEventType::otherMouseDown : SystemEventType::otherMouseUp;
      button = 2;
      break;
    default:  // an unknown button acts as the left one, without holding it
      type = event.down ? SystemEventType::leftMouseDown : SystemEventType::leftMouseUp;
      button = 0;
      break;
  }
  const uint64_t flags = eventFlags(event.modifiers);
  const bool withModifiers = !event.modifiers.isEmpty();
  if (event.down && withModifiers) {
    log("🔀 klik z modyfikatorami raw=" + std::to_string(event.modifiers.rawValue));
    if (!event.modifiers.isDisjoint(KeyModifiers::leftOption | KeyModifiers::rightOption)) noteOptionClick();
    reconcileModifiers(event.modifiers, flags);  // the modifier keys go down before the click
  }
  SystemEvent click = SystemEvent::mouse(type, position, button, displayID());
  {
    std::lock_guard lock(lock_);
    click.flags = flags_ | flags;
  }
  if (event.clickCount >= 2) click.setField(EventField::clickState, event.clickCount);
  poster_->post(click);
  if (!event.down && withModifiers) reconcileModifiers(KeyModifiers{}, 0);
}

void InputInjector::handleScroll(const ScrollEvent& event) {
  if (!std::isfinite(event.deltaX) || !std::isfinite(event.deltaY)) {
    noteDroppedFloats("przewinięcie");
    return;
  }
  poster_->post(SystemEvent::scroll(tavlo::truncateSaturating<int32_t>(event.deltaY),
                                    tavlo::truncateSaturating<int32_t>(event.deltaX)));
}

void InputInjector::handleMove(const PointerMoveBatch& event) {
  const ScreenRect bounds = currentBounds();
  bool held;
  {
    std::lock_guard lock(lock_);
    held = leftButtonDown_;
  }
  const SystemEventType type = held ? SystemEventType::leftMouseDragged : SystemEventType::mouseMoved;
  const uint32_t display = displayID();
  for (const auto& sample : event.samples) {
    poster_->post(SystemEvent::mouse(type, mapNorm(bounds, sample.xNorm, sample.yNorm), 0, display));
  }
}

void InputInjector::handleRelativeMove(const PointerMoveRelative& event) {
  if (!std::isfinite(event.dxNorm) || !std::isfinite(event.dyNorm)) {
    noteDroppedFloats("ruch względny");
    return;
  }
  const ScreenRect bounds = currentBounds();
  bool held;
  {
    std::lock_guard lock(lock_);
    held = leftButtonDown_;
  }
  const ScreenPoint current = cursorOr(bounds.middle());
  const ScreenPoint target{clampToEdge(current.x + bounds.width * event.dxNorm, bounds.minX(), bounds.maxX()),
                           clampToEdge(current.y + bounds.height * event.dyNorm, bounds.minY(), bounds.maxY())};
  poster_->post(
      SystemEvent::mouse(held ? SystemEventType::leftMouseDragged : SystemEventType::mouseMoved, target, 0, displayID()));
}

void InputInjector::postTablet(const PencilSample& sample, SystemEventType type, const ScreenRect& bounds) {
  SystemEvent event = SystemEvent::mouse(type, mapNorm(bounds, sample.xNorm, sample.yNorm), 0, displayID());
  event.setField(EventField::mouseSubtype, 1);
  event.setField(EventField::tabletPressure, sample.force / kNormFullScale);
  // Altitude runs from flat on the surface (0) to upright (full scale); an upright pencil has no tilt.
  const double altitude = sample.altitude / kNormFullScale * (std::numbers::pi / 2);
  const double magnitude = std::clamp(1 - altitude / (std::numbers::pi / 2), 0.0, 1.0);
  const double azimuth = sample.azimuth / kNormFullScale * 2 * std::numbers::pi;
  event.setField(EventField::tabletTiltX, std::cos(azimuth) * magnitude);
  event.setField(EventField::tabletTiltY, std::sin(azimuth) * magnitude);
  event.setField(EventField::tabletRotation, sample.roll / kRollFullScale * 180.0);
  poster_->post(event);
}

void InputInjector::noteTabletGap() {
  if (poster_->carriesTabletData()) return;
  noteOnce(&InputInjector::tabletGapNoted_,
           "🖊 ten system nie przenosi nacisku, nachylenia ani obrotu rysika — rysik działa jak zwykły wskaźnik");
}

void InputInjector::handlePencilBatch(const PencilSampleBatch& event) {
  noteTabletGap();
  const ScreenRect bounds = currentBounds();
  bool down;
  {
    std::lock_guard lock(lock_);
    down = penDown_;
  }
  const SystemEventType type = down ? SystemEventType::leftMouseDragged : SystemEventType::mouseMoved;
  for (const auto& sample : event.samples) postTablet(sample, type, bounds);
}

void InputInjector::handlePencilDiscrete(const PencilDiscrete& event) {
  if (event.kind != PencilDiscrete::Kind::down && event.kind != PencilDiscrete::Kind::up) return;
  noteTabletGap();
  const bool down = event.kind == PencilDiscrete::Kind::down;
  {
    std::lock_guard lock(lock_);
    penDown_ = down;
  }
  postTablet(event.sample, down ? SystemEventType::leftMouseDown : SystemEventType::leftMouseUp, currentBounds());
}

void InputInjector::handlePinch(const PinchEvent& event) {
  if (!std::isfinite(event.magnification)) {
    noteDroppedFloats("szczypanie");
    return;
  }
  if (!poster_->carriesGestures()) {
    noteOnce(&InputInjector::gestureGapNoted_, "🤏 ten system nie przyjmuje gestu szczypania — powiększanie pominięte");
  }
  const double phase = event.phase == ScrollPhase::began     ? kGestureBegan
                       : event.phase == ScrollPhase::changed ? kGestureChanged
                                                             : kGestureEnded;
  if (event.phase == ScrollPhase::began) {
    poster_->warpCursor(mapNorm(currentBounds(), event.xNorm, event.yNorm), displayID());
  }
  SystemEvent gesture = SystemEvent::ofType(SystemEventType::gesture);
  gesture.setField(EventField::gestureHIDType, kGestureZoom);
  gesture.setField(EventField::gesturePhase, phase);
  gesture.setField(EventField::gestureZoomValue, event.magnification);
  poster_->post(gesture);
}

}  // namespace vela
