#include "recover/verify.h"

#include <cinttypes>
#include <cstdio>
#include <new>
#include <string>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "platform/frontend.h"
#include "recover/fat_copy.h"
#include "recover/ntfs_units.h"
#include "res/ids.h"
#include "scan/display.h"
#include "volume/logdrive.h"

namespace {

void StepFile(AppContext& ctx) {
  ++ctx.files_done;
  if (ctx.files_done % 100 == 0 && ctx.progress_bar) Progress_StepIt(ctx.progress_bar);
}

void LoadFat(VerifyRun& run, LoadedFats& fats, int which) {
  char line[80];
  std::snprintf(line, sizeof line, "Loading FAT %d for %" PRId64 " bytes", which, run.vol.fat_bytes);
  SetStatusField(run.ctx, IDC_STATUS, line);
  fats.Load(run.ctx, run.drive, which);
}

}  // namespace

bool UsageMap::Allocate(const LOGDRIVE_INFO& vol) {
  // FAT32 numbers its data clusters 2 .. cluster_count + 1, NTFS 0 .. cluster_count - 1.
  const std::uint64_t n = vol.cluster_count > 0 ? static_cast<std::uint64_t>(vol.cluster_count) + 2 : 0;
  try {
    counts_.assign(static_cast<std::size_t>(n), 0);
  } catch (const std::bad_alloc&) {
    counts_ = {};
    return false;
  } catch (const std::length_error&) {
    counts_ = {};
    return false;
  }
  return true;
}

void UsageMap::Add(std::uint64_t cluster) {
  // Saturating: 256 users of one cluster must not count as none.
  if (cluster < counts_.size() && counts_[cluster] < 255) ++counts_[cluster];
}

void VerifyFat32File(VerifyRun& run, FILE_INODE& f, int pass) {
  std::span<const std::uint32_t> fat;
  if (CheckFatChain(run.vol, Fat1Of(run.vol), f))
    fat = Fat1Of(run.vol);
  else if (CheckFatChain(run.vol, Fat2Of(run.vol), f))
    fat = Fat2Of(run.vol);
  else {
    f.verify_result = kVerifyCrossLinked;
    return;
  }
  const std::vector<std::uint32_t> clusters = FatChainClusters(run.vol, fat, f);
  if (pass == 1) {
    for (std::uint32_t c : clusters) run.usage.Add(c);
    return;
  }
  f.verify_result = kVerifyOk;
  for (std::uint32_t c : clusters)
    if (run.usage.Count(c) > 1) {
      f.verify_result = kVerifyCrossLinked;
      return;
    }
}

void VerifyNtfsFile(VerifyRun& run, FILE_INODE& f, int pass) {
  const std::uint64_t total = run.vol.cluster_count > 0 ? static_cast<std::uint64_t>(run.vol.cluster_count) : 0;
  std::uint32_t result = kVerifyOk;
  const bool decoded = VerifyNtfsFileUnits(
      run.ctx, run.drive, run.vol, f, [&](std::uint64_t first, std::uint64_t n) {
        const bool beyond = n > total || first > total - n;
        if (pass == 1) {
          for (std::uint64_t c = first; c < total && c - first < n; ++c) run.usage.Add(c);
          return true;
        }
        if (beyond) {
          result = kVerifyBeyondVolume;
          return false;
        }
        for (std::uint64_t c = first; c - first < n; ++c)
          if (run.usage.Count(c) > 1) {
            result = kVerifyCrossLinked;
            return false;
          }
        return true;
      });
  // An unreadable record leaves the file as it was.
  if (pass == 2 && decoded) f.verify_result = result;
  if (pass == 2 && !decoded && result != kVerifyOk) f.verify_result = result;
}

int VerifyDirectoryFiles(VerifyRun& run, INODE_RECD& dir, int pass) {
  if (dir.file_count == 0) return 1;
  AppContext& ctx = run.ctx;
  FILE_INODE* f = dir.files_head;
  for (std::uint64_t i = 0; i < dir.file_count && f; ++i, f = f->next_in_dir) {
    if (f->mark_state == kMarkMarked && f->data_size != 0) {
      if (ctx.active_fs_type == static_cast<std::int32_t>(kFsFat32))
        VerifyFat32File(run, *f, pass);
      else if (ctx.active_fs_type == static_cast<std::int32_t>(kFsNtfs))
        VerifyNtfsFile(run, *f, pass);
    }
    StepFile(ctx);
  }
  return CheckTerminate(IDM_TERMINATE_SCAN) == 1 ? 0 : 1;
}

int VerifyWalk(VerifyRun& run, TreeItem* first, int pass) {
  // Depth first without recursion: each level keeps the next sibling to visit.
  std::vector<TreeItem*> stack{first};
  while (!stack.empty()) {
    TreeItem* item = stack.back();
    auto* r = item ? static_cast<INODE_RECD*>(item->data) : nullptr;
    if (!r) {
      stack.pop_back();
      continue;
    }
    stack.back() = TreeView_GetNextSibling(item);
    if (TreeView_GetCheckState(item) && VerifyDirectoryFiles(run, *r, pass) == 0) return 0;
    stack.push_back(TreeView_GetChild(item));
  }
  return 1;
}

bool VerifyMarkedFiles(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol) {
  VerifyRun run{ctx, drive, vol, {}};
  if (!run.usage.Allocate(vol)) return false;
  ctx.usage_map = run.usage.data();
  ctx.files_done = 0;
  if (ctx.progress_bar) {
    const std::uint64_t files = vol.files_found > 0 ? static_cast<std::uint64_t>(vol.files_found) : 0;
    Progress_SetRange32(ctx.progress_bar, 0, static_cast<std::int32_t>(std::min<std::uint64_t>(files * 2 / 100, INT32_MAX)));
    Progress_SetStep(ctx.progress_bar, 1);
    Progress_SetPos(ctx.progress_bar, 0);
    Progress_SetBarColour(ctx.progress_bar, RGB(145, 4, 180));
  }
  ctx.active_fs_type = static_cast<std::int32_t>(vol.fs_type);
  bool ok = true;
  TreeItem* first = TreeView_GetRoot(ctx.dir_tree);
  if (vol.fs_type == kFsFat32) {
    LoadedFats fats(vol);
    ok = fats.Allocate();
    if (ok) {
      LoadFat(run, fats, 1);
      LoadFat(run, fats, 2);
      // The second pass runs even when the first was stopped.
      if (first) {
        VerifyWalk(run, first, 1);
        VerifyWalk(run, first, 2);
      }
    }
  } else if (vol.fs_type == kFsNtfs && first) {
    VerifyWalk(run, first, 1);
    VerifyWalk(run, first, 2);
  }
  ctx.usage_map = nullptr;
  if (ctx.progress_bar) Progress_SetPos(ctx.progress_bar, 0);
  return ok;
}

void VerifySelectedFiles(AppContext& ctx) {
  if (ctx.scan_running || ctx.finder_copy_running) return;
  if (RecountMarkedFiles(ctx) == 0) {
    fe_MessageBox(ctx.main_dlg, "No files have been marked.", "** Error **", MB_OK | MB_ICONSTOP);
    return;
  }
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!drive || !vol) {
    fe_MessageBox(ctx.main_dlg, "No drive is selected: select the physical drive and the logical drive that was scanned.",
                  "** Error **", MB_OK | MB_ICONSTOP);
    return;
  }
  // The passes pump the queue: no scan may tear down the tree they walk.
  ctx.scan_running = 1;
  SetScanMenus(ctx, false);
  VerifyMarkedFiles(ctx, *drive, *vol);
  SetScanMenus(ctx, true);
  ctx.scan_running = 0;
  ShowSelectedDirFiles(ctx);
  SetStatusField(ctx, IDC_STATUS, "Idle...");
}
