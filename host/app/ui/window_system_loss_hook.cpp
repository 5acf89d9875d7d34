#include "host/app/ui/window_system_loss_hook.hpp"

#include <QtGlobal>
#include <QString>

#include <utility>

namespace tavlo::ui {
namespace {

// One hook at a time; the message handler is process-wide.
std::function<void()>* armedHook = nullptr;
QtMessageHandler previousHandler = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (previousHandler) previousHandler(type, context, message);
  if (type == QtWarningMsg && armedHook && message.startsWith(QLatin1String("The X11 connection broke"))) {
    (*armedHook)();
  }
}

}  // namespace

WindowSystemLossHook::WindowSystemLossHook(std::function<void()> onLoss) {
  armedHook = new std::function<void()>(std::move(onLoss));
  previousHandler = qInstallMessageHandler(handleMessage);
}

WindowSystemLossHook::~WindowSystemLossHook() {
  qInstallMessageHandler(previousHandler);
  previousHandler = nullptr;
  delete std::exchange(armedHook, nullptr);
}

}  // namespace tavlo::ui
