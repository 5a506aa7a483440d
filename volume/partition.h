// Partition tables, boot-record registration and the logical-drive list.
#pragma once
#include <cstdint>
#include <span>

#include "app/context.h"
#include "volume/logdrive.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

// Partition type codes of a table entry that the search knows.
enum class PartitionType : std::uint8_t {
  kFat12 = 0x01,
  kFat16Small = 0x04,  // below 32 MiB
  kExtendedChs = 0x05,
  kFat16 = 0x06,
  kNtfs = 0x07,
  kFat32Chs = 0x0B,
  kFat32Lba = 0x0C,
  kFat16Lba = 0x0E,
  kExtendedLba = 0x0F,
  kType12 = 0x12,
  kTypeDE = 0xDE,
};

// What an entry's type code says of its volume. The values are the fs_type
// codes a record built from the entry carries.
enum class PartClass : std::uint32_t {
  kFat12 = kFsFat12,
  kFat16 = kFsFat16,
  kFat32 = kFsFat32,
  kNtfs = kFsNtfs,
  kType12 = kFsBuiltType12,
  kExtended = kFsBuiltExtended,
  kTypeDE = kFsBuiltTypeDE,
  kOther = kFsOther,
};

constexpr std::uint32_t FsTypeOf(PartClass c) { return static_cast<std::uint32_t>(c); }
PartClass ClassOfType(std::uint8_t type_code);

struct Chs {
  std::uint64_t cylinder = 0, head = 0, sector = 0;
};

void ClassifyScanSector(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsPartitionSector(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsBootSector(std::span<const std::uint8_t> sector);
int IsBackupBootPosition(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
Chs LbaToChs(const PHYDRIVE_INFO& drive, std::uint64_t lba);
void DecodeChsWord(std::uint16_t word, std::uint64_t& cylinder, std::uint64_t& sector);
// The class of a 16-byte entry; a short span is kOther.
PartClass PartitionClass(std::span<const std::uint8_t> entry);
// Starts a partition search: the EBRs walked by the last one may be walked again.
void BeginPartitionSearch();
void WalkPartitionTable(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t base_lba, std::span<const std::uint8_t> table);
void WalkExtendedChain(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> entry, std::uint64_t ebr_lba);
void AddBootSectorVolume(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
LOGDRIVE_INFO* MountFromBackup(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsLogDriveListed(AppContext& ctx, std::uint64_t lba);
int AddLOGDrive(AppContext& ctx, LOGDRIVE_INFO* record);
void SortLogDriveList(AppContext& ctx);
