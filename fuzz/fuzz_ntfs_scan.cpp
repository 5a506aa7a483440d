// libFuzzer target for the fast and slow NTFS scans.
//
// The input is a small NTFS volume. Its first 8 bytes are a header:
//   [0] bits 0-1: sectors per cluster, 1 << bits
//       bit 2:    the boot record is the next 512 input bytes, as they are,
//                 and the rest of the input is the volume from sector 1
//                 (otherwise a fixed record built from this header, and the
//                 rest of the input is the $MFT, laid out from cluster 4)
//       bit 3:    the image ends where the input does, so the volume may
//                 claim more sectors than the drive holds
//   [1..2] sectors the volume has beyond the input, value % 2048
//   [7]    when not zero, "Terminate Scan" arrives after 8 * [7] pump steps
// The volume is mounted as the partition search mounts it, becomes the
// selected row of a headless main window, and both scans run through their
// commands. Each scan must end idle with its counters matching the lists it
// filled, and a fast scan that could not start must leave no tree.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "app/context.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_volumes.h"
#include "ntfs/ntfs_scan.h"
#include "platform/bytes.h"
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume/search.h"

namespace {

constexpr std::size_t kMaxImage = 256 * 1024;

using fuzz::kHeader;
using fuzz::ntfs_volume::Layout;
using fuzz::ntfs_volume::RawVolume;
using fuzz::ntfs_volume::TemplateVolume;

// What every scan leaves, finished or stopped.
void CheckAfterScan(const AppContext& ctx, const LOGDRIVE_INFO& vol) {
  if (ctx.scan_running) __builtin_trap();
  if (!ctx.root_item) {
    // Only a fast scan that could not start leaves no Root, and then nothing at all.
    if (ctx.pending_dir_count || ctx.pending_file_count || TreeView_GetCount(ctx.dir_tree)) __builtin_trap();
    return;
  }
  // Root and "Orphan Files" are counted; only the latter is on the list.
  if (ctx.pending_file_count != static_cast<std::uint64_t>(vol.files_found)) __builtin_trap();
  if (ctx.pending_dir_count + 1 != static_cast<std::uint64_t>(vol.dirs_found)) __builtin_trap();
}

void CheckMap(const INODE_RECD& mft, const LOGDRIVE_INFO& vol) {
  const std::vector<MftRecordSpan> spans = MapMftRecords(mft, vol);
  std::uint64_t next = 0;
  for (const MftRecordSpan& s : spans) {
    if (s.count == 0 || s.first < next) __builtin_trap();  // sorted, disjoint, none empty
    next = s.first + s.count;
  }
  if (MftRecordsToScan(mft, spans) > next) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ImageFile image("fuzz_ntfs_scan");
  static fuzz::EmptyDriveSource no_drives;
  if (!image.ok() || !no_drives.ok() || size < kHeader) return 0;
  const std::span<const std::uint8_t> in(data, std::min(size, kMaxImage));
  const Layout l = (in[0] & 4) ? RawVolume(in) : TemplateVolume(in);
  if (!image.Write(l.image, l.file_size)) return 0;

  fuzz::MainWindow w;
  AppContext& ctx = App();
  if (!w.ok() || !AddImageFile(ctx, image.path())) return 0;
  ClickListRow(ctx.main_dlg, IDC_PHY_LIST, ListView_GetItemCount(ctx.phy_list) - 1, HitPart::Label);
  w.Drain();
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  LOGDRIVE_INFO* vol = drive && IsBootSector(l.boot) ? MountLogDrive(0, l.boot) : nullptr;
  if (!vol || vol->fs_type != kFsNtfs) return 0;
  AddLOGDrive(ctx, vol);
  ClickListRow(ctx.main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  w.Drain();

  if (in[7]) headless::PostCommandAfterSteps(8ULL * in[7], 0, IDM_TERMINATE_SCAN);
  for (int command : {IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL}) {
    PostCommand(ctx.main_dlg, static_cast<std::uint32_t>(command));
    w.Drain();
    CheckAfterScan(ctx, *vol);
    if (ctx.mft_inode) CheckMap(*ctx.mft_inode, *vol);
  }
  return 0;
}
