#include "host/app/settings/settings_pane.hpp"

#include <QCoreApplication>

namespace tavlo {

const char* settingsPaneName(SettingsPane pane) {
  switch (pane) {
    case SettingsPane::general: return "General";
    case SettingsPane::display: return "Display";
    case SettingsPane::network: return "Network";
    case SettingsPane::shortcuts: return "Shortcuts";
    case SettingsPane::updates: return "Updates";
    case SettingsPane::diagnostics: return "Diagnostics";
  }
  return "General";
}

std::optional<SettingsPane> settingsPaneNamed(std::string_view name) {
  for (SettingsPane pane : allSettingsPanes) {
    if (name == settingsPaneName(pane)) return pane;
  }
  return std::nullopt;
}

QString settingsPaneTitle(SettingsPane pane) {
  return QCoreApplication::translate("SettingsPane", settingsPaneName(pane));
}

QColor settingsPaneTint(SettingsPane pane) {
  switch (pane) {
    case SettingsPane::general:
    case SettingsPane::shortcuts: return QColor(0x8e, 0x8e, 0x93);
    case SettingsPane::display: return QColor(0x58, 0x56, 0xd6);
    case SettingsPane::network: return QColor(0x00, 0x7a, 0xff);
    case SettingsPane::updates: return QColor(0x34, 0xc7, 0x59);
    case SettingsPane::diagnostics: return QColor(0xff, 0x95, 0x00);
  }
  return Qt::gray;
}

std::vector<SettingsPane> availableSettingsPanes(bool clientConnected) {
  std::vector<SettingsPane> panes;
  for (SettingsPane pane : allSettingsPanes) {
    if (pane != SettingsPane::display || clientConnected) panes.push_back(pane);
  }
  return panes;
}

std::vector<SettingsPane> filterSettingsPanes(const std::vector<SettingsPane>& panes, const QString& searchText) {
  qsizetype first = 0;
  qsizetype end = searchText.size();
  auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
  while (first < end && blank(searchText[first])) ++first;
  while (end > first && blank(searchText[end - 1])) --end;
  const QString query = searchText.mid(first, end - first).toLower();
  if (query.isEmpty()) return panes;
  std::vector<SettingsPane> found;
  for (SettingsPane pane : panes) {
    if (settingsPaneTitle(pane).toLower().contains(query)) found.push_back(pane);
  }
  return found;
}

void SettingsNavigation::select(SettingsPane pane) {
  if (pane == selection()) return;
  history_.erase(history_.begin() + static_cast<std::ptrdiff_t>(index_) + 1, history_.end());
  history_.push_back(pane);
  index_ = history_.size() - 1;
}

void SettingsNavigation::back() {
  if (canGoBack()) --index_;
}

void SettingsNavigation::forward() {
  if (canGoForward()) ++index_;
}

}  // namespace tavlo
