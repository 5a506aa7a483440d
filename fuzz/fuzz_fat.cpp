// libFuzzer target for the FAT32 scans and the directory-entry decoders.
//
// The input is a small FAT32 volume. Its first 8 bytes are a header:
//   [0] bits 0-1: sectors per cluster, 1 << bits
//       bit 2:    the boot record is the next 512 input bytes, as they are
//                 (the geometry then comes from the input; otherwise from a
//                 fixed record built from this header)
//       bit 3:    FAT 2 comes from the input (otherwise a copy of FAT 1)
//   [1..2] cluster count, 16 + (value % 497), at most 512 sectors of data
//   [3..4] root cluster
//   [5..6] a cluster number the long-name walk is told came before
//   [7]    when not zero, "Terminate Scan" arrives after 8 * [7] pump steps
// The rest is laid out from sector 2 of the volume: FAT 1, FAT 2 (when from
// the input), then the data area. The volume is mounted as the partition
// search mounts it, becomes the selected row of a headless main window, and
// both scans run through their commands. Then the entry decoders run on the
// data area's first slots directly.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "app/context.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_volumes.h"
#include "platform/bytes.h"
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume/search.h"

namespace {

constexpr std::size_t kMaxImage = 256 * 1024;
constexpr std::size_t kMaxDecodedSlots = 128;
constexpr int kYear = 2024;  // fixed, so that a crash reproduces in any year

using fuzz::kHeader;
using fuzz::fat_volume::Layout;
using fuzz::fat_volume::RawVolume;
using fuzz::fat_volume::TemplateVolume;

// Properties every entry has, whatever its bytes.
void DecodeSlot(const LOGDRIVE_INFO& vol, std::span<const std::uint8_t> e) {
  const int search = IsValidDirEntry(vol, e, kYear, EntryContext::Search);
  const int live = IsValidDirEntry(vol, e, kYear, EntryContext::LiveDirectory);
  // A live directory's test only eases the search's.
  if (search && !live) __builtin_trap();
  // A valid entry always has a name.
  if (live && BuildShortName(e).empty()) __builtin_trap();
  if (IsLongNameEntry(e) && live) __builtin_trap();
  const FAT_DIR_ENTRY d = DecodeDirEntry(e);
  if (d.first_cluster != EntryFirstCluster(e)) __builtin_trap();
}

void DecodeEntries(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                   std::span<const std::uint8_t> area, std::span<const std::uint32_t> earlier) {
  const std::size_t slots = std::min(area.size() / kDirEntrySize, kMaxDecodedSlots);
  std::vector<DirEntry> run;
  for (std::size_t i = 0; i < slots; ++i) {
    const std::span<const std::uint8_t> e = area.subspan(i * kDirEntrySize, kDirEntrySize);
    DecodeSlot(vol, e);
    if (IsLongNameEntry(e)) {
      DirEntry copy;
      std::copy_n(e.begin(), kDirEntrySize, copy.begin());
      run.push_back(copy);
      continue;
    }
    std::reverse(run.begin(), run.end());  // nearest first, as the backward walk gathers them
    AssembleLongName(run, run.size());
    run.clear();
    EntryPlace place;
    place.cluster = area.first(slots * kDirEntrySize);
    place.slot = i;
    place.cluster_number = vol.root_cluster;
    place.earlier = earlier;
    BuildLongName(ctx, drive, vol, place, kMaxLongNameEntries);
    MakeEntryRecord(ctx, drive, vol, place, 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ImageFile image("fuzz_fat");
  static fuzz::EmptyDriveSource no_drives;
  if (!image.ok() || !no_drives.ok() || size < kHeader) return 0;
  const std::span<const std::uint8_t> in(data, std::min(size, kMaxImage));
  const Layout l = (in[0] & 4) ? RawVolume(in) : TemplateVolume(in);
  if (!image.Write(l.image, l.image.size())) return 0;

  fuzz::MainWindow w;
  AppContext& ctx = App();
  if (!w.ok() || !AddImageFile(ctx, image.path())) return 0;
  ClickListRow(ctx.main_dlg, IDC_PHY_LIST, ListView_GetItemCount(ctx.phy_list) - 1, HitPart::Label);
  w.Drain();
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  LOGDRIVE_INFO* vol = drive && IsBootSector(l.boot) ? MountLogDrive(0, l.boot) : nullptr;
  if (!vol || vol->fs_type != kFsFat32) return 0;
  FitVolumeToDrive(*vol, *drive);
  AddLOGDrive(ctx, vol);
  ClickListRow(ctx.main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  w.Drain();

  if (in[7]) headless::PostCommandAfterSteps(8ULL * in[7], 0, IDM_TERMINATE_SCAN);
  for (int command : {IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL}) {
    PostCommand(ctx.main_dlg, static_cast<std::uint32_t>(command));
    w.Drain();
    // Every way out of a scan gives back its tables and ends the scan.
    if (ctx.scan_running || vol->fat1_table || vol->fat2_table || vol->cluster_map) __builtin_trap();
  }

  // The data area where the mount put it, when that is inside the image.
  std::size_t data_offset = l.data_offset;
  if (vol->data_lba >= 0 && static_cast<std::uint64_t>(vol->data_lba) < l.image.size() / kSectorSize)
    data_offset = static_cast<std::size_t>(vol->data_lba) * kSectorSize;
  const std::span<const std::uint8_t> area =
      std::span<const std::uint8_t>(l.image).subspan(std::min(data_offset, l.image.size()));
  const std::array<std::uint32_t, 3> earlier = {2, vol->root_cluster, le::U16(in, 5)};
  DecodeEntries(ctx, *drive, *vol, area, earlier);
  return 0;
}
