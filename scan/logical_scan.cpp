#include "scan/logical_scan.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/fat_scan.h"
#include "ntfs/ntfs_scan.h"
#include "res/ids.h"
#include "volume/direct_mount.h"
#include "volume/logdrive.h"

namespace {

// A volume whose record claims more than the drive holds (a truncated image)
// would otherwise scan to a short or empty tree without a word: the status
// line says so when the scan starts, and again once it is done, since the
// scan's own lines replace it.
struct ShortfallNotice {
  std::string text;
  ShortfallNotice(AppContext& ctx, const LOGDRIVE_INFO& vol) {
    const auto* drive = static_cast<const PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
    const std::uint64_t past = drive ? SectorsPastDriveEnd(vol, *drive) : 0;
    if (past == 0) return;
    char buf[96];
    std::snprintf(buf, sizeof buf, "volume extends %" PRIu64 " sectors past the end of the drive", past);
    text = buf;
    DebugPrint("%s", buf);
    SetStatusField(ctx, IDC_STATUS, text);
  }
  void Repeat(AppContext& ctx) const {
    if (!text.empty()) SetStatusField(ctx, IDC_STATUS, text);
  }
};

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
    case kFsNtfs: {
      const ShortfallNotice notice(ctx, *vol);
      FastNtfsScan(ctx);
      notice.Repeat(ctx);
      break;
    }
    case kFsFat32: {
      const ShortfallNotice notice(ctx, *vol);
      FastFatScan(ctx);
      notice.Repeat(ctx);
      break;
    }
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
    case kFsNtfs: {
      const ShortfallNotice notice(ctx, *vol);
      SlowNtfsScan(ctx);
      notice.Repeat(ctx);
      break;
    }
    case kFsFat32: {
      const ShortfallNotice notice(ctx, *vol);
      SlowFatScan(ctx);
      notice.Repeat(ctx);
      break;
    }
    default:
      break;
  }
}
