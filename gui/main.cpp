// retrova: the desktop program. Arguments are image files to add as drives.
#include <QApplication>
#include <string>
#include <vector>

#include "app/session.h"
#include "gui/frontend_qt.h"

int main(int argc, char** argv) {
  // The GTK file chooser cannot be driven the way the engine asks; Qt's own can.
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("retrova"));
  gui::InitApplication();
  std::vector<std::string> images;
  // QApplication has taken its own options out of argv; the paths stay as the OS gave them.
  for (int i = 1; i < argc; ++i) images.push_back(argv[i]);
  RetrovaMain(images);
  gui::ShutDown();
  return 0;
}
