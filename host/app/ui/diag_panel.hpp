#pragma once
// The diagnostics panel: the stream's 19 rows, the last path switch, the path picker, the mismatch
// warning and the ten history charts, redrawn from the controller on every change it publishes.
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

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  int contentHeight() const;
  int pickerTop() const;

  DiagPanelState state_;
  std::vector<DiagRow> rows_;
  std::string warning_;
  std::vector<DiagChart> charts_;
  std::function<void(const std::string&)> onForcePath_;
  QPoint dragOffset_;
};

}  // namespace tavlo::ui
