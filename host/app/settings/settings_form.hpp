#pragma once
// Building blocks of the settings panes: a section with header and footer, a titled value row, a
// warning line, and the bookkeeping that stops following the controller's published values when a
// pane goes.
#include <functional>
#include <vector>

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "platform/runtime/published.hpp"

namespace tavlo {

// A group of controls with an optional header above and an optional footer below.
class SettingsSection : public QWidget {
 public:
  SettingsSection(const QString& header, const QString& footer, QWidget* parent = nullptr);

  QVBoxLayout* content() const { return content_; }
  void setFooter(const QString& footer);
  QString footer() const;
  QString header() const;

 private:
  QLabel* header_;
  QVBoxLayout* content_;
  QLabel* footer_;
};

// A row with a title on the left and a value on the right in the secondary style (monospaced digits
// when `monospaced`); returns the value's label.
QLabel* addValueRow(QBoxLayout* layout, const QString& title, bool monospaced = true, QLabel** titleLabel = nullptr);
// Shows a switch on or off without running its handlers: what the model holds, not a user's click.
void showChecked(QCheckBox* toggle, bool on);
// A wrapped line in the secondary colour for explanations, or a warning colour.
QLabel* makeNote(const QString& text, const QColor& colour, QWidget* parent = nullptr);
// The font of footers and footnotes: the given one, smaller.
QFont footnoteFont(QFont font);
// The orange of warnings and the secondary grey of values.
QColor warningColour();
QColor secondaryColour();

// The values a pane follows; every observation ends with the pane. The controller outlives its
// windows.
class ModelObservers {
 public:
  ModelObservers() = default;
  ModelObservers(const ModelObservers&) = delete;
  ModelObservers& operator=(const ModelObservers&) = delete;
  ~ModelObservers() {
    for (auto& stop : stops_) stop();
  }

  template <class T>
  void follow(Published<T>& value, std::function<void()> refresh) {
    auto id = value.observe([refresh = std::move(refresh)](const T&) { refresh(); });
    stops_.push_back([&value, id] { value.unobserve(id); });
  }

 private:
  std::vector<std::function<void()>> stops_;
};

}  // namespace tavlo
