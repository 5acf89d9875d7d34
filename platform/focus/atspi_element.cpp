#include "platform/focus/atspi_element.hpp"

#include "platform/focus/atspi_desktop.hpp"
#include "platform/focus/atspi_handles.hpp"

namespace tavlo {

AtspiElementKey keyOf(AtspiAccessible* accessible) {
  const AtspiObject& object = accessible->parent;
  return {object.app && object.app->bus_name ? object.app->bus_name : "", object.path ? object.path : ""};
}

FocusElementKind readKind(AtspiAccessible* accessible) {
  FocusElementKind kind;
  auto states = GRef<AtspiStateSet>::adopt(atspi_accessible_get_state_set(accessible));
  const bool editable = states && atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE);
  kind.valueSettable = editable;
  kind.selectedTextRangeReadable = static_cast<bool>(GRef<AtspiText>::adopt(atspi_accessible_get_text_iface(accessible)));

  GErrorSlot error;
  const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
  if (error.failed()) return kind;
  switch (role) {
    case ATSPI_ROLE_PASSWORD_TEXT:
      kind.role = FocusRole::textField;
      kind.secure = true;
      break;
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_EDITBAR:
      kind.role = FocusRole::textField;
      break;
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_TERMINAL:
      kind.role = FocusRole::textArea;
      break;
    case ATSPI_ROLE_COMBO_BOX:
      // Only a combo box that takes typing is a text input; a drop-down list of choices is not.
      if (editable) kind.role = FocusRole::comboBox;
      break;
    default:
      break;
  }
  return kind;
}

std::optional<ScreenRect> readPixelExtents(AtspiAccessible* accessible) {
  auto component = GRef<AtspiComponent>::adopt(atspi_accessible_get_component_iface(accessible));
  if (!component) return std::nullopt;
  GErrorSlot error;
  AtspiRect* rect = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, error.out());
  if (!rect) return std::nullopt;
  const ScreenRect pixels{double(rect->x), double(rect->y), double(rect->width), double(rect->height)};
  g_boxed_free(ATSPI_TYPE_RECT, rect);
  if (error.failed()) return std::nullopt;
  return pixels;
}

AtspiElement::AtspiElement(std::shared_ptr<AtspiDesktop> desktop, AtspiAccessible* accessible)
    : desktop_(std::move(desktop)), accessible_(accessible), key_(keyOf(accessible)) {}

AtspiElement::~AtspiElement() {
  desktop_->loop().post([accessible = accessible_] { g_object_unref(accessible); });
}

FocusElementKind AtspiElement::kind() {
  return desktop_->loop().call([this] { return readKind(accessible_); });
}

std::optional<ScreenRect> AtspiElement::frame() {
  return desktop_->loop().call([this]() -> std::optional<ScreenRect> {
    const auto pixels = readPixelExtents(accessible_);
    if (!pixels) return std::nullopt;
    return desktop_->toPoints(*pixels);
  });
}

bool AtspiElement::sameElement(const FocusElement& other) const {
  const auto* element = dynamic_cast<const AtspiElement*>(&other);
  return element && element->key_ == key_;
}

}  // namespace tavlo
