#include "ntfs/mft_locator.h"

#include <array>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "ntfs/mft.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kRecordSectors = kMftRecordSize / 512;

}  // namespace

int LocateMft(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol) {
  if (vol.sectors_per_cluster == 0) {
    DebugPrint("LocateMft: volume without a cluster size");
    return 0;
  }
  for (std::uint64_t cluster : kMftCandidateClusters) {
    // One record at the cluster's first sector: a cluster may be smaller than a record.
    const std::uint64_t lba = cluster * vol.sectors_per_cluster + static_cast<std::uint64_t>(vol.start_lba);
    // A candidate beyond the volume or the drive is no $MFT; reading it would
    // only count read errors on a small disk.
    const std::uint64_t vol_end = static_cast<std::uint64_t>(vol.start_lba) + static_cast<std::uint64_t>(vol.total_sectors);
    if (lba + kRecordSectors > drive.total_sectors || (vol.total_sectors > 0 && lba + kRecordSectors > vol_end)) continue;
    std::array<std::uint8_t, kMftRecordSize> buf{};
    if (!ReadSectors(ctx, drive, lba, buf)) continue;
    if (!IsFileRecord(buf)) continue;
    if (ReadRecordLongName(buf) == "$MFT") {
      vol.mft_lba = static_cast<std::int64_t>(lba);
      return 1;
    }
  }
  DebugPrint("LocateMft: no $MFT record at the candidate clusters");
  return 0;
}
