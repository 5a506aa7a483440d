// Boot records built from a volume's parameters: FAT12/16, FAT32 (boot
// sector, FSInfo, third sector) and NTFS, with their backups. Pure bytes:
// the caller reads parameters and writes the planned sectors.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "utils/undo.h"

enum class BootFs { kFat12, kFat16, kFat32, kNtfs };
// The family whose boot conventions the record follows (OEM name, where the
// boot program sits); both carry our own stub as the program.
enum class OsFamily { kNt, k9x };

struct BootGeometry {
  std::uint32_t sectors_per_track = 63;
  std::uint32_t heads = 255;
  std::uint32_t drive_number = 0;  // 0 for the first drive: BIOS number 0x80
};

struct BootParams {
  BootFs fs = BootFs::kNtfs;
  OsFamily os = OsFamily::kNt;
  std::uint64_t start_lba = 0;
  // The partition's sectors. An NTFS record names one fewer: the last one
  // holds its backup.
  std::uint64_t total_sectors = 0;
  std::uint32_t sectors_per_cluster = 8;
  std::uint32_t root_cluster = 2;  // FAT32 root directory, NTFS $MFT
  std::uint32_t fat_sectors = 0;
  std::uint32_t reserved_sectors = 1;
  std::uint64_t hidden_sectors = 0;
  std::uint64_t mftmirr_cluster = 0;
};

inline constexpr std::size_t kFat32BootBytes = 1536;
inline constexpr std::uint32_t kFat32BackupSector = 6;
inline constexpr std::uint32_t kFat32Reserved = 32;
inline constexpr std::uint32_t kFat12MaxClusters = 4084;

std::array<std::uint8_t, kFat32BootBytes> BuildFat32Boot(const BootParams& p, const BootGeometry& g);
std::array<std::uint8_t, 512> BuildFat16Boot(const BootParams& p, const BootGeometry& g);
std::array<std::uint8_t, 512> BuildNtfsBoot(const BootParams& p, const BootGeometry& g);

// The signed byte an NTFS boot sector gives a structure's size by: clusters
// when a cluster is no larger, else minus log2 of the bytes.
std::int8_t NtfsClustersPerUnit(std::uint32_t unit_bytes, std::uint32_t sectors_per_cluster);

// The data clusters of a FAT12/16 volume (512 root entries) or FAT32 volume.
std::uint64_t FatDataClusters(const BootParams& p);
// FAT16 from 4085 data clusters up, else FAT12.
BootFs FatKindFor(const BootParams& p);
// The smallest FAT that maps every data cluster of the volume, as the FAT
// type's entry width asks; p.fs and p.reserved_sectors are used.
std::uint32_t EstimateFatSectors(const BootParams& p);
// The $MFT mirror where mkntfs puts it: half the volume's clusters.
std::uint64_t DefaultMftMirrCluster(const BootParams& p);

// The writes the parameters ask for, checked: a reason when they describe
// an impossible volume or reach past drive_sectors (nothing is to be written).
struct BootPlan {
  std::vector<SectorWrite> writes;
  std::string refusal;
};
BootPlan PlanBootRecord(const BootParams& p, const BootGeometry& g, std::uint64_t drive_sectors);

// The $MFTMirr cluster read from record 1 of an $MFT: `records` holds the
// first two 1024-byte records as read from disk. Nullopt when they are not
// readable as records 0 and 1.
std::optional<std::uint64_t> MftMirrFromRecords(std::span<const std::uint8_t> records);
