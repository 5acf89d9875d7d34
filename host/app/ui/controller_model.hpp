#pragma once
// The controller's published properties as Qt signals: one signal per property, sent only when the
// value really changed (the controller publishes every write, also of an equal value). Lives on the
// main thread, where the controller publishes, so the views read the controller directly on a signal.
#include <memory>
#include <vector>

#include <QObject>

#include "host/controller/host_controller.hpp"

namespace tavlo::ui {

class ControllerModel : public QObject {
  Q_OBJECT

 public:
  explicit ControllerModel(HostController& controller, QObject* parent = nullptr);
  ~ControllerModel() override;

  HostController& controller() const { return controller_; }

 Q_SIGNALS:
  void clientConnectedChanged();
  void clientPlatformChanged();
  void clientNameChanged();
  void scaleChanged();
  void scaleHudValueChanged();
  void inputBlockedChanged();
  void diagChanged();
  void diagHistoryChanged();
  void lastSwitchInfoChanged();
  void clientForcePathChanged();
  void reachabilityChanged();  // paths allowed, NAT methods, public endpoint, mapping
  void standbyChanged();
  void updateStatusChanged();

 private:
  template <class T, class Signal>
  void follow(Published<T>& property, Signal signal);

  HostController& controller_;
  std::vector<std::function<void()>> unobservers_;
};

}  // namespace tavlo::ui
