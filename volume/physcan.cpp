#include "volume/physcan.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <string>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/aligned_buffer.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "scan/tree.h"
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume/search.h"

namespace {

constexpr std::uint64_t kChunkSectors = 2048;  // one 1 MiB read request
constexpr std::uint64_t kProgressEvery = 1000;

// Classifies `count` sectors of the buffer starting at drive sector lba;
// with a progress record, steps the progress at every 1000th sector.
void ClassifyRange(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> buffer, std::uint64_t lba,
                   std::uint64_t count, PROGRESS_INFO* progress) {
  // The next multiple of 1000, so that the loop does no division per sector.
  std::uint64_t next_step = progress ? (lba + kProgressEvery - 1) / kProgressEvery * kProgressEvery : UINT64_MAX;
  for (std::uint64_t i = 0; i < count; ++i, ++lba) {
    if (lba == next_step) {
      Progress_StepIt(ctx.progress_bar);
      progress->current = lba;
      UpdateProgressTimes(ctx, *progress);
      next_step += kProgressEvery;
    }
    const std::span<const std::uint8_t> sector = buffer.subspan(i * kSectorSize, kSectorSize);
    // A table and a boot record both end with the signature: the other
    // sectors (nearly all of them) cannot be either.
    if (sector[510] != 0x55 || sector[511] != 0xAA) continue;
    ClassifyScanSector(ctx, drive, lba, sector);
  }
}

void EnableDriveLists(AppContext& ctx, bool enable) {
  EnableControl(ctx.phy_list, enable);
  EnableControl(ctx.log_list, enable);
}

}  // namespace

int PrepareSearch(AppContext& ctx, PHYDRIVE_INFO& drive, PROGRESS_INFO& progress) {
  if (ListView_GetItemCount(ctx.log_list) != 0) {
    ClearLogicalDriveList(ctx);
    ResetScanTree(ctx);  // the file list and the directory tree belong to the old list
  }
  ctx.search_lba = 0;
  ctx.search_total = drive.total_sectors;

  progress.start_time = GetNowFileTime();
  progress.current = ctx.search_lba;
  progress.total = ctx.search_total;
  progress.phase = kProgressReset;
  UpdateProgressTimes(ctx, progress);
  progress.phase = kProgressRunning;

  // One step at sector 0 and at every 1000th after it: rounding the range
  // down would leave the last step past the end, where the bar wraps to 0.
  ResetFatProbeBudget();
  BeginPartitionSearch();
  const std::uint64_t steps = (drive.total_sectors + kProgressEvery - 1) / kProgressEvery;
  Progress_SetRange32(ctx.progress_bar, 0, static_cast<std::int32_t>(std::min<std::uint64_t>(steps, INT32_MAX)));
  Progress_SetStep(ctx.progress_bar, 1);
  Progress_SetBarColour(ctx.progress_bar, RGB(255, 0, 0));
  ctx.scan_running = 1;
  return 1;
}

void ScanPhysicalDrive(AppContext& ctx) {
  // The menu lock keeps the command away while a scan runs; a command that
  // slips past it (an accelerator) must not restart the list under the scan.
  if (ctx.scan_running) return;
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  if (!drive) {
    fe_MessageBox(ctx.main_dlg, "Please CHOOSE a PHYSICAL drive to SCAN.", kProductTitle, MB_OK);
    return;
  }
  PROGRESS_INFO progress;
  PrepareSearch(ctx, *drive, progress);

  // Page-aligned: the kernel fills an unaligned buffer several times slower.
  AlignedBuffer buffer;
  try {
    buffer = AlignedBuffer(kChunkSectors * kSectorSize);
  } catch (const std::bad_alloc&) {
    fe_MessageBox(ctx.main_dlg, "Could not allocate read buffer", kProductTitle, MB_OK);
    ctx.scan_running = 0;
    return;
  }

  EnableDriveLists(ctx, false);
  SetStatusField(ctx, IDC_STATUS, std::string("Scanning Physical Drive ") + drive->model);
  drive->spare = 0;
  drive->read_errors = 0;

  const std::uint64_t chunks = drive->total_sectors / kChunkSectors;
  const std::uint64_t rest = drive->total_sectors % kChunkSectors;
  SetScanMenus(ctx, false);

  std::uint64_t lba = ctx.search_lba;
  bool terminated = false;
  for (std::uint64_t k = 0; k < chunks; ++k) {
    ReadSectors(ctx, *drive, lba, buffer);
    ClassifyRange(ctx, *drive, buffer, lba, kChunkSectors, &progress);
    lba += kChunkSectors;
    ctx.search_lba = lba;
    if (CheckTerminate(IDM_TERMINATE_SCAN)) {
      terminated = true;
      break;
    }
  }
  if (!terminated && rest > 0) {
    const std::span<std::uint8_t> tail = buffer.span().first(rest * kSectorSize);
    ReadSectors(ctx, *drive, lba, tail);
    ClassifyRange(ctx, *drive, tail, lba, rest, nullptr);
    ctx.search_lba = lba + rest;
  }

  SetScanMenus(ctx, true);
  buffer = {};
  ctx.scan_running = 0;
  EnableDriveLists(ctx, true);

  progress.phase = kProgressReset;
  UpdateProgressTimes(ctx, progress);
  Progress_SetPos(ctx.progress_bar, 0);

  SortLogDriveList(ctx);
  SetStatusField(ctx, IDC_STATUS, "Idle...");
}
