#include "tests/host/end_to_end/screen_locker.hpp"

#include <chrono>
#include <utility>

namespace tavlo::endtoend {

namespace {

constexpr uint32_t returnKeysym = 0xFF0D;

}  // namespace

bool ScreenLocker::lock(const std::string& display, std::string password, std::function<void()> onUnlocked,
                        std::string* error) {
  x_ = XcbConnection::open(display, error);
  if (!x_) return false;
  password_ = std::move(password);
  onUnlocked_ = std::move(onUnlocked);
  xcb_connection_t* c = x_->get();
  xcb_screen_t* screen = x_->screen();
  window_ = xcb_generate_id(c);
  const uint32_t values[] = {screen->black_pixel, 1, XCB_EVENT_MASK_KEY_PRESS};  // override-redirect
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, screen->width_in_pixels,
                    screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(c, window_);
  // The window must be viewable before the keyboard can be grabbed for it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    auto grab = xcbOwn(xcb_grab_keyboard_reply(
        c, xcb_grab_keyboard(c, 0, window_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr));
    if (grab && grab->status == XCB_GRAB_STATUS_SUCCESS) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      if (error) *error = "the screen locker could not grab the keyboard";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

ScreenLocker::~ScreenLocker() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> ScreenLocker::attempts() const {
  std::lock_guard guard(mutex_);
  return attempts_;
}

void ScreenLocker::run() {
  xcb_connection_t* c = x_->get();
  while (!stop_ && x_->healthy()) {
    auto event = xcbOwn(xcb_poll_for_event(c));
    if (!event) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    if ((event->response_type & 0x7F) == XCB_KEY_PRESS) {
      keyPressed(reinterpret_cast<xcb_key_press_event_t*>(event.get())->detail);
    }
  }
}

void ScreenLocker::keyPressed(uint8_t keycode) {
  // The typist may bind a spare keycode for each character: what it types is read when it arrives
  // (such bindings stay until the keycode is needed for another character).
  xcb_connection_t* c = x_->get();
  auto mapping = xcbOwn(xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, keycode, 1), nullptr));
  if (!mapping || mapping->keysyms_per_keycode == 0) return;
  const uint32_t keysym = xcb_get_keyboard_mapping_keysyms(mapping.get())[0];
  if (keysym != returnKeysym) {
    if (keysym >= 0x20 && keysym < 0x7F) typed_ += static_cast<char>(keysym);
    return;
  }
  const std::string attempt = std::exchange(typed_, {});
  {
    std::lock_guard guard(mutex_);
    attempts_.push_back(attempt);
  }
  if (attempt != password_ || unlocked_) return;
  xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
  xcb_unmap_window(c, window_);
  xcb_flush(c);
  unlocked_ = true;
  if (onUnlocked_) onUnlocked_();
}

}  // namespace tavlo::endtoend
