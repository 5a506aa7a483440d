// libFuzzer target for the boot-record decoders. The input's first 512 bytes
// (zero-padded) are a boot record: it is classified, mounted at a few start
// LBAs, its volume fitted to drives of a few sizes, and its record stored
// and read back as a saved scan keeps it. The backup-record mount runs at
// the positions where the search would find a FAT32 or NTFS backup.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "app/context.h"
#include "disk/phydrive.h"
#include "platform/headless/headless.h"
#include "volume/logdrive.h"
#include "volume/mount.h"
#include "volume/partition.h"

namespace {

// A sound drive ends below 2^48 sectors; the start LBAs stay there, the
// drive sizes include the extremes.
constexpr std::uint64_t kStarts[] = {0, 63, 2048, (1ULL << 32) + 7, 1ULL << 47};
constexpr std::uint64_t kDriveSizes[] = {0, 1, 4096, 1ULL << 32, UINT64_MAX};

PHYDRIVE_INFO ImageDrive(std::uint64_t total_sectors) {
  PHYDRIVE_INFO d;
  d.total_sectors = total_sectors;
  d.heads = 255;
  d.sectors_per_track = 63;
  d.sectors_per_cylinder = 255 * 63;
  d.cylinders = total_sectors / d.sectors_per_cylinder;
  return d;
}

void Check(const LOGDRIVE_INFO& rec) {
  for (std::uint64_t size : kDriveSizes) {
    LOGDRIVE_INFO fitted = rec;
    FitVolumeToDrive(fitted, ImageDrive(size));
    // Fitting only ever takes clusters away.
    if (fitted.cluster_count > rec.cluster_count) __builtin_trap();
  }
  const auto bytes = LogDriveToBytes(rec);
  LOGDRIVE_INFO back;
  if (!LogDriveFromBytes(bytes, back) || LogDriveToBytes(back) != bytes) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, kSectorSize> s{};
  std::copy_n(data, std::min(size, s.size()), s.begin());
  headless::Reset();

  IsBootSector(s);
  const std::uint32_t type = FsTypeFromBootRecord(s);
  for (std::uint64_t start : kStarts)
    if (LOGDRIVE_INFO* rec = MountLogDrive(start, s)) {
      Check(*rec);
      ClusterSizeForVolume(static_cast<std::uint64_t>(rec->total_sectors), static_cast<int>(rec->fs_type));
    }
  for (int t = 0; t <= 9; ++t) ClusterSizeForVolume(static_cast<std::uint64_t>(type) << 20, t);

  // Backup positions: six sectors after a track-aligned start (FAT32), the
  // last sector of a cylinder (NTFS), and one that is neither.
  PHYDRIVE_INFO drive = ImageDrive(1ULL << 40);
  for (std::uint64_t lba : {6ULL, 69ULL, 16065ULL + 6, 16064ULL, 2 * 16065ULL - 1, 1000ULL})
    if (IsBackupBootPosition(drive, lba, s))
      if (LOGDRIVE_INFO* rec = MountFromBackup(drive, lba, s)) Check(*rec);

  FreeAllLogDrives();
  return 0;
}
