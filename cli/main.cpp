// retrova-cli: the headless operator. Each verb runs the same commands the
// menus post, with dialog answers taken from its arguments, and prints
// stable tab-separated tables on stdout; messages go to stderr.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/main_window.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "platform/headless/headless.h"
#include "res/ids.h"

namespace {

int g_error_boxes = 0;

void EchoBox(const headless::BoxRecord& box) {
  std::fprintf(stderr, "%s: %s\n", box.title.c_str(), box.text.c_str());
  if ((box.icon & MB_ICONMASK) == MB_ICONSTOP) ++g_error_boxes;
}

void Usage() {
  std::fputs(
      "usage: retrova-cli drives [IMAGE...]\n"
      "  drives   list the physical drives and the given image files as the\n"
      "           physical-drive list shows them: row, Type, Size, path\n",
      stderr);
}

// The main window's models, opened and initialised as at start-up; image
// files are added after the drives, in order.
struct Session {
  std::unique_ptr<Dialog> main;

  explicit Session(const std::vector<std::string>& images) {
    ResetAppContext();
    ClearQueue();
    headless::SetBoxEcho(EchoBox);
    main = CreateDialogModel(IDD_MAIN, MainDlgProc, nullptr);
    Msg init;
    init.dlg = main.get();
    init.kind = MsgKind::InitDialog;
    SendMsg(init);
    for (const std::string& path : images) AddImageFile(App(), path);
  }
  ~Session() { CloseAllDrives(App()); }
};

int CmdDrives(const std::vector<std::string>& images) {
  Session s(images);
  AppContext& ctx = App();
  const int rows = ListView_GetItemCount(ctx.phy_list);
  for (int r = 0; r < rows; ++r) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(ctx.phy_list, r));
    std::printf("%s\t%s\t%s\t%s\n", ListView_GetItemText(ctx.phy_list, r, 0).c_str(),
                ListView_GetItemText(ctx.phy_list, r, 1).c_str(), ListView_GetItemText(ctx.phy_list, r, 2).c_str(),
                d ? d->device_path.c_str() : "");
  }
  return g_error_boxes ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  const std::string verb = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (verb == "drives") return CmdDrives(args);
  if (verb == "-h" || verb == "--help" || verb == "help") {
    Usage();
    return 0;
  }
  std::fprintf(stderr, "retrova-cli: unknown command \"%s\"\n", verb.c_str());
  Usage();
  return 2;
}
