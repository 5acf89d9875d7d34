#pragma once
// The tray application's images, drawn in code: the status icon (the sail turned 45 degrees clockwise)
// and the red disconnect chip with the client's device.
#include <string>

#include <QIcon>
#include <QImage>
#include <QString>

namespace tavlo::ui {

// The status icon; a null image when the asset is missing (the next call tries again).
QImage statusIconImage();
QIcon statusIcon();

// The disconnect chip is a tray icon like the status icon: the tray gives each icon one square slot
// (22 to 26 px on the usual panels), where a wide capsule with a word would be squeezed past reading.
// So the chip is square: a red disc holding the device's glyph in white, with a white cross at its
// lower right; the tooltip names the client.
// The chip drawn at `size` × `size` px, with the icon of the freedesktop name `iconName` (our own screen
// glyph when the theme has none).
QImage disconnectChip(const std::string& iconName, int size);
// The chip for the tray: drawn at each of the tray's usual sizes, so that none is a scaled copy.
QIcon disconnectChipTrayIcon(const std::string& iconName);

}  // namespace tavlo::ui
