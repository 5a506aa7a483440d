#include "app/session.h"

#include "app/context.h"
#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "scan/records.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

MainSession::MainSession(const std::vector<std::string>& images) {
  ResetAppContext();
  ClearQueue();
  SetStartupImages(images);
  dlg_ = CreateDialogModel(IDD_MAIN, MainDlgProc, nullptr);
}

MainSession::~MainSession() {
  AppContext& ctx = App();
  // Rows and tree items point at the records: they go first.
  ResetScanTree(ctx);
  // The last NTFS scan's $MFT record.
  ReleaseRecord(ctx.mft_inode);
  ctx.mft_inode = nullptr;
  ClearLogicalDriveList(ctx);
  if (dlg_ && dlg_->frontend) fe_DialogDestroyed(dlg_.get());
  CloseAllDrives(ctx);
  dlg_.reset();
  // The window's controls went with it: nothing may reach them through the
  // context afterwards (closing the drives again walked the freed list).
  ctx.main_dlg = nullptr;
  ctx.dir_tree = ctx.info_tree = nullptr;
  ctx.file_list = ctx.phy_list = ctx.log_list = nullptr;
  ctx.progress_bar = ctx.progress_bar2 = nullptr;
  ctx.info_phy_item = ctx.info_log_item = nullptr;
  FreeAllLogDrives();
  ImageList_Destroy(ctx.image_list);
  ctx.image_list = nullptr;
  ClearQueue();
}

void MainSession::Open(bool show) {
  if (!dlg_) return;
  if (show) fe_DialogCreated(dlg_.get());
  Msg init;
  init.dlg = dlg_.get();
  init.kind = MsgKind::InitDialog;
  SendMsg(init);
}

std::intptr_t MainSession::Run() { return dlg_ ? RunDialogModel(dlg_.get()) : -1; }

std::intptr_t RetrovaMain(const std::vector<std::string>& image_paths) {
  MainSession session(image_paths);
  return session.Run();
}
