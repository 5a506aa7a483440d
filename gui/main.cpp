// retrova: the desktop program. Arguments are image files to add as drives.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/session.h"
#include "gui/frontend_qt.h"
#include "res/resources.h"

namespace {

constexpr const char* kUsage =
    "Usage: retrova [QT-OPTION...] [--] [IMAGE...]\n"
    "Retrova, the data-recovery workstation: finds volumes on drives and disk images, scans FAT32 and\n"
    "NTFS volumes, and copies marked files out. IMAGE files are added as drives at start-up, in order.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the program's name and version and exit\n"
    "  --         every argument after it is an IMAGE, also one that starts with -\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that they work without a display.
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("retrova %s\n", kProductVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  // The GTK file chooser cannot be driven the way the engine asks; Qt's own can.
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("retrova"));
  QApplication::setApplicationVersion(QString::fromLatin1(kProductVersion));
  // QApplication has taken its own options out of argv; the paths stay as the OS gave them.
  std::vector<std::string> images;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    if (!options_end && std::strcmp(argv[i], "--") == 0) {
      options_end = true;
    } else if (!options_end && argv[i][0] == '-') {
      std::fprintf(stderr, "retrova: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    } else {
      images.push_back(argv[i]);
    }
  }
  gui::InitApplication();
  RetrovaMain(images);
  gui::ShutDown();
  return 0;
}
