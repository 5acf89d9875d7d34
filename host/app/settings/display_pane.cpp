// The Display pane: the remote desktop's scale, unless a Mac client sets its own.
#include <algorithm>
#include <cmath>

#include "host/app/settings/settings_panes.hpp"
#include "host/app/settings/settings_values.hpp"

namespace tavlo {

namespace {

double scaleAt(int position) { return 1.0 + position * scaleSliderStep; }
int positionOf(double scale) {
  if (!std::isfinite(scale)) return 0;
  return static_cast<int>(std::lround(std::clamp((scale - 1.0) / scaleSliderStep, 0.0, 1.0 * scaleSliderPositions)));
}

}  // namespace

DisplayPane::DisplayPane(HostController& host, QWidget* parent) : QWidget(parent), host_(host) {
  auto* layout = new QVBoxLayout(this);
  section = new SettingsSection(tr("Remote desktop resolution"),
                                tr("Pixel Perfect (HiDPI 1:1) gives the sharpest image — the stream runs at the "
                                   "client window's resolution. Lower values reduce bandwidth and encoder load."),
                                this);
  layout->addWidget(section);
  layout->addStretch(1);

  macRow = new QWidget(section);
  auto* macLayout = new QVBoxLayout(macRow);
  macLayout->setContentsMargins(0, 0, 0, 0);
  addValueRow(macLayout, tr("Scaling"), false)->setText(tr("controlled by the client Mac"));
  section->content()->addWidget(macRow);

  scaleControls = new QWidget(section);
  auto* controls = new QVBoxLayout(scaleControls);
  controls->setContentsMargins(0, 0, 0, 0);
  controls->setSpacing(6);
  scaleValue = addValueRow(controls, tr("Scaling"));
  scaleSlider = new CommitSlider(tr("Scaling"), 0, scaleSliderPositions, tr("HiDPI 1:1"), tr("More space"),
                                 scaleControls);
  controls->addWidget(scaleSlider);
  section->content()->addWidget(scaleControls);

  // The knob moves the published scale at once, so the label follows it; the release commits through
  // the controller. Its "no change" test compares with the published value, which the drag already set,
  // so the value from before the drag is put back first.
  connect(scaleSlider->slider(), &QSlider::sliderPressed, this, [this] { scaleAtPress_ = host_.scale.get(); });
  scaleSlider->onMove = [this](int position) {
    if (!scaleSlider->slider()->isSliderDown()) scaleAtPress_ = host_.scale.get();
    host_.scale.set(scaleAt(position));
  };
  scaleSlider->onCommit = [this](int position) {
    host_.scale.set(scaleAtPress_);
    host_.setScale(scaleAt(position));
    scaleAtPress_ = host_.scale.get();
    refresh();
  };
  observers_.follow(host_.scale, [this] { refresh(); });
  observers_.follow(host_.clientPlatform, [this] { refresh(); });
  refresh();
}

void DisplayPane::refresh() {
  const bool mac = host_.clientPlatform.get() == vela::Platform::mac;
  macRow->setVisible(mac);
  scaleControls->setVisible(!mac);
  scaleValue->setText(scaleLabel(host_.scale.get()));
  scaleSlider->showPosition(positionOf(host_.scale.get()));
}

}  // namespace tavlo
