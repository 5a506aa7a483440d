// The fast FAT32 scan: both FATs loaded, the root directory's chain and the
// tree below it walked depth first, deleted entries included.
#include <cstdio>
#include <string>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/dir_walk.h"
#include "fat/fat.h"
#include "fat/fat_scan.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/tree.h"

namespace {

constexpr int kFastBarHigh = 5000;

void ShowStatus(AppContext& ctx, const char* fmt, const std::string& a, const std::string& b = {}) {
  char text[512];
  std::snprintf(text, sizeof text, fmt, a.c_str(), b.c_str());
  SetStatusField(ctx, IDC_STATUS, text);
}

// The last steps of every way out: the tables go, the controls come back.
void FinishReleaseAndEnable(AppContext& ctx, PROGRESS_INFO& progress, LoadedFats& fats) {
  progress.phase = kProgressReset;
  UpdateProgressTimes(ctx, progress);
  fats.Release();
  SetStatusField(ctx, IDC_STATUS, "Idle...");
  ctx.scan_running = 0;
  EnableScanControls(ctx, true);
}

}  // namespace

void FastFatScan(AppContext& ctx) {
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!drive || !vol) return;

  // Prepare.
  ReleasePendingFiles(ctx);
  ReleasePendingDirs(ctx);
  vol->dirs_found = 0;
  vol->files_found = 0;
  ctx.scan_running = 1;
  // Root is counted on the volume being scanned.
  ctx.scanned_logdrive = vol;
  MakeRoot(ctx);
  PROGRESS_INFO progress;
  progress.start_time = GetNowFileTime();
  progress.total = drive->total_sectors;
  progress.phase = kProgressReset;
  UpdateProgressTimes(ctx, progress);
  progress.phase = kProgressRunning;
  for (int id : {IDC_M_BYTES, IDC_M_FILES, IDC_T_DIRS, IDC_T_FILES}) SetStatusField(ctx, id, "0");
  Progress_SetRange32(ctx.progress_bar, 0, kFastBarHigh);
  Progress_SetStep(ctx.progress_bar, 1);
  Progress_SetBarColour(ctx.progress_bar, RGB(255, 0, 0));
  EnableScanControls(ctx, false);

  LoadedFats fats(*vol);
  auto finish_early = [&] { FinishReleaseAndEnable(ctx, progress, fats); };
  if (!fats.Allocate()) return finish_early();
  ShowStatus(ctx, "Loading FAT 1 for %s bytes", std::to_string(vol->fat_bytes));
  fats.Load(ctx, *drive, 1);
  ShowStatus(ctx, "Loading FAT 2 for %s bytes", std::to_string(vol->fat_bytes));
  fats.Load(ctx, *drive, 2);
  ShowStatus(ctx, "Scanning Logical LBA %s on physical %s", FormatThousands(static_cast<std::uint64_t>(vol->start_lba)),
             drive->model);

  INODE_RECD* root = GetItemRecord(ctx, ctx.root_item);
  if (!root) {
    fe_MessageBox(ctx.main_dlg, "Root Inode Record Lost", "** Error **", MB_OK | MB_ICONSTOP);
    return finish_early();
  }

  DirWalker walker(ctx, *drive, *vol, WalkMode::Chain, fats.fat1(), {});
  if (walker.Walk(*root, ctx.root_item, vol->root_cluster, 0) == DirWalker::Result::NoMemory) {
    fe_MessageBox(ctx.main_dlg, "Could not allocate cluster memory", "** Error **", MB_OK | MB_ICONSTOP);
    return finish_early();
  }

  // Finish.
  ctx.scanned_logdrive = vol;
  WriteScanCounters(ctx, *vol);
  Progress_SetPos(ctx.progress_bar, 0);
  ShowSelectedDirFiles(ctx);
  finish_early();
}
