#include "host/app/ui/tray_app.hpp"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QSlider>
#include <QWidgetAction>

#include "host/app/ui/panel_text.hpp"
#include "host/app/ui/tray_art.hpp"

namespace tavlo::ui {
namespace {

// A slider that reports once, when the mouse button is released (also after a plain click).
class ReleaseSlider : public QSlider {
 public:
  using QSlider::QSlider;
  std::function<void(double)> onRelease = [](double) {};

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QSlider::mouseReleaseEvent(event);
    onRelease(value() / 100.0);
  }
};

}  // namespace

TrayApp::TrayApp(HostController& controller, TrayHooks hooks, QObject* parent)
    : QObject(parent), controller_(controller), hooks_(std::move(hooks)),
      model_(std::make_unique<ControllerModel>(controller)), menu_(std::make_unique<QMenu>()) {}

TrayApp::~TrayApp() = default;

void TrayApp::start() {
  if (!controller_.standby.get()) {
    setUpUi();
    return;
  }
  // A standby instance shows nothing until the older instance is gone.
  connect(model_.get(), &ControllerModel::standbyChanged, this, [this] {
    if (!controller_.standby.get()) setUpUi();
  });
}

void TrayApp::setUpUi() {
  if (uiBuilt_) return;
  uiBuilt_ = true;
  diagnosticsWanted_ = hooks_.loadDiagnosticsWanted();
  statusItem_ = std::make_unique<QSystemTrayIcon>(statusIcon());
  statusItem_->setToolTip(QStringLiteral("Tavlo"));
  statusItem_->setContextMenu(menu_.get());
  connect(menu_.get(), &QMenu::aboutToShow, this, &TrayApp::rebuildMenu);
  // A left click opens the same menu (as on a menu bar).
  connect(statusItem_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
  });
  rebuildMenu();
  statusItem_->show();

  auto screensChanged = [this] {
    menu_->close();
    if (diagPanel_ && diagPanel_->isVisible()) diagPanel_->placeTopRight();
    if (clipPanel_ && clipPanel_->isVisible()) clipPanel_->placeBottomRight();
  };
  // A session's virtual display can take the place of the physical ones on the same screen object
  // (RandR changes its geometry): the panels follow a geometry change as they follow a new screen.
  auto watchScreen = [this, screensChanged](QScreen* screen) {
    connect(screen, &QScreen::availableGeometryChanged, this, screensChanged);
  };
  for (QScreen* screen : QGuiApplication::screens()) watchScreen(screen);
  connect(qApp, &QGuiApplication::screenAdded, this, [screensChanged, watchScreen](QScreen* screen) {
    watchScreen(screen);
    screensChanged();
  });
  connect(qApp, &QGuiApplication::screenRemoved, this, screensChanged);
  connect(qApp, &QGuiApplication::primaryScreenChanged, this, screensChanged);

  connect(model_.get(), &ControllerModel::scaleHudValueChanged, this,
          [this] { updateScalePanel(controller_.scaleHudValue.get()); });
  auto clientChanged = [this] {
    refreshDisconnectItem();
    syncDiagnosticsVisibility();
  };
  connect(model_.get(), &ControllerModel::clientConnectedChanged, this, clientChanged);
  connect(model_.get(), &ControllerModel::clientPlatformChanged, this, clientChanged);
  connect(model_.get(), &ControllerModel::clientNameChanged, this, clientChanged);
  for (auto signal : {&ControllerModel::diagChanged, &ControllerModel::diagHistoryChanged,
                      &ControllerModel::lastSwitchInfoChanged, &ControllerModel::clientForcePathChanged,
                      &ControllerModel::reachabilityChanged, &ControllerModel::clientConnectedChanged}) {
    connect(model_.get(), signal, this, &TrayApp::refreshDiagPanel);
  }
  clientChanged();
}

MenuState TrayApp::menuState() const {
  MenuState state;
  state.clientConnected = controller_.clientConnected.get();
  state.clientPlatform = controller_.clientPlatform.get();
  state.inputBlocked = controller_.inputBlocked.get();
  state.diagnosticsWanted = diagnosticsWanted_;
  state.altHeld = QGuiApplication::queryKeyboardModifiers().testFlag(Qt::AltModifier);
  state.nowNs = hooks_.uptimeNs();
  state.lastOptionClickNs = hooks_.lastOptionClickNs();
  state.diagnosticsPanelVisible = diagPanel_ && diagPanel_->isVisible();
  return state;
}

void TrayApp::rebuildMenu() {
  menu_->clear();
  for (const MenuEntry& entry : menuEntries(menuState())) {
    const QString title = QString::fromStdString(entry.title);
    QAction* action = nullptr;
    switch (entry.kind) {
      case MenuEntryKind::scaleSlider: {
        auto* widgetAction = new QWidgetAction(menu_.get());
        widgetAction->setDefaultWidget(makeScaleSliderView());
        menu_->addAction(widgetAction);
        break;
      }
      case MenuEntryKind::diagnostics:
        action = menu_->addAction(title, this, &TrayApp::toggleDiagnostics);
        action->setCheckable(true);
        action->setChecked(entry.checked);
        break;
      case MenuEntryKind::accessibilityWarning:
        menu_->addAction(title, this, &TrayApp::openAccessibilitySettings);
        break;
      case MenuEntryKind::separator: menu_->addSeparator(); break;
      case MenuEntryKind::settings: action = menu_->addAction(title, this, &TrayApp::openSettings); break;
      case MenuEntryKind::quit: action = menu_->addAction(title, this, [this] { hooks_.quit(); }); break;
    }
    if (action && !entry.shortcut.empty()) action->setShortcut(QKeySequence(QString::fromStdString(entry.shortcut)));
  }
}

QWidget* TrayApp::makeScaleSliderView() {
  auto* view = new QWidget;
  view->setFixedSize(260, 52);
  auto* title = new QLabel(QStringLiteral("Screen scaling"), view);
  QFont titleFont = title->font();
  titleFont.setPixelSize(13);
  title->setFont(titleFont);
  title->adjustSize();
  title->move(14, 6);
  auto* value = new QLabel(QString::fromStdString(sliderPercent(controller_.scale.get())), view);
  value->setAlignment(Qt::AlignCenter);
  value->setGeometry(198, 6, 48, 16);
  value->setEnabled(false);  // the secondary colour
  scaleValueLabel_ = value;
  auto* slider = new ReleaseSlider(Qt::Horizontal, view);
  slider->setRange(100, 200);
  slider->setValue(static_cast<int>(controller_.scale.get() * 100 + 0.5));
  slider->setGeometry(12, 24, 236, 24);
  connect(slider, &QSlider::valueChanged, this, [this](int percent) {
    if (scaleValueLabel_) scaleValueLabel_->setText(QString::fromStdString(sliderPercent(percent / 100.0)));
  });
  slider->onRelease = [this, guard = QPointer<TrayApp>(this)](double v) {
    if (!guard) return;
    controller_.setScale(v);
    if (scaleValueLabel_) {
      scaleValueLabel_->setText(QString::fromStdString(sliderPercent(controller_.scale.get())));
    }
  };
  return view;
}

void TrayApp::refreshDisconnectItem() {
  auto icon = disconnectChipIcon(controller_.clientConnected.get(), controller_.clientPlatform.get());
  if (!icon) {
    // A click on the chip itself ends the session and lands here while the chip is still sending that
    // click: it is hidden now and deleted once the event loop is back.
    if (disconnectItem_) {
      disconnectItem_->hide();
      disconnectItem_.release()->deleteLater();
    }
    chipIconName_.reset();
    return;
  }
  if (!disconnectItem_) {
    // A child of the tray application, so that a chip still waiting for its deletion goes with it.
    disconnectItem_ = std::make_unique<QSystemTrayIcon>(this);
    // Only the primary click ends the session: the context click opens the menu (as on the status
    // icon), and a middle click or a wheel over the tray does nothing.
    disconnectItem_->setContextMenu(menu_.get());
    connect(disconnectItem_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger) controller_.disconnectClient();
            });
  }
  // Redrawn only for another device: a new client name changes the tooltip alone.
  if (chipIconName_ != icon) {
    chipIconName_ = icon;
    disconnectItem_->setIcon(disconnectChipTrayIcon(*icon));
  }
  disconnectItem_->setToolTip(QString::fromStdString(disconnectTooltip(controller_.clientName.get())));
  disconnectItem_->show();
}

void TrayApp::offerIcons() {
  for (QSystemTrayIcon* icon : {statusItem_.get(), disconnectItem_.get()}) {
    if (!icon || !icon->isVisible()) continue;
    icon->hide();
    icon->show();
  }
}

SettingsWindow* TrayApp::ensureSettingsWindow() {
  if (!settingsWindow_) settingsWindow_ = hooks_.makeSettingsWindow();
  return settingsWindow_.get();
}

void TrayApp::openSettings() {
  if (SettingsWindow* window = ensureSettingsWindow()) window->showAndRaise();
}

void TrayApp::openAccessibilitySettings() {
  if (SettingsWindow* window = ensureSettingsWindow()) window->showEventPostingPermission();
}

void TrayApp::toggleDiagnostics() {
  diagnosticsWanted_ = !diagnosticsWanted_;
  hooks_.storeDiagnosticsWanted(diagnosticsWanted_);
  syncDiagnosticsVisibility();
}

void TrayApp::syncDiagnosticsVisibility() {
  if (diagnosticsWanted_ && controller_.clientConnected.get()) {
    if (!diagPanel_) {
      diagPanel_ = std::make_unique<DiagPanel>();
      diagPanel_->setOnForcePath([this](const std::string& request) { hooks_.setClientForcePath(request); });
      refreshDiagPanel();
    }
    diagPanel_->placeTopRight();
    diagPanel_->showNow();
  } else if (diagPanel_) {
    diagPanel_->hideNow();
  }
}

void TrayApp::refreshDiagPanel() {
  if (!diagPanel_) return;
  DiagContext context;
  context.clientConnected = controller_.clientConnected.get();
  context.mappedVia = controller_.mappedVia.get();
  context.publicEndpoint = controller_.publicEndpoint.get();
  context.allowNAT = controller_.allowNAT.get();
  context.useNATPMP = controller_.useNATPMP.get();
  context.useUPnP = controller_.useUPnP.get();
  context.natOnDemand = controller_.mapsOnDemand();
  context.allowLAN = controller_.allowLAN.get();
  context.allowVPN = controller_.allowVPN.get();
  context.allowRelay = controller_.allowRelay.get();
  context.clientForcePath = controller_.clientForcePath.get();
  diagPanel_->setState({controller_.diag.get(), controller_.diagHistory.get(), context,
                        controller_.lastSwitchInfo.get()});
}

void TrayApp::updateScalePanel(std::optional<double> value) {
  if (!value) {
    if (scalePanel_ && scalePanel_->isVisible()) scalePanel_->fadeOut(250);
    return;
  }
  if (!scalePanel_) scalePanel_ = std::make_unique<ScalePanel>();
  scalePanel_->setScale(*value);
  if (statusItem_) {
    QRect anchor = statusItem_->geometry();
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (anchor.isValid()) scalePanel_->placeUnder(anchor, screen ? screen->availableGeometry() : anchor);
  }
  scalePanel_->fadeIn(150, 120);
}

void TrayApp::updateClipPanel(const std::optional<ClipTransfer>& transfer) {
  if (!transfer) {
    if (clipPanel_ && clipPanel_->isVisible()) clipPanel_->fadeOut(300);
    return;
  }
  if (!clipPanel_) clipPanel_ = std::make_unique<ClipPanel>();
  clipPanel_->setTransfer(transfer);
  clipPanel_->placeBottomRight();
  // A transfer that begins while the last card fades out brings the card back before it hides.
  if (!clipPanel_->isVisible() || clipPanel_->fadingOut()) clipPanel_->fadeIn(200, 200);
}

}  // namespace tavlo::ui
