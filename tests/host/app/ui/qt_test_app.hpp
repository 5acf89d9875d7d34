#pragma once
// One QApplication for the ui tests, on Qt's offscreen platform (no display needed).
#include <cstdlib>

#include <QApplication>

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

}  // namespace tavlo::ui
