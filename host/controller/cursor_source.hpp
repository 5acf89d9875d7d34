#pragma once
// Where the cursor tracker reads the desktop's current cursor: the X server's (XFIXES) in the program,
// a scripted one in tests.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

struct CursorSnapshot {
  std::string name;  // the theme's name of the cursor ("left_ptr", "xterm", …); empty for an unnamed one
  int32_t width = 0;  // pixels of the desktop
  int32_t height = 0;
  int32_t hotX = 0;
  int32_t hotY = 0;
  uint32_t serial = 0;          // changes whenever the cursor changes
  std::vector<uint32_t> argb;   // premultiplied ARGB words (A in the top byte), row after row
};

class CursorSource {
 public:
  virtual ~CursorSource() = default;
  // The cursor now; none when the desktop did not answer.
  virtual std::optional<CursorSnapshot> current() = 0;
};

}  // namespace tavlo
