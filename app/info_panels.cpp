#include "app/info_panels.h"

#include <cinttypes>
#include <cstdio>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace {

constexpr const char* kPhysicalRoot = "Physical Data        ";
constexpr const char* kLogicalRoot = "Logical Data        ";

void DeleteChildren(TreeView* tv, TreeItem* parent) {
  if (!parent) return;
  while (TreeItem* child = TreeView_GetChild(parent)) TreeView_DeleteItem(tv, child);
}

void Append(TreeView* tv, TreeItem* parent, const std::string& text) {
  TreeView_InsertItem(tv, parent, TreeInsert::Last, text, -1, -1, nullptr);
}

std::string Printf(const char* fmt, std::uint64_t v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

}  // namespace

void CreateInfoRoots(AppContext& ctx) {
  ctx.info_phy_item = TreeView_InsertItem(ctx.info_tree, nullptr, TreeInsert::Last, kPhysicalRoot, -1, -1, nullptr);
  ctx.info_log_item = TreeView_InsertItem(ctx.info_tree, nullptr, TreeInsert::Last, kLogicalRoot, -1, -1, nullptr);
}

void ShowPhysicalDriveInfo(AppContext& ctx) {
  TreeView* tv = ctx.info_tree;
  if (!tv || !ctx.info_phy_item) return;
  DeleteChildren(tv, ctx.info_phy_item);
  TreeItem* geometry = TreeView_InsertItem(tv, ctx.info_phy_item, TreeInsert::Last, "Geometry", -1, -1, nullptr);
  TreeItem* identity = TreeView_InsertItem(tv, ctx.info_phy_item, TreeInsert::Last, "Identity", -1, -1, nullptr);
  auto* d = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  if (d) {
    Append(tv, geometry, Printf("Heads: %" PRIu64, d->heads));
    Append(tv, geometry, Printf("Sectors: %" PRIu64, d->sectors_per_track));
    Append(tv, geometry, Printf("Cylinders: %" PRIu64, d->cylinders));
    char size[64];
    std::snprintf(size, sizeof size, "Size: %.2f GB", static_cast<double>(d->total_sectors) / 2097152.0);
    Append(tv, geometry, size);
    Append(tv, identity, d->model);
    Append(tv, identity, d->firmware);
    Append(tv, identity, d->serial);
    // On Linux a model string does not say which /dev node or file a row is.
    if (!d->device_path.empty()) Append(tv, identity, d->device_path);
    ctx.sel_phy_row = GetSelectedRow(ctx.phy_list);
  } else {
    Append(tv, geometry, "Heads 0");
    Append(tv, geometry, "Sectors 0");
    Append(tv, geometry, "Cylinders 0");
    for (int i = 0; i < 3; ++i) Append(tv, identity, "UNKNOWN");
    ctx.sel_phy_row = -1;
  }
  TreeView_Expand(tv, ctx.info_phy_item, true);
  TreeView_Expand(tv, geometry, true);
  TreeView_Expand(tv, identity, true);
}

void ShowLogicalDriveInfo(AppContext& ctx) {
  TreeView* tv = ctx.info_tree;
  DeleteChildren(tv, ctx.info_log_item);
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!vol || !ctx.info_log_item) return;
  Append(tv, ctx.info_log_item, std::string("FS: ") + vol->fs_name);
  const std::uint64_t mb = vol->total_sectors > 0 ? static_cast<std::uint64_t>(vol->total_sectors) / 2048 : 0;
  Append(tv, ctx.info_log_item, "Size: " + FormatThousands(mb) + " MB");
  Append(tv, ctx.info_log_item, Printf("SPC: %" PRIu64, vol->sectors_per_cluster));
  TreeView_Expand(tv, ctx.info_log_item, true);
  SetStatusCount(ctx, IDC_T_DIRS, vol->dirs_found > 0 ? static_cast<std::uint64_t>(vol->dirs_found) : 0);
  SetStatusCount(ctx, IDC_T_FILES, vol->files_found > 0 ? static_cast<std::uint64_t>(vol->files_found) : 0);
  ctx.sel_log_row = GetSelectedRow(ctx.log_list);
}

void SelectPhysicalDrive(AppContext& ctx, int row) {
  if (ListView_GetItemCount(ctx.log_list) != 0) {
    if (row == ctx.sel_phy_row) return;
    const int answer = fe_MessageBox(ctx.main_dlg, "You will lose current PHYSICAL scan. Do you wish to continue.",
                                     kProductTitle, MB_YESNO);
    if (answer != IDYES) {
      ListView_SetItemState(ctx.phy_list, ctx.sel_phy_row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
      return;
    }
    ClearLogicalDriveList(ctx);
    ResetScanTree(ctx);
    DeleteChildren(ctx.info_tree, ctx.info_log_item);
    for (int id : {IDC_M_BYTES, IDC_M_FILES, IDC_T_DIRS, IDC_T_FILES, IDC_RD_ERR}) SetStatusField(ctx, id, "0");
    SetStatusField(ctx, IDC_T_REM, "00:00:00");
    SetStatusField(ctx, IDC_STATUS, "Idle...");
  }
  ShowPhysicalDriveInfo(ctx);
}

void SelectLogicalDrive(AppContext& ctx, int row) {
  if (TreeView_GetCount(ctx.dir_tree) != 0) {
    if (row == ctx.sel_log_row) return;
    const int answer = fe_MessageBox(ctx.main_dlg, "You will lose current LOGICAL scan. Do you wish to continue.",
                                     kProductTitle, MB_YESNO);
    if (answer != IDYES) {
      ListView_SetItemState(ctx.log_list, ctx.sel_log_row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
      return;
    }
    auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
    if (!vol) return;
    ResetScanTree(ctx);
    vol->files_found = 0;
    vol->dirs_found = 0;
    if (ctx.scanned_logdrive) {
      ctx.scanned_logdrive->files_found = 0;
      ctx.scanned_logdrive->dirs_found = 0;
    }
    SetStatusField(ctx, IDC_M_BYTES, "0");
    SetStatusField(ctx, IDC_M_FILES, "0");
  }
  ShowLogicalDriveInfo(ctx);
}
