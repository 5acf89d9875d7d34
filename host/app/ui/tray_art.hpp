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

inline constexpr int chipHeight = 24;
// The chip's width for its text: the text, the padding 9 either side, the icon box 18 and the gap 5.
int chipWidth(const QString& text);
// The chip with the icon of the freedesktop name `iconName` (our own screen glyph when the theme has none).
QImage disconnectChip(const std::string& iconName);
QString disconnectChipText();

}  // namespace tavlo::ui
