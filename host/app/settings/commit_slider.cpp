#include "host/app/settings/commit_slider.hpp"

#include <QHBoxLayout>
#include <QLabel>

namespace tavlo {

namespace {

QLabel* caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.8);
  label->setFont(font);
  return label;
}

}  // namespace

CommitSlider::CommitSlider(const QString& accessibleName, int minimum, int maximum, const QString& minimumLabel,
                           const QString& maximumLabel, QWidget* parent)
    : QWidget(parent), slider_(new QSlider(Qt::Horizontal, this)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  slider_->setRange(minimum, maximum);
  slider_->setSingleStep(1);
  slider_->setPageStep(1);
  slider_->setAccessibleName(accessibleName);
  row->addWidget(caption(minimumLabel, this));
  row->addWidget(slider_, 1);
  row->addWidget(caption(maximumLabel, this));
  connect(slider_, &QSlider::valueChanged, this, [this](int position) { moved(position); });
  connect(slider_, &QSlider::sliderReleased, this, [this] {
    if (onCommit) onCommit(slider_->value());
  });
}

void CommitSlider::showPosition(int position) {
  if (slider_->isSliderDown()) return;
  showing_ = true;
  slider_->setValue(position);
  showing_ = false;
}

void CommitSlider::hideEvent(QHideEvent* event) {
  if (slider_->isSliderDown()) slider_->setSliderDown(false);  // releases: commits
  QWidget::hideEvent(event);
}

void CommitSlider::moved(int position) {
  if (showing_) return;
  if (onMove) onMove(position);
  if (!slider_->isSliderDown() && onCommit) onCommit(position);
}

}  // namespace tavlo
