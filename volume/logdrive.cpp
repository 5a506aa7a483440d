#include "volume/logdrive.h"

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "disk/phydrive.h"
#include "platform/bytes.h"
#include "platform/lba.h"

namespace {
std::vector<std::unique_ptr<LOGDRIVE_INFO>>& LogDrives() {
  static std::vector<std::unique_ptr<LOGDRIVE_INFO>> all;
  return all;
}
}  // namespace

LOGDRIVE_INFO* NewLogDrive() { return LogDrives().emplace_back(std::make_unique<LOGDRIVE_INFO>()).get(); }

void FreeAllLogDrives() { LogDrives().clear(); }

std::array<std::uint8_t, kLogDriveInfoSize> LogDriveToBytes(const LOGDRIVE_INFO& d) {
  std::array<std::uint8_t, kLogDriveInfoSize> out{};
  std::span<std::uint8_t> b(out);
  // 0, 4, 8: pointer slots, written as zero.
  le::WriteBytes(b, 112, d.oem_name, 8);
  le::WriteBytes(b, 121, d.fs_name, 8);
  le::Write<std::uint32_t>(b, 130, d.ntfs_record_clusters);
  le::Write<std::uint32_t>(b, 134, d.ntfs_index_clusters);
  le::Write<std::uint32_t>(b, 138, d.root_cluster);
  le::Write<std::uint32_t>(b, 142, d.fs_type);
  le::Write<std::uint32_t>(b, 146, d.oem_index);
  le::Write<std::uint32_t>(b, 154, d.sectors_per_cluster);
  le::Write<std::uint32_t>(b, 158, d.mft_record_size);
  le::Write<std::uint32_t>(b, 162, d.bytes_per_sector);
  le::Write<std::uint32_t>(b, 166, d.bytes_per_cluster);
  le::Write<std::uint32_t>(b, 170, d.entries_per_cluster);
  le::Write<std::uint32_t>(b, 174, d.fat_entries_per_sector);
  le::Write<std::uint32_t>(b, 178, d.mft_records_per_cluster);
  le::Write<std::int64_t>(b, 182, d.fat_bytes);
  le::Write<std::int64_t>(b, 198, d.mount_flags);
  le::Write<std::int64_t>(b, 206, d.fat_sectors);
  le::Write<std::int64_t>(b, 214, d.start_lba);
  le::Write<std::int64_t>(b, 222, d.total_sectors);
  le::Write<std::int64_t>(b, 230, d.backup_boot_lba);
  le::Write<std::int64_t>(b, 238, d.fat_lba);
  le::Write<std::int64_t>(b, 246, d.reserved_sectors);
  le::Write<std::int64_t>(b, 254, d.hidden_sectors);
  le::Write<std::int64_t>(b, 262, d.root_lba);
  le::Write<std::int64_t>(b, 270, d.mft_lba);
  le::Write<std::int64_t>(b, 278, d.mftmirr_lba);
  le::Write<std::int64_t>(b, 286, d.mftmirr_cluster);
  le::Write<std::int64_t>(b, 294, d.data_lba);
  le::Write<std::int64_t>(b, 302, d.cluster_count);
  le::Write<std::int64_t>(b, 310, d.files_found);
  le::Write<std::int64_t>(b, 318, d.dirs_found);
  le::Write<std::int64_t>(b, 326, d.spare_count);
  return out;
}

bool LogDriveFromBytes(std::span<const std::uint8_t> b, LOGDRIVE_INFO& d) {
  if (b.size() < kLogDriveInfoSize) return false;
  d = LOGDRIVE_INFO{};
  std::memcpy(d.oem_name, b.data() + 112, 8);
  std::memcpy(d.fs_name, b.data() + 121, 8);
  d.ntfs_record_clusters = le::U32(b, 130);
  d.ntfs_index_clusters = le::U32(b, 134);
  d.root_cluster = le::U32(b, 138);
  d.fs_type = le::U32(b, 142);
  d.oem_index = le::U32(b, 146);
  d.sectors_per_cluster = le::U32(b, 154);
  d.mft_record_size = le::U32(b, 158);
  d.bytes_per_sector = le::U32(b, 162);
  d.bytes_per_cluster = le::U32(b, 166);
  d.entries_per_cluster = le::U32(b, 170);
  d.fat_entries_per_sector = le::U32(b, 174);
  d.mft_records_per_cluster = le::U32(b, 178);
  auto i64 = [&](std::size_t o) { return static_cast<std::int64_t>(le::U64(b, o)); };
  d.fat_bytes = i64(182);
  d.mount_flags = i64(198);
  d.fat_sectors = i64(206);
  d.start_lba = i64(214);
  d.total_sectors = i64(222);
  d.backup_boot_lba = i64(230);
  d.fat_lba = i64(238);
  d.reserved_sectors = i64(246);
  d.hidden_sectors = i64(254);
  d.root_lba = i64(262);
  d.mft_lba = i64(270);
  d.mftmirr_lba = i64(278);
  d.mftmirr_cluster = i64(286);
  d.data_lba = i64(294);
  d.cluster_count = i64(302);
  d.files_found = i64(310);
  d.dirs_found = i64(318);
  d.spare_count = i64(326);
  return true;
}

namespace {

// A cluster read must fit the caller's buffer; a volume record from a
// damaged disk or a saved file can claim any cluster size.
bool ClusterFits(const LOGDRIVE_INFO& vol, std::span<std::uint8_t> buffer) {
  return vol.bytes_per_cluster != 0 && vol.bytes_per_cluster % 512 == 0 && buffer.size() >= vol.bytes_per_cluster;
}

}  // namespace

int ReadVolumeSectors(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, std::uint64_t sector_offset,
                      std::uint32_t sector_count, std::span<std::uint8_t> buffer) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(sector_count) * 512;
  if (buffer.size() < bytes) return 0;
  const std::optional<Lba> start = Lba::FromStored(vol.start_lba);
  const std::optional<Lba> lba = start ? start->Plus(sector_offset) : std::nullopt;
  if (!lba) return 0;
  return ReadSectors(ctx, drive, lba->value, buffer.first(bytes));
}

int ReadCluster(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, std::uint64_t cluster,
                std::span<std::uint8_t> buffer) {
  if (!ClusterFits(vol, buffer)) return 0;
  // A cluster number from a damaged run list must not wrap into some other sector.
  if (cluster > UINT64_MAX / vol.sectors_per_cluster) return 0;
  const std::optional<Lba> start = Lba::FromStored(vol.start_lba);
  const std::optional<Lba> lba = start ? start->Plus(cluster * vol.sectors_per_cluster) : std::nullopt;
  if (!lba) return 0;
  return ReadSectors(ctx, drive, lba->value, buffer.first(vol.bytes_per_cluster));
}

int ReadFatCluster(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, std::uint32_t cluster,
                   std::span<std::uint8_t> buffer) {
  // Clusters 0 and 1 do not exist in the data area; (cluster - 2) would wrap.
  if (cluster < 2 || !ClusterFits(vol, buffer)) return 0;
  // 64-bit: (cluster - 2) x sectors per cluster passes 2^32 on volumes above 2 TiB.
  const std::uint64_t offset = (static_cast<std::uint64_t>(cluster) - 2) * vol.sectors_per_cluster;
  const std::optional<Lba> data = Lba::FromStored(vol.data_lba);
  const std::optional<Lba> lba = data ? data->Plus(offset) : std::nullopt;
  if (!lba) return 0;
  return ReadSectors(ctx, drive, lba->value, buffer.first(vol.bytes_per_cluster));
}
