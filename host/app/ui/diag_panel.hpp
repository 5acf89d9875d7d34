#pragma once
// The diagnostics panel: the stream's 19 rows, the last path switch, the path picker, the mismatch
// warning and the ten history charts, redrawn from the controller on every change it publishes.
// The panel fits the screen it is placed on: when its content is taller than the screen's free area,
// the panel takes that height and its charts scroll under the wheel (on a screen too short even for
// the rows, everything below the header scrolls). Values wrap within the value column, never elided,
// and the label column is as wide as its longest label.
#include <functional>
#include <string>
#include <vector>

#include "host/app/ui/diag_charts.hpp"
#include "host/app/ui/floating_panel.hpp"
#include "host/app/ui/panel_text.hpp"

namespace tavlo::ui {

struct DiagPanelState {
  std::optional<vela::DiagSnapshot> diag;
  std::vector<vela::DiagSnapshot> history;
  DiagContext context;
  std::string lastSwitchInfo = "—";
};

class DiagPanel : public FloatingPanel {
  Q_OBJECT

 public:
  static constexpr int panelWidth = 332;  // 320 of content and 6 around it

  explicit DiagPanel(QWidget* parent = nullptr);
  void setState(DiagPanelState state);
  // Called with the picker's request ("auto", "lan", ...) when the user picks a path.
  void setOnForcePath(std::function<void(const std::string&)> onForcePath) { onForcePath_ = std::move(onForcePath); }

  const std::vector<DiagRow>& rows() const { return rows_; }
  const std::string& warning() const { return warning_; }
  const std::vector<DiagChart>& charts() const { return charts_; }
  const std::string& selectedPath() const { return state_.context.clientForcePath; }
  // Where each path choice is drawn, in the order of pathChoices().
  std::vector<QRect> pathSegments() const;

  // The laid-out geometry, for checks: the label column's width, each row's height (the 19 rows or the
  // one "brak strumienia" line, then "ostatni switch"), the content's full height, and the scrolling.
  int labelColumnWidth() const { return labelWidth_; }
  const std::vector<int>& rowHeights() const { return rowHeights_; }
  int contentHeight() const { return contentHeight_; }
  bool scrolls() const { return contentHeight_ > height(); }
  int scrollOffset() const { return scroll_; }
  // Where the scrolled part begins (panel coordinates): the charts, or everything below the header.
  int scrollTop() const { return scrollTop_; }

 protected:
  void fitToArea(const QRect& area) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  // Walks the content top to bottom, drawing it when `painter` is given; records the geometry.
  int layOut(QPainter* painter);
  void relayout();
  void scrollBy(int pixels);

  DiagPanelState state_;
  std::vector<DiagRow> rows_;
  std::string warning_;
  std::vector<DiagChart> charts_;
  std::function<void(const std::string&)> onForcePath_;
  QPoint dragOffset_;
  int maxHeight_ = 0;  // 0: no screen known yet
  int labelWidth_ = 84;
  std::vector<int> rowHeights_;
  int headerBottom_ = 0, pickerTop_ = 0, chartsTop_ = 0, contentHeight_ = 0;
  int scrollTop_ = 0, scroll_ = 0;
};

}  // namespace tavlo::ui
