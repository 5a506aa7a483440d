// One partition table entry built from CHS and LBA values and placed into a
// table sector that is kept otherwise. Pure bytes: the caller reads the
// sector and writes the result.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum class PartFs { kNtfs, kFat32, kFat };

struct ChsValue {
  std::uint32_t cylinder = 0;
  std::uint32_t head = 0;
  std::uint32_t sector = 1;
};

// The cylinder/sector word of an entry: high byte the low 8 cylinder bits,
// low byte the sector with cylinder bits 8-9 in its top two bits.
std::uint16_t PackChsWord(std::uint32_t cylinder, std::uint32_t sector);
// Empty when head and sector are in range (head 0-254, sector 1-63).
std::string CheckChs(const ChsValue& chs, const char* which);
// Cylinders past 1023 cannot be told in an entry: they read 1023/254/63.
ChsValue ClampChs(const ChsValue& chs);

std::uint8_t PartitionTypeFor(PartFs fs, std::uint32_t total_sectors);

struct PartParams {
  PartFs fs = PartFs::kNtfs;
  ChsValue start{0, 0, 1};
  ChsValue end{0, 0, 1};
  std::uint64_t first = 63;  // relative to the table's sector
  std::uint64_t total = 0;
  std::uint64_t table_lba = 0;
  int slot = 0;  // 1-4; 0 puts the entry into the first empty one
  bool boot = false;
};

std::array<std::uint8_t, 16> BuildPartEntry(const PartParams& p);

struct PartPlan {
  std::vector<std::uint8_t> sector;  // the new table sector
  int slot = 0;                      // 1-4, the entry written
  bool slot_needed = false;          // all four used and none chosen
  std::string refusal;
};
// Checks the values and the sector the entry goes into (read from the drive
// first: all zeros or a table with 55 AA; never a GPT protective table).
PartPlan PlanPartitionRecord(const PartParams& p, std::span<const std::uint8_t> old_sector,
                             std::uint64_t drive_sectors);

// Entry slot (1-4) of a 512-byte table sector as the operator chooses among
// them: "type 07 (NTFS/exFAT), start 63, 1000 sectors"; "empty" for type 0.
std::string DescribeSlot(std::span<const std::uint8_t> sector, int slot);
