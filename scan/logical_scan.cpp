#include "scan/logical_scan.h"

#include "app/shell.h"
#include "app/status.h"
#include "fat/fat_scan.h"
#include "res/ids.h"
#include "volume/logdrive.h"

namespace {

// NTFS volumes get their own scans; until they exist the commands leave them alone.
void FastNtfsScanPending(AppContext& ctx) { NotYetBuiltCommand(ctx, IDM_FAST_LOGICAL); }
void SlowNtfsScanPending(AppContext& ctx) { NotYetBuiltCommand(ctx, IDM_SLOW_LOGICAL); }

}  // namespace

// A scan pumps the message queue while it runs, and the slow scan leaves the
// menu enabled: a second scan started from inside it would tear down the tree
// the first one is still filling.
void FastLogicalScan(AppContext& ctx) {
  if (ctx.scan_running) return;
  const auto* vol = static_cast<const LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!vol) return;
  SetScanMenus(ctx, false);
  switch (vol->fs_type) {
    case kFsNtfs:
      FastNtfsScanPending(ctx);
      break;
    case kFsFat32:
      FastFatScan(ctx);
      break;
    default:
      break;  // FAT12, FAT16 and built records are listed, not scanned
  }
  SetScanMenus(ctx, true);
}

void SlowLogicalScan(AppContext& ctx) {
  if (ctx.scan_running) return;
  const auto* vol = static_cast<const LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!vol) return;
  switch (vol->fs_type) {
    case kFsNtfs:
      SlowNtfsScanPending(ctx);
      break;
    case kFsFat32:
      SlowFatScan(ctx);
      break;
    default:
      break;
  }
}
