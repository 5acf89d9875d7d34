#include "host/app/settings/settings_form.hpp"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QSignalBlocker>

namespace tavlo {

namespace {

void paint(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

}  // namespace

QFont footnoteFont(QFont font) {
  font.setPointSizeF(font.pointSizeF() * 0.85);
  return font;
}

QColor warningColour() { return QColor(0xff, 0x95, 0x00); }
QColor secondaryColour() { return QColor(0x86, 0x86, 0x8b); }

SettingsSection::SettingsSection(const QString& header, const QString& footer, QWidget* parent) : QWidget(parent) {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 8);
  outer->setSpacing(4);
  header_ = new QLabel(header, this);
  QFont bold = header_->font();
  bold.setBold(true);
  header_->setFont(bold);
  header_->setVisible(!header.isEmpty());
  outer->addWidget(header_);

  auto* box = new QFrame(this);
  box->setFrameShape(QFrame::StyledPanel);
  content_ = new QVBoxLayout(box);
  content_->setSpacing(6);
  outer->addWidget(box);

  footer_ = makeNote(footer, secondaryColour(), this);
  footer_->setFont(footnoteFont(footer_->font()));
  footer_->setVisible(!footer.isEmpty());
  outer->addWidget(footer_);
}

void SettingsSection::setFooter(const QString& footer) {
  footer_->setText(footer);
  footer_->setVisible(!footer.isEmpty());
}

QString SettingsSection::footer() const { return footer_->text(); }
QString SettingsSection::header() const { return header_->text(); }

QLabel* addValueRow(QBoxLayout* layout, const QString& title, bool monospaced, QLabel** titleLabelOut) {
  auto* row = new QHBoxLayout;
  auto* titleLabel = new QLabel(title);
  auto* value = new QLabel;
  if (titleLabelOut) *titleLabelOut = titleLabel;
  if (monospaced) value->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  paint(value, secondaryColour());
  row->addWidget(titleLabel);
  row->addStretch(1);
  row->addWidget(value);
  layout->addLayout(row);
  return value;
}

void showChecked(QCheckBox* toggle, bool on) {
  QSignalBlocker quiet(toggle);
  toggle->setChecked(on);
}

QLabel* makeNote(const QString& text, const QColor& colour, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  paint(label, colour);
  return label;
}

}  // namespace tavlo
