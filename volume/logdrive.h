// The logical drive record: one per volume, and volume-relative reads.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct AppContext;
struct PHYDRIVE_INFO;

inline constexpr std::size_t kLogDriveInfoSize = 334;

// fs_type codes.
enum : std::uint32_t {
  kFsFat12 = 1,
  kFsFat16 = 2,
  kFsFat32 = 3,
  kFsNtfs = 4,
  kFsBuiltType12 = 5,    // built from a partition entry of type 0x12
  kFsBuiltExtended = 6,  // built from an extended entry (0x05, 0x0F)
  kFsBuiltTypeDE = 7,    // built from a partition entry of type 0xDE
  kFsOther = 8,          // unrecognised type or boot record
};

struct LOGDRIVE_INFO {
  // Set only while the operation that owns the memory runs.
  std::uint32_t* fat1_table = nullptr;
  std::uint32_t* fat2_table = nullptr;
  void* cluster_map = nullptr;
  char oem_name[9] = {};  // 8 bytes, not terminated on disk; the ninth keeps it a string here
  char fs_name[9] = {};
  std::uint32_t ntfs_record_clusters = 0;
  std::uint32_t ntfs_index_clusters = 0;
  std::uint32_t root_cluster = 0;
  std::uint32_t fs_type = 0;
  std::uint32_t oem_index = 0;
  std::uint32_t sectors_per_cluster = 0;
  std::uint32_t mft_record_size = 0;
  std::uint32_t bytes_per_sector = 0;
  std::uint32_t bytes_per_cluster = 0;
  std::uint32_t entries_per_cluster = 0;
  std::uint32_t fat_entries_per_sector = 0;
  std::uint32_t mft_records_per_cluster = 0;
  std::int64_t fat_bytes = 0;
  std::int64_t mount_flags = 0;
  std::int64_t fat_sectors = 0;
  std::int64_t start_lba = 0;
  std::int64_t total_sectors = 0;
  std::int64_t backup_boot_lba = 0;
  std::int64_t fat_lba = 0;
  std::int64_t reserved_sectors = 0;
  std::int64_t hidden_sectors = 0;
  std::int64_t root_lba = 0;
  std::int64_t mft_lba = 0;
  std::int64_t mftmirr_lba = 0;
  std::int64_t mftmirr_cluster = 0;
  std::int64_t data_lba = 0;
  std::int64_t cluster_count = 0;
  std::int64_t files_found = 0;
  std::int64_t dirs_found = 0;
  std::int64_t spare_count = 0;
};

// Volume records live until the program ends (a loaded scan may still refer
// to one after its row is gone); this is where they are kept.
LOGDRIVE_INFO* NewLogDrive();
void FreeAllLogDrives();

// The 334-byte stored image; pointer slots are written as zero.
std::array<std::uint8_t, kLogDriveInfoSize> LogDriveToBytes(const LOGDRIVE_INFO& d);
// Reads a stored image (pointer slots ignored); false when the span is too short.
bool LogDriveFromBytes(std::span<const std::uint8_t> bytes, LOGDRIVE_INFO& d);

int ReadVolumeSectors(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, std::uint64_t sector_offset,
                      std::uint32_t sector_count, std::span<std::uint8_t> buffer);
int ReadCluster(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, std::uint64_t cluster,
                std::span<std::uint8_t> buffer);
int ReadFatCluster(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, std::uint32_t cluster,
                   std::span<std::uint8_t> buffer);
