#include "platform/input/xtest_poster.hpp"

#include <xcb/randr.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>

#include "platform/input/text_keysyms.hpp"
#include "platform/input/xtest_access.hpp"
#include "platform/runtime/checked_number.hpp"

namespace tavlo {
namespace {

// X root coordinates are signed 16-bit; the server confines the pointer to the screen itself.
constexpr double kMaxRootCoordinate = 32767;

// X buttons: 1 left, 2 middle, 3 right; wheel clicks are 4 up, 5 down, 6 left, 7 right.
constexpr uint8_t kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

uint8_t xButton(uint8_t mouseButton) {
  switch (mouseButton) {
    case 0: return 1;
    case 1: return 3;
    case 2: return 2;
    default: return 0;
  }
}

int16_t rootCoordinate(double pixel) {
  return static_cast<int16_t>(truncateSaturating<int32_t>(std::clamp(std::floor(pixel), 0.0, kMaxRootCoordinate)));
}

// What a keycode types now: its first keysym, whether it has none at all, and the keysyms per keycode
// (0 when the server did not answer).
struct KeySymbols {
  uint32_t first = XCB_NO_SYMBOL;
  bool unused = true;
  uint8_t perKeycode = 0;
};

KeySymbols keySymbols(xcb_connection_t* c, uint8_t keycode) {
  KeySymbols out;
  auto reply = xcbReplyBy<xcb_get_keyboard_mapping_reply_t>(c, xcb_get_keyboard_mapping(c, keycode, 1).sequence);
  if (!reply || reply->keysyms_per_keycode == 0) return out;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int count = std::min<int>(reply->keysyms_per_keycode, xcb_get_keyboard_mapping_keysyms_length(reply.get()));
  out.perKeycode = reply->keysyms_per_keycode;
  out.first = count > 0 ? syms[0] : XCB_NO_SYMBOL;
  for (int i = 0; i < count; ++i) out.unused = out.unused && syms[i] == XCB_NO_SYMBOL;
  return out;
}

}  // namespace

std::shared_ptr<XTestPoster> XTestPoster::open(const std::string& display, std::string* error) {
  auto connection = XcbConnection::open(display, error);
  if (!connection) return nullptr;
  return std::shared_ptr<XTestPoster>(new XTestPoster(std::move(connection)));
}

XTestPoster::XTestPoster(std::unique_ptr<XcbConnection> connection)
    : connection_(std::move(connection)),
      xtest_(xtestAccess(*connection_) == InputAccess::granted),
      keycodes_(XKeycodes::resolve(connection_->displayName())) {
  xcb_connection_t* c = connection_->get();
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
  if (randr && randr->present) {
    randrFirstEvent_ = randr->first_event;
    xcb_randr_select_input(c, connection_->root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
  }
  spares_.reset(unusedKeycodes(*connection_));
}

XTestPoster::~XTestPoster() {
  std::vector<std::pair<uint8_t, uint32_t>> bound;
  {
    std::lock_guard lock(mutex_);
    bound = spares_.bindings();
  }
  xcb_connection_t* c = connection_->get();
  for (const auto& [keycode, keysym] : bound) {
    // Only a keycode that still carries our binding is cleared.
    const KeySymbols current = keySymbols(c, keycode);
    if (current.first != keysym) continue;
    const std::vector<xcb_keysym_t> none(current.perKeycode, XCB_NO_SYMBOL);
    xcb_change_keyboard_mapping(c, 1, keycode, current.perKeycode, none.data());
  }
  // A round trip, so that the keymap is whole again before anyone else can look.
  (void)xcbReplyBy<xcb_get_input_focus_reply_t>(c, xcb_get_input_focus(c).sequence);
}

void XTestPoster::drainEvents() {
  bool geometry = false;
  while (xcb_generic_event_t* raw = xcb_poll_for_event(connection_->get())) {
    auto event = xcbOwn(raw);
    const uint8_t type = event->response_type & 0x7F;
    geometry = geometry || (randrFirstEvent_ != 0 && (type == randrFirstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                                      type == randrFirstEvent_ + XCB_RANDR_NOTIFY));
    // Keymap notices, errors of requests sent unchecked and other events change nothing here.
  }
  if (!geometry) return;
  std::lock_guard lock(mutex_);
  geometryStale_ = true;
}

std::vector<OutputGeometry> XTestPoster::outputs() {
  {
    std::lock_guard lock(mutex_);
    if (!geometryStale_) return outputs_;
    // Cleared before asking: a change noticed while the answer is on its way makes it stale again.
    geometryStale_ = false;
  }
  auto fresh = queryOutputs(*connection_);
  std::lock_guard lock(mutex_);
  outputs_ = fresh;
  return fresh;
}

std::optional<uint8_t> XTestPoster::leaseKeycodeFor(uint32_t keysym) {
  xcb_connection_t* c = connection_->get();
  for (;;) {
    std::optional<SpareKeycodes::Lease> lease;
    {
      std::lock_guard lock(mutex_);
      lease = spares_.acquire(keysym);
    }
    if (!lease) return std::nullopt;
    const KeySymbols current = keySymbols(c, lease->keycode);
    if (current.perKeycode == 0) {  // the server did not answer
      std::lock_guard lock(mutex_);
      spares_.release(lease->keycode);
      return std::nullopt;
    }
    if (current.first == keysym && !lease->needsBinding) return lease->keycode;
    if (!current.unused && current.first != lease->previousKeysym) {
      // A keymap loaded since took this keycode: it is no longer ours to bind.
      std::lock_guard lock(mutex_);
      spares_.remove(lease->keycode);
      continue;
    }
    // Every column the same keysym, so that held Shift or Caps Lock cannot change the character.
    const std::vector<xcb_keysym_t> syms(current.perKeycode, keysym);
    xcb_change_keyboard_mapping(c, 1, lease->keycode, current.perKeycode, syms.data());
    return lease->keycode;
  }
}

XTestPoster::Pixel XTestPoster::toPixel(ScreenPoint point, uint32_t displayID) {
  const auto outs = outputs();
  const OutputGeometry* output = nullptr;
  for (const auto& out : outs) {
    if (out.outputId == displayID && out.enabled() && pointBounds(out).contains(point)) output = &out;
  }
  if (!output) output = outputAtPoint(outs, point);
  const double scale = output ? output->scale : 1;
  return {rootCoordinate(point.x * scale), rootCoordinate(point.y * scale)};
}

void XTestPoster::fakeInput(uint8_t type, uint8_t detail, int16_t x, int16_t y) {
  xcb_test_fake_input(connection_->get(), type, detail, XCB_CURRENT_TIME, connection_->root(), x, y, 0);
}

void XTestPoster::movePointer(ScreenPoint point, uint32_t displayID) {
  const Pixel at = toPixel(point, displayID);
  fakeInput(XCB_MOTION_NOTIFY, 0, at.x, at.y);  // detail 0: absolute
}

void XTestPoster::pressKey(uint16_t hidUsage, bool down) {
  const uint8_t keycode = keycodes_.forUsage(hidUsage);
  if (keycode != 0) fakeInput(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode);
}

void XTestPoster::clickWheelButtons(uint8_t positiveButton, uint8_t negativeButton, int64_t clicks) {
  const uint8_t button = clicks > 0 ? positiveButton : negativeButton;
  for (int64_t i = 0; i < std::abs(clicks); ++i) {
    fakeInput(XCB_BUTTON_PRESS, button);
    fakeInput(XCB_BUTTON_RELEASE, button);
  }
}

void XTestPoster::typeText(std::u16string_view text) {
  for (char32_t codePoint : codePointsOf(text)) {
    const uint32_t keysym = keysymForCodePoint(codePoint);
    if (keysym == 0) continue;
    const auto keycode = leaseKeycodeFor(keysym);
    if (!keycode) continue;  // no unused keycode (or all lent to other threads): the character is lost
    fakeInput(XCB_KEY_PRESS, *keycode);
    fakeInput(XCB_KEY_RELEASE, *keycode);
    std::lock_guard lock(mutex_);
    spares_.release(*keycode);
  }
}

void XTestPoster::pressButton(uint8_t mouseButton, bool down, ScreenPoint point, uint32_t displayID) {
  movePointer(point, displayID);
  if (uint8_t button = xButton(mouseButton)) fakeInput(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button);
}

void XTestPoster::clickWheel(int64_t vertical, int64_t horizontal) {
  clickWheelButtons(kWheelUp, kWheelDown, vertical);
  clickWheelButtons(kWheelLeft, kWheelRight, horizontal);
}

void XTestPoster::flush() {
  xcb_flush(connection_->get());
  drainEvents();
}

std::optional<ScreenRect> XTestPoster::displayBounds(uint32_t displayID) {
  drainEvents();
  for (const auto& output : outputs()) {
    if (output.outputId == displayID && output.enabled()) return pointBounds(output);
  }
  return std::nullopt;
}

std::optional<ScreenPoint> XTestPoster::cursorPosition() {
  xcb_connection_t* c = connection_->get();
  auto reply = xcbReplyBy<xcb_query_pointer_reply_t>(c, xcb_query_pointer(c, connection_->root()).sequence);
  if (!reply || !reply->same_screen) return std::nullopt;
  const ScreenPoint pixel{double(reply->root_x), double(reply->root_y)};
  const auto outs = outputs();
  const OutputGeometry* output = outputAtPixel(outs, pixel);
  const double scale = output ? output->scale : 1;
  return ScreenPoint{pixel.x / scale, pixel.y / scale};
}

void XTestPoster::warpCursor(ScreenPoint point, uint32_t displayID) {
  const Pixel at = toPixel(point, displayID);
  xcb_warp_pointer(connection_->get(), XCB_NONE, connection_->root(), 0, 0, 0, 0, at.x, at.y);
}

}  // namespace tavlo
