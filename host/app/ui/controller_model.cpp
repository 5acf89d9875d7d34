#include "host/app/ui/controller_model.hpp"

namespace tavlo::ui {

template <class T, class Signal>
void ControllerModel::follow(Published<T>& property, Signal signal) {
  auto last = std::make_shared<T>(property.get());
  auto id = property.observe([this, last, signal](const T& value) {
    if (value == *last) return;
    *last = value;
    Q_EMIT(this->*signal)();
  });
  unobservers_.push_back([&property, id] { property.unobserve(id); });
}

ControllerModel::ControllerModel(HostController& c, QObject* parent) : QObject(parent), controller_(c) {
  follow(c.clientConnected, &ControllerModel::clientConnectedChanged);
  follow(c.clientPlatform, &ControllerModel::clientPlatformChanged);
  follow(c.clientName, &ControllerModel::clientNameChanged);
  follow(c.scale, &ControllerModel::scaleChanged);
  follow(c.scaleHudValue, &ControllerModel::scaleHudValueChanged);
  follow(c.inputBlocked, &ControllerModel::inputBlockedChanged);
  follow(c.diag, &ControllerModel::diagChanged);
  follow(c.diagHistory, &ControllerModel::diagHistoryChanged);
  follow(c.lastSwitchInfo, &ControllerModel::lastSwitchInfoChanged);
  follow(c.clientForcePath, &ControllerModel::clientForcePathChanged);
  follow(c.allowNAT, &ControllerModel::reachabilityChanged);
  follow(c.allowLAN, &ControllerModel::reachabilityChanged);
  follow(c.allowVPN, &ControllerModel::reachabilityChanged);
  follow(c.allowRelay, &ControllerModel::reachabilityChanged);
  follow(c.useNATPMP, &ControllerModel::reachabilityChanged);
  follow(c.useUPnP, &ControllerModel::reachabilityChanged);
  follow(c.publicEndpoint, &ControllerModel::reachabilityChanged);
  follow(c.mappedVia, &ControllerModel::reachabilityChanged);
  follow(c.standby, &ControllerModel::standbyChanged);
  follow(c.updateStatus, &ControllerModel::updateStatusChanged);
}

ControllerModel::~ControllerModel() {
  for (auto& unobserve : unobservers_) unobserve();
}

}  // namespace tavlo::ui
