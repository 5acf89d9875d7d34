#include "platform/focus/atspi_focus_source.hpp"

#include "platform/focus/atspi_desktop.hpp"

namespace tavlo {
namespace {

class AtspiSubscription final : public FocusSubscription {
 public:
  AtspiSubscription(std::shared_ptr<AtspiDesktop> desktop, uint64_t id) : desktop_(std::move(desktop)), id_(id) {}
  ~AtspiSubscription() override {
    desktop_->loop().call([this] { desktop_->removeSubscription(id_); });
  }

 private:
  std::shared_ptr<AtspiDesktop> desktop_;
  const uint64_t id_;
};

class AtspiObserver final : public FocusObserver {
 public:
  AtspiObserver(std::shared_ptr<AtspiDesktop> desktop, uint64_t id) : desktop_(std::move(desktop)), id_(id) {}
  ~AtspiObserver() override {
    desktop_->loop().call([this] { desktop_->removeObserver(id_); });
  }
  FocusRegistration addNotification(FocusNotification notification) override {
    return desktop_->loop().call([this, notification] { return desktop_->registerNotification(id_, notification); });
  }
  FocusRegistration watchDestruction(const std::shared_ptr<FocusElement>& element) override {
    const auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
    if (!atspi) return FocusRegistration::failure;
    return desktop_->loop().call([this, key = atspi->key()] { return desktop_->watchDestruction(id_, key); });
  }

 private:
  std::shared_ptr<AtspiDesktop> desktop_;
  const uint64_t id_;
};

}  // namespace

std::unique_ptr<AtspiFocusSource> AtspiFocusSource::create(const std::string& display) {
  return std::unique_ptr<AtspiFocusSource>(new AtspiFocusSource(AtspiDesktop::shared(display)));
}

AtspiFocusSource::~AtspiFocusSource() = default;

bool AtspiFocusSource::isTrusted() {
  return desktop_->loop().call([this] { return desktop_->connect(); });
}

void AtspiFocusSource::setMessagingTimeout(uint64_t timeoutUs) {
  desktop_->loop().call([this, timeoutUs] { desktop_->setTimeout(timeoutUs); });
}

std::unique_ptr<FocusSubscription> AtspiFocusSource::observeWorkspace(WorkspaceCallback callback) {
  const uint64_t id =
      desktop_->loop().call([this, &callback] { return desktop_->addSubscription(std::move(callback)); });
  return std::make_unique<AtspiSubscription>(desktop_, id);
}

std::optional<int32_t> AtspiFocusSource::frontmostApplication() {
  return desktop_->loop().call([this] { return desktop_->frontmost(); });
}

std::unique_ptr<FocusObserver> AtspiFocusSource::createObserver(int32_t pid, FocusObserver::Callback callback) {
  const uint64_t id =
      desktop_->loop().call([this, pid, &callback] { return desktop_->addObserver(pid, std::move(callback)); });
  if (id == 0) return nullptr;
  return std::make_unique<AtspiObserver>(desktop_, id);
}

std::shared_ptr<FocusElement> AtspiFocusSource::focusedElement() {
  return desktop_->loop().call([this] { return desktop_->focused(); });
}

std::shared_ptr<FocusElement> AtspiFocusSource::focusedElementOf(int32_t pid) {
  return desktop_->loop().call([this, pid] { return desktop_->focusedOf(pid); });
}

}  // namespace tavlo
