#pragma once
// The panes of the settings window, in sidebar order, and the walk through the panes visited (back and
// forward). Plain logic: the window shows what this says.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <QColor>
#include <QString>

namespace tavlo {

enum class SettingsPane : uint8_t { general, display, network, shortcuts, updates, diagnostics };

inline constexpr std::array<SettingsPane, 6> allSettingsPanes{SettingsPane::general,   SettingsPane::display,
                                                              SettingsPane::network,   SettingsPane::shortcuts,
                                                              SettingsPane::updates,   SettingsPane::diagnostics};

// The pane's raw name, which is also its English title ("General", …).
const char* settingsPaneName(SettingsPane pane);
// Exactly the six names; anything else is no pane.
std::optional<SettingsPane> settingsPaneNamed(std::string_view name);
// The localised title shown in the sidebar and as the detail's heading.
QString settingsPaneTitle(SettingsPane pane);
// The tint of the pane's sidebar symbol.
QColor settingsPaneTint(SettingsPane pane);

// The panes the sidebar lists: Display only while a client is connected.
std::vector<SettingsPane> availableSettingsPanes(bool clientConnected);
// The panes whose localised title contains the search text, trimmed of spaces and tabs (not of newlines)
// and compared without case; an empty search lists them all.
std::vector<SettingsPane> filterSettingsPanes(const std::vector<SettingsPane>& panes, const QString& searchText);

// The selected pane and the panes visited, oldest first. Choosing a pane after stepping back drops the
// forward entries; stepping back or forward moves through the list without recording.
class SettingsNavigation {
 public:
  SettingsPane selection() const { return history_[index_]; }
  // Records a change of selection; choosing the pane already selected records nothing.
  void select(SettingsPane pane);
  bool canGoBack() const { return index_ != 0; }
  bool canGoForward() const { return index_ + 1 < history_.size(); }
  void back();
  void forward();

  const std::vector<SettingsPane>& history() const { return history_; }
  size_t historyIndex() const { return index_; }

 private:
  std::vector<SettingsPane> history_{SettingsPane::general};
  size_t index_ = 0;
};

}  // namespace tavlo
