#pragma once
// One AT-SPI accessible handed to the watcher. Its reads run on the AT-SPI thread; its reference is
// released there too.
#include <atspi/atspi.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/focus/focus_source.hpp"

namespace tavlo {

class AtspiDesktop;

// Where an accessible lives: its application's bus name and its object path. Two handles with the same
// key stand for the same element.
struct AtspiElementKey {
  std::string busName;
  std::string path;

  friend bool operator==(const AtspiElementKey&, const AtspiElementKey&) = default;
};

// On the AT-SPI thread.
AtspiElementKey keyOf(AtspiAccessible* accessible);
// What the watcher needs to know of an accessible's kind, from its role, states and interfaces.
FocusElementKind readKind(AtspiAccessible* accessible);
// Its screen extents in root pixels; empty when they cannot be read.
std::optional<ScreenRect> readPixelExtents(AtspiAccessible* accessible);

class AtspiElement final : public FocusElement {
 public:
  // Takes over one reference of `accessible`. Made on the AT-SPI thread.
  AtspiElement(std::shared_ptr<AtspiDesktop> desktop, AtspiAccessible* accessible);
  ~AtspiElement() override;
  AtspiElement(const AtspiElement&) = delete;
  AtspiElement& operator=(const AtspiElement&) = delete;

  FocusElementKind kind() override;
  std::optional<ScreenRect> frame() override;
  bool sameElement(const FocusElement& other) const override;

  const AtspiElementKey& key() const { return key_; }

 private:
  std::shared_ptr<AtspiDesktop> desktop_;
  AtspiAccessible* accessible_;
  const AtspiElementKey key_;
};

}  // namespace tavlo
