#include <cstdio>

#include "app/context.h"
#include "app/main_window.h"
#include "app/status.h"
#include "scan/tree.h"
#include "volume/logdrive.h"
#include "cli/cli.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "platform/headless/headless.h"
#include "res/ids.h"

namespace cli {
namespace {

int g_error_boxes = 0;

void EchoBox(const headless::BoxRecord& box) {
  std::fprintf(stderr, "%s: %s\n", box.title.c_str(), box.text.c_str());
  if ((box.icon & MB_ICONMASK) == MB_ICONSTOP) ++g_error_boxes;
}

void Drain() {
  while (DispatchNext()) {
  }
}

}  // namespace

int ErrorBoxes() { return g_error_boxes; }

Session::Session(const std::vector<std::string>& images) {
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

Session::~Session() {
  ResetScanTree(App());
  ClearLogicalDriveList(App());
  CloseAllDrives(App());
  main.reset();
  FreeAllLogDrives();
  ImageList_Destroy(App().image_list);
  App().image_list = nullptr;
}

void Session::Command(int id) {
  PostCommand(main.get(), static_cast<std::uint32_t>(id));
  Drain();
}

void Session::ClickRow(int list_id, int row) {
  ClickListRow(main.get(), list_id, row, HitPart::Label);
  Drain();
}

}  // namespace cli
