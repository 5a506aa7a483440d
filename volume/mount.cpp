#include "volume/mount.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "disk/phydrive.h"
#include "ntfs/mft_locator.h"
#include "platform/aligned_buffer.h"
#include "platform/bytes.h"
#include "platform/lba.h"
#include "volume/logdrive.h"
#include "volume/partition.h"

namespace {

constexpr std::array<const char*, 4> kOemNames = {"MSWIN4.1", "MSDOS5.0", "Dell 4.1", "NTFS    "};
constexpr std::size_t kOemIndexNtfs = 4;
constexpr std::size_t kOemIndexMsdos = 2;

// Reserved sectors assumed for a FAT volume built from its entry alone: what
// the usual formatters write (the boot record that would say is unusable).
constexpr std::uint64_t kBuiltFat32Reserved = 32;
constexpr std::uint64_t kBuiltFat1216Reserved = 1;
constexpr std::uint64_t kFatSearchSpan = 30000;

bool BytesEqual(std::span<const std::uint8_t> s, std::size_t offset, const char* text) {
  const std::size_t n = std::strlen(text);
  return s.size() >= offset + n && std::memcmp(s.data() + offset, text, n) == 0;
}

// Index in the OEM name table (1 to 4), or 0.
std::uint32_t OemIndexOf(std::span<const std::uint8_t> s) {
  for (std::size_t i = 0; i < kOemNames.size(); ++i)
    if (BytesEqual(s, 3, kOemNames[i])) return static_cast<std::uint32_t>(i + 1);
  return 0;
}

void CopyName(char (&dst)[9], std::span<const std::uint8_t> s, std::size_t offset) {
  std::memset(dst, 0, sizeof dst);
  if (s.size() >= offset + 8) std::memcpy(dst, s.data() + offset, 8);
}

void CopyName(char (&dst)[9], const char* text) {
  std::memset(dst, 0, sizeof dst);
  std::memcpy(dst, text, std::min<std::size_t>(std::strlen(text), 8));
}

std::int64_t I64(std::uint64_t v) { return static_cast<std::int64_t>(v); }

// (total − (data − start)) / spc, never negative: a record whose areas do not
// fit its volume has no data clusters.
std::int64_t ClusterCount(std::int64_t total, std::int64_t data_lba, std::int64_t start, std::uint32_t spc) {
  if (spc == 0) return 0;
  const std::int64_t used = data_lba - start;
  if (used < 0 || total <= used) return 0;
  return (total - used) / spc;
}

std::uint32_t TotalSectors(std::span<const std::uint8_t> s) {
  const std::uint16_t small = le::U16(s, 19);
  return small != 0 ? small : le::U32(s, 32);
}

void MountFat1216(LOGDRIVE_INFO& r, std::span<const std::uint8_t> s, Lba v) {
  r.fat_entries_per_sector = r.fs_type == kFsFat12 ? 342 : 256;
  r.reserved_sectors = le::U16(s, 14);
  r.fat_sectors = le::U16(s, 22);
  r.fat_lba = v.Stored() + r.reserved_sectors;
  r.root_lba = r.fat_lba + 2 * r.fat_sectors;
  r.root_cluster = 2;
  r.data_lba = r.root_lba + 32;
  r.sectors_per_cluster = s[13];
  r.bytes_per_cluster = r.sectors_per_cluster * 512;
  r.entries_per_cluster = r.bytes_per_cluster / 32;
  r.total_sectors = TotalSectors(s);
  r.mount_flags = 1;
  r.hidden_sectors = le::U32(s, 28);
  r.cluster_count = ClusterCount(r.total_sectors, r.data_lba, v.Stored(), r.sectors_per_cluster);
  CopyName(r.oem_name, s, 3);
  CopyName(r.fs_name, s, 54);
}

void MountFat32(LOGDRIVE_INFO& r, std::span<const std::uint8_t> s, Lba v) {
  r.fat_entries_per_sector = 128;
  r.fat_sectors = le::U32(s, 36);
  r.fat_bytes = r.fat_sectors * 512;
  r.reserved_sectors = le::U16(s, 14);
  r.fat_lba = v.Stored() + r.reserved_sectors;
  r.data_lba = r.fat_lba + 2 * r.fat_sectors;
  r.root_cluster = le::U32(s, 44);
  r.sectors_per_cluster = s[13];
  r.bytes_per_cluster = r.sectors_per_cluster * 512;
  r.entries_per_cluster = r.bytes_per_cluster / 32;
  r.root_lba = r.data_lba + static_cast<std::int64_t>(r.sectors_per_cluster) *
                                (static_cast<std::int64_t>(r.root_cluster) - 2);
  r.total_sectors = TotalSectors(s);
  r.backup_boot_lba = I64(v.value + le::U16(s, 50));
  r.cluster_count = ClusterCount(r.total_sectors, r.data_lba, v.Stored(), r.sectors_per_cluster);
  r.mount_flags = 1;
  r.hidden_sectors = le::U32(s, 28);
  CopyName(r.oem_name, s, 3);
  CopyName(r.fs_name, s, 82);
}

void MountNtfs(LOGDRIVE_INFO& r, std::span<const std::uint8_t> s, Lba v) {
  // Field values are untrusted: sums wrap in unsigned arithmetic instead of overflowing.
  const std::uint64_t spc = s[13];
  const std::uint64_t total = le::U64(s, 40);
  r.sectors_per_cluster = static_cast<std::uint32_t>(spc);
  r.bytes_per_cluster = r.sectors_per_cluster * 512;
  r.total_sectors = I64(total);
  r.backup_boot_lba = I64(total + v.value);
  r.mft_lba = I64(le::U64(s, 48) * spc + v.value);
  r.mftmirr_cluster = I64(le::U64(s, 56));
  r.mftmirr_lba = I64(le::U64(s, 56) * spc + v.value);
  r.cluster_count = spc ? I64(total / spc) : 0;
  r.mount_flags = 1;
  r.hidden_sectors = I64(le::U64(s, 28));
  CopyName(r.oem_name, s, 3);
  CopyName(r.fs_name, "NTFS    ");
  const std::uint32_t per_record = le::U32(s, 64);
  // 246 is the stored form of 2^10; any other value counts clusters. A size
  // that is zero or does not fit the field falls back to 1024.
  std::uint64_t size = per_record == 246 ? 1024 : spc * per_record * 512;
  if (size == 0 || size > UINT32_MAX) size = 1024;
  r.mft_record_size = static_cast<std::uint32_t>(size);
  r.mft_records_per_cluster = r.bytes_per_cluster / r.mft_record_size;
  r.ntfs_record_clusters = per_record;
  r.ntfs_index_clusters = le::U32(s, 68);
}

// Reads one sector; false when it lies beyond the drive or cannot be read.
bool ReadOne(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::array<std::uint8_t, kSectorSize>& out) {
  out.fill(0);
  return lba < drive.total_sectors && ReadSectors(ctx, drive, lba, out) != 0;
}

}  // namespace

std::uint32_t FsTypeFromBootRecord(std::span<const std::uint8_t> s) {
  if (BytesEqual(s, 82, "FAT32")) return kFsFat32;
  if (BytesEqual(s, 3, "NTFS")) return kFsNtfs;
  if (BytesEqual(s, 54, "FAT12")) return kFsFat12;
  if (BytesEqual(s, 54, "FAT16")) return kFsFat16;
  return kFsOther;
}

LOGDRIVE_INFO* MountLogDrive(std::uint64_t start_lba, std::span<const std::uint8_t> s) {
  if (s.size() < kSectorSize) return nullptr;
  // Only the four known OEM names are mounted; checked before allocating
  // because records are never released.
  const std::uint32_t oem_index = OemIndexOf(s);
  if (oem_index == 0) return nullptr;
  LOGDRIVE_INFO* r = nullptr;
  try {
    r = NewLogDrive();
  } catch (const std::bad_alloc&) {
    ShowErrorBox(
        "Could not Allocate %d bytes of memory\nTHIS IS A FATAL SYSTEM ERROR!\nExit software, make sure all other "
        "programs have stopped running.\n Try to SCAN again, if problem persists, call Technical Support\n",
        static_cast<int>(kLogDriveInfoSize));
    return nullptr;
  }
  r->oem_index = oem_index;
  r->fs_type = FsTypeFromBootRecord(s);
  const Lba start(start_lba);
  r->start_lba = start.Stored();
  r->bytes_per_sector = 512;
  switch (r->fs_type) {
    case kFsFat12:
    case kFsFat16:
      MountFat1216(*r, s, start);
      break;
    case kFsFat32:
      MountFat32(*r, s, start);
      break;
    case kFsNtfs:
      MountNtfs(*r, s, start);
      break;
    default:
      break;  // unrecognised type strings: a row with no name and no size
  }
  return r;
}

LOGDRIVE_INFO* BuildLogDriveFromEntry(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> entry,
                                      std::uint64_t start_lba) {
  std::uint32_t count = 0;
  if (!le::Read(entry, 12, count)) return nullptr;
  std::uint64_t n = count;
  const PartClass c = PartitionClass(entry);
  const std::uint32_t fs_type = FsTypeOf(c);
  const Lba start(start_lba);

  // Look for the backup boot record where the file system keeps one: the
  // volume's last sector on NTFS, six sectors in on FAT32.
  const bool has_backup = c == PartClass::kNtfs || c == PartClass::kFat32;
  if (c == PartClass::kNtfs) n = n > 0 ? n - 1 : 0;
  const std::uint64_t backup_offset = c == PartClass::kNtfs ? n : 6;
  const std::optional<Lba> backup = has_backup ? start.Plus(backup_offset) : std::nullopt;
  std::array<std::uint8_t, kSectorSize> sector{};
  const bool probed = backup && ReadOne(ctx, drive, backup->value, sector);
  if (probed && IsBackupBootPosition(drive, backup->value, sector))
    return MountFromBackup(drive, backup->value, sector);

  LOGDRIVE_INFO* r = nullptr;
  try {
    r = NewLogDrive();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  SetDefaultBootNames(c, *r);
  r->fs_type = fs_type;
  r->total_sectors = I64(n);
  r->start_lba = start.Stored();
  r->hidden_sectors = LbaToChs(drive, start_lba).head == 1 ? I64(drive.sectors_per_track) : start.Stored();
  r->sectors_per_cluster = ClusterSizeForVolume(n, fs_type);
  // A position past the last LBA is kept as the wrapped sum, as the field always held it.
  if (has_backup) r->backup_boot_lba = backup ? backup->Stored() : I64(start_lba + backup_offset);
  r->bytes_per_sector = 512;
  r->mft_record_size = 1024;
  r->bytes_per_cluster = r->sectors_per_cluster * 512;
  r->mft_records_per_cluster = r->sectors_per_cluster / 2;

  if (c == PartClass::kNtfs) {
    r->cluster_count = I64(n / r->sectors_per_cluster);
    LocateMft(ctx, drive, *r);
    SetNtfsRecordDefaults(*r);
    return r;
  }
  // The boot record that would place the first FAT is unusable: assume the
  // reserved area the usual formatters leave.
  const bool is_fat = c == PartClass::kFat12 || c == PartClass::kFat16 || c == PartClass::kFat32;
  std::uint64_t reserved = 0;
  if (c == PartClass::kFat32)
    reserved = kBuiltFat32Reserved;
  else if (is_fat)
    reserved = kBuiltFat1216Reserved;
  r->reserved_sectors = I64(reserved);
  const Lba fat_lba(start_lba + reserved);  // wraps as the stored field would
  r->fat_lba = fat_lba.Stored();
  if (is_fat) {
    r->fat_entries_per_sector = c == PartClass::kFat12 ? 342 : c == PartClass::kFat16 ? 256 : 128;
    r->entries_per_cluster = r->bytes_per_cluster / 32;
  }
  r->fat_sectors = I64(EstimateFatSectors(ctx, drive, fs_type, r->sectors_per_cluster, n, reserved, fat_lba.value));
  if (c == PartClass::kFat32) {
    r->root_cluster = 2;
    r->data_lba = r->fat_lba + 2 * r->fat_sectors;
    r->root_lba = r->data_lba;
  } else {
    r->root_lba = r->fat_lba + 2 * r->fat_sectors;
    r->data_lba = r->root_lba + 32;
  }
  r->cluster_count = ClusterCount(r->total_sectors, r->data_lba, r->start_lba, r->sectors_per_cluster);
  return r;  // mount_flags stays 0: built, not mounted
}

void SetDefaultBootNames(PartClass partition_class, LOGDRIVE_INFO& record) {
  const std::size_t oem = partition_class == PartClass::kNtfs ? kOemIndexNtfs : kOemIndexMsdos;
  record.oem_index = static_cast<std::uint32_t>(oem);
  CopyName(record.oem_name, kOemNames[oem - 1]);
  const char* name = "";
  switch (partition_class) {
    case PartClass::kFat12: name = "FAT12"; break;
    case PartClass::kFat16: name = "FAT16"; break;
    case PartClass::kFat32: name = "FAT32"; break;
    case PartClass::kNtfs: name = "NTFS"; break;
    case PartClass::kExtended: name = "EXTD"; break;
    default: break;
  }
  CopyName(record.fs_name, name);
}

std::uint32_t ClusterSizeForVolume(std::uint64_t total_sectors, std::uint32_t type) {
  struct Row {
    std::uint64_t below;
    std::uint32_t fat12, fat16, fat32, ntfs;
  };
  static constexpr Row kRows[] = {
      {16002, 4, 2, 4, 1},          {32768, 8, 2, 4, 1},          {262144, 8, 4, 4, 1},
      {524288, 16, 8, 8, 1},        {1048576, 16, 16, 8, 1},      {2097152, 32, 32, 8, 2},
      {4194304, 32, 64, 8, 4},      {16777216, 128, 128, 8, 8},   {33554432, 128, 128, 16, 8},
      {67108854, 128, 128, 32, 8},
  };
  if (type >= kFsFat12 && type <= kFsNtfs) {
    for (const Row& row : kRows) {
      if (total_sectors >= row.below) continue;
      switch (type) {
        case kFsFat12: return row.fat12;
        case kFsFat16: return row.fat16;
        case kFsFat32: return row.fat32;
        default: return row.ntfs;
      }
    }
  }
  return type == kFsFat32 ? 64 : 8;
}

namespace {
// Sectors that the second-FAT walks of one partition search may read (1 GiB).
constexpr std::uint64_t kFatProbeBudget = 2'000'000;
std::uint64_t g_fat_probe_budget = kFatProbeBudget;
}  // namespace

std::uint64_t EstimateFatSectors(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint32_t type,
                                 std::uint32_t sectors_per_cluster, std::uint64_t total_sectors,
                                 std::uint64_t reserved_sectors, std::uint64_t fat_lba) {
  // Only the FAT types have a FAT to size.
  std::uint64_t e = 0;
  switch (type) {
    case kFsFat12: e = 341; break;
    case kFsFat16: e = 256; break;
    case kFsFat32: e = 128; break;
    default: return 0;
  }
  if (sectors_per_cluster == 0) return 0;
  const std::uint64_t s = sectors_per_cluster;
  std::uint64_t x = total_sectors > reserved_sectors ? total_sectors - reserved_sectors : 0;
  const std::uint64_t f1 = (x / s) / e;
  x = x > 2 * f1 ? x - 2 * f1 : 0;
  const std::uint64_t clusters = x / s;
  const std::uint64_t guess = clusters / e + (clusters % e != 0 ? 1 : 0);

  // The second FAT opens with the media byte: look for it where the guess
  // puts it, then sector by sector from just after the first FAT's start.
  const Lba fat(fat_lba);
  const std::uint64_t limit = std::min(fat.Plus(kFatSearchSpan).value_or(Lba(UINT64_MAX)).value, drive.total_sectors);
  std::array<std::uint8_t, kSectorSize> sector{};
  if (const std::optional<Lba> at = fat.Plus(guess); at && ReadOne(ctx, drive, at->value, sector) && sector[0] == 0xF8)
    return guess;
  // The walk reads in small batches (a sector at a time would be a system
  // call per sector), and a whole partition search spends a bounded number
  // of sectors on it: a disk full of crafted tables cannot make it endless.
  constexpr std::uint64_t kBatch = 64;
  AlignedBuffer batch(kBatch * kSectorSize);
  for (std::uint64_t l = fat_lba + 1; l < limit && g_fat_probe_budget > 0;) {
    const std::uint64_t n = std::min({kBatch, limit - l, g_fat_probe_budget});
    const std::span<std::uint8_t> buf = batch.span().first(n * kSectorSize);
    const bool read = ReadSectors(ctx, drive, l, buf) != 0;
    g_fat_probe_budget -= n;
    for (std::uint64_t i = 0; read && i < n; ++i)
      if (buf[i * kSectorSize] == 0xF8) return l + i - fat_lba;
    l += n;
  }
  return guess;
}

void ResetFatProbeBudget() { g_fat_probe_budget = kFatProbeBudget; }

void SetNtfsRecordDefaults(LOGDRIVE_INFO& record) {
  switch (record.sectors_per_cluster) {
    case 1:
      record.ntfs_record_clusters = 2;
      record.ntfs_index_clusters = 4;
      break;
    case 2:
      record.ntfs_record_clusters = 1;
      record.ntfs_index_clusters = 2;
      break;
    default:
      record.ntfs_record_clusters = 246;
      record.ntfs_index_clusters = 1;
      break;
  }
}

void FitVolumeToDrive(LOGDRIVE_INFO& record, const PHYDRIVE_INFO& drive) {
  if (record.sectors_per_cluster == 0 || record.cluster_count <= 0) return;
  // Where the clusters start: the data area on FAT, the volume's start on NTFS.
  const std::optional<Lba> first = Lba::FromStored(record.fs_type == kFsNtfs ? record.start_lba : record.data_lba);
  const std::uint64_t room = first ? SectorRange{*first, UINT64_MAX}.Within(drive.total_sectors).count : 0;
  const std::uint64_t fit = room / record.sectors_per_cluster;
  // cluster_count is positive here, and a smaller fit fits its field.
  if (fit < static_cast<std::uint64_t>(record.cluster_count)) record.cluster_count = I64(fit);
}

LOGDRIVE_INFO* MountFromBackup(PHYDRIVE_INFO& drive, std::uint64_t lba,
                               std::span<const std::uint8_t> sector) {
  std::uint16_t fat32_backup = 0;
  std::uint64_t ntfs_total = 0;
  if (!le::Read(sector, 50, fat32_backup) || !le::Read(sector, 40, ntfs_total)) return nullptr;
  const Chs chs = LbaToChs(drive, lba);
  std::optional<Lba> v = Lba(lba);
  if (chs.head <= 1 && chs.sector == std::uint64_t{fat32_backup} + 1)
    v = v->Minus(6);
  else if (drive.heads != 0 && chs.head == drive.heads - 1 && chs.sector == drive.sectors_per_track)
    v = v->Minus(ntfs_total);
  if (!v) return nullptr;  // the volume would start before the drive
  LOGDRIVE_INFO* rec = MountLogDrive(v->value, sector);
  if (rec) rec->mount_flags += 0x42;
  return rec;
}
