// Partition tables and boot records as bytes: entries, CHS, type classes and
// the tests the partition search puts every sector to.
#pragma once
#include <cstdint>
#include <cstddef>
#include <span>

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

inline constexpr std::size_t kTableOffset = 446;
inline constexpr std::size_t kEntrySize = 16;
inline constexpr int kEntries = 4;

// One 16-byte table entry, as stored.
struct PartEntry {
  std::uint8_t boot = 0;
  std::uint8_t start_head = 0;
  std::uint16_t start_cs = 0;
  std::uint8_t type = 0;
  std::uint16_t end_cs = 0;
  std::uint32_t start = 0;
  std::uint32_t count = 0;
};

// A short span reads as zeros: an empty entry.
PartEntry ReadEntry(std::span<const std::uint8_t> entry);
// Entry i (0..3) of a table sector; empty when the span is too short.
std::span<const std::uint8_t> EntryAt(std::span<const std::uint8_t> table, int i);
// Whether the sector ends with the 0xAA55 table signature.
bool HasTableSignature(std::span<const std::uint8_t> sector);
bool IsExtended(std::span<const std::uint8_t> entry);

struct Chs {
  std::uint64_t cylinder = 0, head = 0, sector = 0;
};

int IsPartitionSector(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsBootSector(std::span<const std::uint8_t> sector);
int IsBackupBootPosition(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
Chs LbaToChs(const PHYDRIVE_INFO& drive, std::uint64_t lba);
void DecodeChsWord(std::uint16_t word, std::uint64_t& cylinder, std::uint64_t& sector);
// The class of a 16-byte entry; a short span is kOther.
PartClass PartitionClass(std::span<const std::uint8_t> entry);
