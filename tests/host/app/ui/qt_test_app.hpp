#pragma once
// One QApplication for the ui tests, on Qt's offscreen platform (no display needed), and the panels'
// fades run to their end without waiting.
#include <cstdlib>

#include <QApplication>
#include <QPropertyAnimation>
#include <QWidget>

#include <gtest/gtest.h>

namespace tavlo::ui {

inline QApplication& qtTestApp() {
  static int argc = 1;
  static char name[] = "tavlo_tests_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs a floating panel's fade to its end at once (no waiting on the clock).
inline void finishFade(QWidget& panel) {
  auto* fade = panel.findChild<QPropertyAnimation*>();
  ASSERT_NE(fade, nullptr);
  if (fade->state() == QAbstractAnimation::Running) fade->setCurrentTime(fade->duration());
}

}  // namespace tavlo::ui
