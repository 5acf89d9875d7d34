#include "host/app/ui/tray_runtime.hpp"

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>

#include "host/app/ui/qt_main_loop.hpp"
#include "platform/gnome/bus_connection.hpp"
#include "platform/runtime/session_bus_address.hpp"
#include "platform/x11/tray_host_watch.hpp"

namespace tavlo::ui {
namespace {

// QApplication keeps references to these for its whole life.
int applicationArgc = 1;
char applicationName[] = "tavlo-host";
char* applicationArgv[] = {applicationName, nullptr};

// The folders Qt looks for platform plugins in.
QStringList platformPluginFolders() {
  QStringList folders;
  const QString explicitFolder = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
  if (!explicitFolder.isEmpty()) folders.push_back(explicitFolder);
  for (const QString& path : QCoreApplication::libraryPaths()) folders.push_back(path + QStringLiteral("/platforms"));
  return folders;
}

// Whether a platform plugin serves `name` (read from the plugins' metadata, none of them loaded).
bool platformPluginFor(const QString& name) {
  for (const QString& folder : platformPluginFolders()) {
    for (const QString& file : QDir(folder).entryList(QDir::Files)) {
      const QJsonObject meta = QPluginLoader(folder + QLatin1Char('/') + file).metaData();
      if (!meta.value(QStringLiteral("IID")).toString().contains(QStringLiteral("QPlatformIntegrationFactoryInterface"))) {
        continue;
      }
      const QJsonArray keys = meta.value(QStringLiteral("MetaData")).toObject().value(QStringLiteral("Keys")).toArray();
      for (const auto& key : keys) {
        if (key.toString().compare(name, Qt::CaseInsensitive) == 0) return true;
      }
    }
  }
  return false;
}

// GNOME's shell shows no tray of the X kind; it shows status icons (StatusNotifierItem) only with the
// AppIndicator extension, which registers a host with the watcher. Whether one is registered, or nothing
// when the session bus cannot say.
std::optional<bool> statusNotifierHostRegistered() {
  if (!sessionBusNamed()) return std::nullopt;
  auto bus = BusConnection::openSession();
  if (!bus) return std::nullopt;
  std::string error;
  auto registered = bus->property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                  "org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered", &error);
  // No watcher on the bus at all: nobody shows status icons.
  return registered ? registered->asBool() : false;
}

bool onGnome() {
  const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
  return desktop.split(QLatin1Char(':')).contains(QStringLiteral("GNOME"), Qt::CaseInsensitive);
}

}  // namespace

std::optional<std::string> TrayRuntime::platformMissing() {
  // "name:options", or several names separated by ';' of which Qt takes the first that loads.
  QString wanted = qEnvironmentVariable("QT_QPA_PLATFORM");
  if (wanted.isEmpty()) wanted = QStringLiteral("xcb");
  for (const QString& entry : wanted.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    if (platformPluginFor(entry.section(QLatin1Char(':'), 0, 0))) return std::nullopt;
  }
  return "no Qt platform plugin for \"" + wanted.toStdString() + "\"";
}

void TrayRuntime::watchTrayHost(const std::string& display, LogSink log) {
  std::weak_ptr<bool> alive = alive_;
  auto onOwner = [this, alive, log](bool present) {
    // From the watch's thread to the main executor, where the icons live.
    main_.post([this, alive, log, present] {
      if (alive.expired() || trayHostPresent_ == present) return;
      const bool first = !trayHostPresent_.has_value();
      trayHostPresent_ = present;
      if (present) {
        // A tray host there from the start took the icons when they were shown; a new one must be offered
        // them (re-offering replaces the icon's window, so never without need).
        if (first) return;
        if (app_) app_->offerIcons();
        log("🪟 zasobnik pojawił się na pulpicie — ikona hosta jest w nim");
      } else {
        log(first ? "🪟 brak zasobnika na pulpicie — ikona pojawi się, gdy panel z zasobnikiem wystartuje"
                  : "🪟 zasobnik zniknął z pulpitu — ikona wróci, gdy panel wystartuje ponownie");
      }
    });
  };
  auto onUnavailable = [this, alive, log](const std::string& reason) {
    main_.post([alive, log, reason] {
      if (!alive.expired()) log("🪟 nie śledzę zasobnika (" + reason + ") — ikona tylko w zasobniku, który już jest");
    });
  };
  trayHostWatch_ = std::make_unique<TrayHostWatch>(display, std::move(onOwner), std::move(onUnavailable));
  if (onGnome()) {
    notifierCheck_ = std::thread([this, alive, log] {
      if (statusNotifierHostRegistered() != false) return;
      main_.post([alive, log] {
        if (!alive.expired()) {
          log("🪟 GNOME nie pokazuje ikon w zasobniku bez rozszerzenia AppIndicator "
              "(pakiet gnome-shell-extension-appindicator) — host działa, ale bez ikony i menu");
        }
      });
    });
  }
}

TrayRuntime::TrayRuntime(MainExecutor& main)
    : main_(main), application_(std::make_unique<QApplication>(applicationArgc, applicationArgv)),
      loop_(std::make_unique<QtMainLoop>(main)) {
  // The tray icon, not a window, keeps the program alive.
  QApplication::setQuitOnLastWindowClosed(false);
}

TrayRuntime::~TrayRuntime() {
  // The watch's thread ends first; its posts still queued find the runtime gone.
  trayHostWatch_.reset();
  if (notifierCheck_.joinable()) notifierCheck_.join();
  alive_.reset();
  app_.reset();
  loop_.reset();
}

void TrayRuntime::startApp(HostController& controller, TrayHooks hooks) {
  auto quit = std::move(hooks.quit);
  hooks.quit = [this, quit] {
    quit();
    if (auto status = main_.quitStatus()) QCoreApplication::exit(*status);
  };
  app_ = std::make_unique<TrayApp>(controller, std::move(hooks));
  app_->start();
}

int TrayRuntime::run() { return loop_->run(); }

}  // namespace tavlo::ui
