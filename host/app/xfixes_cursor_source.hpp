#pragma once
// The X server's current cursor through XFIXES (image, hot spot, serial and theme name), on a
// connection of its own, for the cursor tracker; and the point width of an output for its pixels per
// point. Used from one thread at a time (the cursor tracker's reader); each answer is waited for within
// the X reply limit, none when the server does not answer.
#include <memory>
#include <optional>
#include <string>

#include "host/controller/cursor_source.hpp"
#include "host/controller/cursor_tracker.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class XFixesCursorSource final : public CursorSource {
 public:
  // nullptr, with the reason in `error`, without a server or without XFIXES 2 (cursor names).
  static std::unique_ptr<XFixesCursorSource> open(const std::string& display, std::string* error);

  std::optional<CursorSnapshot> current() override;
  // The widths of the output `outputId`; none while it is off or unknown.
  std::optional<DisplayWidths> outputWidths(uint32_t outputId);

 private:
  explicit XFixesCursorSource(std::unique_ptr<XcbConnection> connection) : connection_(std::move(connection)) {}
  std::unique_ptr<XcbConnection> connection_;
};

}  // namespace tavlo
