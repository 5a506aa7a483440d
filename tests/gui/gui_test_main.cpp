// The GUI test program: the offscreen platform unless a display is chosen,
// one QApplication for every test.
#include <gtest/gtest.h>

#include <QApplication>

#include "gui/frontend_qt.h"

int main(int argc, char** argv) {
  // Test discovery runs this binary at build time, outside ctest's environment.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  gui::InitApplication();
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  gui::ShutDown();
  return result;
}
