#include "host/app/settings/settings_window.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QStyle>
#include <QVBoxLayout>

namespace tavlo {

namespace {

constexpr int sidebarMinWidth = 200;
constexpr int sidebarWidth = 222;
constexpr int sidebarMaxWidth = 280;

// The pane's sidebar symbol: its initial, white, on a rounded square in the pane's tint.
QIcon paneIcon(SettingsPane pane) {
  QPixmap pixmap(40, 40);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient gradient(0, 0, 0, 40);
  const QColor tint = settingsPaneTint(pane);
  gradient.setColorAt(0, tint.lighter(115));
  gradient.setColorAt(1, tint);
  painter.setBrush(gradient);
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(0, 0, 40, 40), 10, 10);
  QFont font = painter.font();
  font.setPixelSize(24);
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRectF(0, 0, 40, 40), Qt::AlignCenter, settingsPaneTitle(pane).left(1));
  return QIcon(pixmap);
}

}  // namespace

SettingsWindow::SettingsWindow(HostController& host, SettingsWindowDependencies deps, QWidget* parent)
    : QWidget(parent), host_(host), deps_(std::move(deps)), wasConnected_(host.clientConnected.get()) {
  setWindowTitle(tr("Tavlo — Settings"));
  setMinimumSize(740, 580);
  resize(780, 640);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(buildSidebar());

  auto* detail = new QWidget(this);
  auto* detailLayout = new QVBoxLayout(detail);
  heading_ = new QLabel(detail);
  QFont big = heading_->font();
  big.setPointSizeF(big.pointSizeF() * 1.4);
  big.setBold(true);
  heading_->setFont(big);
  detailLayout->addWidget(heading_);
  stack_ = new QStackedWidget(detail);
  detailLayout->addWidget(stack_, 1);
  layout->addWidget(detail, 1);

  general_ = new GeneralPane(deps_);
  display_ = new DisplayPane(host_);
  network_ = new NetworkPane(host_);
  shortcuts_ = new ShortcutsPane(host_);
  updates_ = new UpdatesPane(host_, deps_);
  diagnostics_ = new DiagnosticsPane(host_, deps_);
  addPane(SettingsPane::general, general_);
  addPane(SettingsPane::display, display_);
  addPane(SettingsPane::network, network_);
  addPane(SettingsPane::shortcuts, shortcuts_);
  addPane(SettingsPane::updates, updates_);
  addPane(SettingsPane::diagnostics, diagnostics_);

  observers_.follow(host_.clientConnected, [this] { clientConnectionChanged(); });
  refreshSidebar();
  showSelection();
}

SettingsWindow::~SettingsWindow() = default;

QWidget* SettingsWindow::buildSidebar() {
  auto* sidebar = new QWidget(this);
  sidebar->setMinimumWidth(sidebarMinWidth);
  sidebar->setMaximumWidth(sidebarMaxWidth);
  sidebar->resize(sidebarWidth, sidebar->height());
  auto* layout = new QVBoxLayout(sidebar);
  auto* navigation = new QHBoxLayout;
  back_ = new QToolButton(sidebar);
  back_->setArrowType(Qt::LeftArrow);
  back_->setToolTip(tr("Back"));
  forward_ = new QToolButton(sidebar);
  forward_->setArrowType(Qt::RightArrow);
  forward_->setToolTip(tr("Forward"));
  navigation->addWidget(back_);
  navigation->addWidget(forward_);
  navigation->addStretch(1);
  layout->addLayout(navigation);
  search_ = new QLineEdit(sidebar);
  search_->setPlaceholderText(tr("Search"));
  search_->setClearButtonEnabled(true);
  layout->addWidget(search_);
  sidebar_ = new QListWidget(sidebar);
  sidebar_->setIconSize(QSize(20, 20));
  sidebar_->setSpacing(1);
  layout->addWidget(sidebar_, 1);

  connect(back_, &QToolButton::clicked, this, [this] { goBack(); });
  connect(forward_, &QToolButton::clicked, this, [this] { goForward(); });
  connect(search_, &QLineEdit::textChanged, this, [this] { refreshSidebar(); });
  connect(sidebar_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (refreshingSidebar_ || row < 0) return;
    select(static_cast<SettingsPane>(sidebar_->item(row)->data(Qt::UserRole).toInt()));
  });
  return sidebar;
}

void SettingsWindow::addPane(SettingsPane pane, QWidget* form) {
  auto* page = new QScrollArea(stack_);
  page->setWidgetResizable(true);
  page->setFrameShape(QFrame::NoFrame);
  page->setWidget(form);
  wheelGuard_->guardControlsIn(form);
  pages_[pane] = page;
  stack_->addWidget(page);
}

std::vector<SettingsPane> SettingsWindow::listedPanes() const {
  std::vector<SettingsPane> panes;
  for (int row = 0; row < sidebar_->count(); ++row) {
    panes.push_back(static_cast<SettingsPane>(sidebar_->item(row)->data(Qt::UserRole).toInt()));
  }
  return panes;
}

void SettingsWindow::showPane(SettingsPane pane) {
  select(pane);
  showAndRaise();
}

void SettingsWindow::showAndRaise() {
  show();
  raise();
  activateWindow();
}

void SettingsWindow::showEventPostingPermission() {
  showPane(SettingsPane::diagnostics);
  pages_.at(SettingsPane::diagnostics)->ensureWidgetVisible(diagnostics_->inputRow);
  auto* recheck = diagnostics_->inputRow->findChild<QPushButton*>(QStringLiteral("recheck"));
  if (recheck && recheck->isVisibleTo(this)) recheck->setFocus(Qt::OtherFocusReason);
}

void SettingsWindow::select(SettingsPane pane) {
  navigation_.select(pane);
  showSelection();
}

void SettingsWindow::goBack() {
  navigation_.back();
  showSelection();
}

void SettingsWindow::goForward() {
  navigation_.forward();
  showSelection();
}

void SettingsWindow::refreshSidebar() {
  const auto panes =
      filterSettingsPanes(availableSettingsPanes(host_.clientConnected.get()), search_->text());
  refreshingSidebar_ = true;
  sidebar_->clear();
  for (SettingsPane pane : panes) {
    auto* item = new QListWidgetItem(paneIcon(pane), settingsPaneTitle(pane), sidebar_);
    item->setData(Qt::UserRole, static_cast<int>(pane));
  }
  refreshingSidebar_ = false;
  showSelection();
}

void SettingsWindow::showSelection() {
  const SettingsPane pane = navigation_.selection();
  stack_->setCurrentWidget(pages_.at(pane));
  heading_->setText(settingsPaneTitle(pane));
  back_->setEnabled(navigation_.canGoBack());
  forward_->setEnabled(navigation_.canGoForward());
  // The sidebar marks the pane when it lists it; history can show a pane it does not list.
  refreshingSidebar_ = true;
  int row = -1;
  for (int i = 0; i < sidebar_->count(); ++i) {
    if (sidebar_->item(i)->data(Qt::UserRole).toInt() == static_cast<int>(pane)) row = i;
  }
  sidebar_->setCurrentRow(row);
  refreshingSidebar_ = false;
}

void SettingsWindow::clientConnectionChanged() {
  const bool connected = host_.clientConnected.get();
  const bool changed = connected != wasConnected_;
  wasConnected_ = connected;
  if (!changed) return;
  refreshSidebar();
  if (!connected && navigation_.selection() == SettingsPane::display) select(SettingsPane::general);
}

}  // namespace tavlo
