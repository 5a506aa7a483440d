#include "app/main_window.h"
#include "app/shell.h"


#include "app/info_panels.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "finder/finder.h"
#include "platform/frontend.h"
#include "recover/copy.h"
#include "recover/verify.h"
#include "res/ids.h"
#include "res/resources.h"
#include "savescan/save_scan.h"
#include "scan/display.h"
#include "scan/logical_scan.h"
#include "scan/records.h"
#include "scan/tree.h"
#include "utils/rec_dialogs.h"
#include "volume/logdrive.h"
#include "utils/clone.h"
#include "utils/wipe.h"
#include "volume/physcan.h"

namespace {

std::vector<std::string> g_startup_images;

bool UtilityAllowed(const AppContext& ctx) { return ctx.scan_running == 0 && ctx.finder_copy_running == 0; }

void OnCommand(AppContext& ctx, Dialog* dlg, int id) {
  switch (id) {
    case IDM_SCAN_PHYSICAL:
      ScanPhysicalDrive(ctx);
      break;
    case IDM_FAST_LOGICAL:
      FastLogicalScan(ctx);
      break;
    case IDM_SLOW_LOGICAL:
      SlowLogicalScan(ctx);
      break;
    case IDM_COPY_DIRS:
      CopyMarkedFilesCommand(ctx, true);
      break;
    case IDM_COPY_FLAT:
      CopyMarkedFilesCommand(ctx, false);
      break;
    case IDM_VERIFY:
      VerifySelectedFiles(ctx);
      break;
    case IDM_TERMINATE_SCAN:
      break;  // the running operation finds it through CheckTerminate
    case IDM_SAVE_SCAN:
      SaveCurrentScan(ctx);
      break;
    case IDM_LOAD_SCAN:
      LoadScan(ctx);
      break;
    case IDM_EXIT:
      ExitApp(ctx, 0);
      break;
    case IDM_CLONE:
      if (UtilityAllowed(ctx)) CloneDrivesCommand(ctx);
      break;
    case IDM_WIPE:
      if (UtilityAllowed(ctx)) WipeDriveCommand(ctx);
      break;
    case IDM_BUILD_PARTREC:
      if (UtilityAllowed(ctx)) BuildPartitionRecordCmd(ctx);
      break;
    case IDM_BUILD_BOOTREC:
      if (UtilityAllowed(ctx)) BuildBootRecordCmd(ctx);
      break;
    case IDM_FIND_FILES:
      if (UtilityAllowed(ctx)) OpenFileFinder(ctx);
      break;
    case IDM_ADD_DATA_STREAM:
      AddFileToDataStream(ctx);
      break;
    case IDM_HELP_CONTENT:
      fe_ShowHelp(ctx.main_dlg, kHelpPage, kHelpFinderSection);
      break;
    case IDM_ABOUT:
      ShowAboutBox(ctx);
      break;
    case IDM_CLOSE_MAIN:
      EndDialog(dlg, IDM_CLOSE_MAIN);
      break;
    default:
      break;  // ids 1 and 2 (Enter, Escape) and anything else: nothing
  }
}

// A click on a drive list that reaches a running scan through its pump
// (queued before the lists were disabled) must not switch drives under it:
// the scan would go on filling a tree that the switch frees. The rows shown
// get their selection back.
bool DriveClickDuringScan(AppContext& ctx, int control) {
  if (ctx.scan_running == 0 && ctx.finder_copy_running == 0) return false;
  if (control == IDC_PHY_LIST && ctx.sel_phy_row >= 0)
    ListView_SetItemState(ctx.phy_list, ctx.sel_phy_row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  if (control == IDC_LOG_LIST) {
    if (ctx.sel_log_row >= 0 && ctx.sel_log_row < ListView_GetItemCount(ctx.log_list))
      ListView_SetItemState(ctx.log_list, ctx.sel_log_row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  }
  return true;
}

// The colours of the main window's lists and trees, asked by the front end
// before painting; answering never changes state, also during a scan.
void OnCustomDraw(const Msg& msg) {
  CustomDraw& cd = *msg.draw;
  switch (static_cast<int>(msg.id)) {
    case IDC_PHY_LIST:
    case IDC_LOG_LIST:
      cd.result = DrawDriveListItem(cd);
      break;
    case IDC_FILE_LIST:
      cd.result = DrawFileListItem(cd);
      break;
    case IDC_INFO_TREE:
      cd.result = DrawInfoTreeItem(cd);
      break;
    default:
      break;
  }
}

void OnNotify(AppContext& ctx, const Msg& msg) {
  const int control = static_cast<int>(msg.id);
  if (msg.code == NM_CUSTOMDRAW) {
    if (msg.draw) OnCustomDraw(msg);
    return;
  }
  if ((control == IDC_PHY_LIST || control == IDC_LOG_LIST) && DriveClickDuringScan(ctx, control)) return;
  switch (control) {
    case IDC_DIR_TREE:
      if (msg.code == NM_CLICK) DirTreeClick(ctx, msg.hit);
      break;
    case IDC_FILE_LIST:
      if (msg.code == NM_CLICK) FileListClick(ctx, msg.hit);
      break;
    case IDC_PHY_LIST:
      if (msg.code == NM_CLICK) {
        SelectPhysicalDrive(ctx, msg.hit.row);
      } else if (msg.code == NM_DBLCLK) {
        ShowPhysicalDriveInfo(ctx);
        OnCommand(ctx, ctx.main_dlg, IDM_SCAN_PHYSICAL);
      }
      break;
    case IDC_LOG_LIST:
      if (msg.code == NM_CLICK)
        SelectLogicalDrive(ctx, msg.hit.row);
      else if (msg.code == NM_DBLCLK)
        OnCommand(ctx, ctx.main_dlg, IDM_FAST_LOGICAL);
      break;
    default:
      break;
  }
}

}  // namespace

void SetStartupImages(const std::vector<std::string>& image_paths) { g_startup_images = image_paths; }

std::intptr_t MainDlgProc(Dialog* dlg, const Msg& msg) {
  AppContext& ctx = App();
  switch (msg.kind) {
    case MsgKind::InitDialog:
      ctx.main_dlg = dlg;
      if (!InitMainDlg(ctx)) {
        EndDialog(dlg, IDM_CLOSE_MAIN);
        return 1;
      }
      return 1;
    case MsgKind::Command:
      OnCommand(ctx, dlg, static_cast<int>(msg.id & 0xFFFF));
      return 1;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) == SC_CLOSE) {
        ExitApp(ctx, 0);
        return 1;
      }
      return 0;
    case MsgKind::Notify:
      OnNotify(ctx, msg);
      return 1;
    case MsgKind::Close:
      return 0;  // a dialog's close becomes its cancel command, which has no entry
  }
  return 0;
}

int InitMainDlg(AppContext& ctx) {
  Dialog* dlg = ctx.main_dlg;
  ctx.phy_list = GetListView(dlg, IDC_PHY_LIST);
  ctx.log_list = GetListView(dlg, IDC_LOG_LIST);
  ctx.file_list = GetListView(dlg, IDC_FILE_LIST);
  ctx.progress_bar = GetProgressBar(dlg, IDC_PROGRESS);
  ctx.progress_bar2 = GetProgressBar(dlg, IDC_PROGRESS2);
  ctx.dir_tree = GetTreeView(dlg, IDC_DIR_TREE);
  ctx.info_tree = GetTreeView(dlg, IDC_INFO_TREE);

  InsertListColumns(ctx.file_list, kFileListColumns);
  InsertListColumns(ctx.phy_list, kPhyListColumns);
  InsertListColumns(ctx.log_list, kLogListColumns);

  for (int id : {IDC_M_BYTES, IDC_M_FILES, IDC_T_DIRS, IDC_T_FILES, IDC_RD_ERR}) SetStatusField(ctx, id, "0");
  SetStatusField(ctx, IDC_T_REM, "00:00:00");
  SetStatusField(ctx, IDC_STATUS, "Idle...");

  ListView_SetExtendedStyle(ctx.phy_list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  ListView_SetExtendedStyle(ctx.log_list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  ListView_SetExtendedStyle(ctx.file_list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES);

  ctx.image_list = ImageList_Create(16, 16);
  if (!ctx.image_list) {
    fe_MessageBox(dlg, "Could not build Image List", kProductTitle, MB_OK);
    return 0;
  }
  for (int bitmap : kImageListBitmaps) ImageList_Add(ctx.image_list, bitmap);
  ListView_SetImageList(ctx.file_list, ctx.image_list);
  ListView_SetImageList(ctx.phy_list, ctx.image_list);
  ListView_SetImageList(ctx.log_list, ctx.image_list);
  TreeView_SetImageList(ctx.dir_tree, ctx.image_list);

  EnumPhyDrives(ctx);
  // Image files named on the command line join the drives, in order, as if
  // added from the menu; before the first row is selected, so that with no
  // drive of its own the machine shows the first image's details.
  for (const std::string& path : g_startup_images) AddImageFile(ctx, path);
  g_startup_images.clear();

  ctx.search_lba = 0;
  ctx.search_total = 0;
  ListView_SetItemState(ctx.phy_list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ctx.sel_phy_row = 0;

  CreateInfoRoots(ctx);
  ShowPhysicalDriveInfo(ctx);

  ctx.pending_file_count = 0;
  ctx.pending_file_head = nullptr;
  ctx.pending_file_tail = nullptr;

  SetWindowTitle(dlg, kProductTitle);
  return 1;
}

int ExitApp(AppContext& ctx, std::intptr_t exit_code) {
  if (ctx.scan_running == 1) return 0;
  CloseAllDrives(ctx);
  EndDialog(ctx.main_dlg, exit_code);
  return 1;
}

std::intptr_t AboutDlgProc(Dialog* dlg, const Msg& msg) {
  AppContext& ctx = App();
  switch (msg.kind) {
    case MsgKind::InitDialog:
      ctx.about_dlg = dlg;
      SetWindowTitle(dlg, kProductTitle);
      return 1;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) == SC_CLOSE) {
        EndDialog(dlg, 0);
        return 1;
      }
      return 0;
    case MsgKind::Command:
      if ((msg.id & 0xFFFF) == IDC_DLG_CLOSE) {
        EndDialog(dlg, 0);
        return 1;
      }
      return 0;
    default:
      return 0;
  }
}

int ShowAboutBox(AppContext& ctx) {
  RunDialog(IDD_ABOUT, AboutDlgProc, ctx.main_dlg);
  ctx.about_dlg = nullptr;
  return 1;
}

