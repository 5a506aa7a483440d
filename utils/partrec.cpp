#include "utils/partrec.h"

#include <algorithm>
#include <cstdio>

#include "platform/bytes.h"

namespace {

constexpr std::size_t kTable = 446;
constexpr std::uint8_t kGptProtective = 0xEE;

bool AllZero(std::span<const std::uint8_t> b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

// The usual names of the types met on PC disks; others show the number only.
const char* TypeName(std::uint8_t type) {
  switch (type) {
    case 0x01: return "FAT12";
    case 0x04: return "FAT16 <32M";
    case 0x05: return "extended";
    case 0x06: return "FAT16";
    case 0x07: return "NTFS/exFAT";
    case 0x0B: return "FAT32";
    case 0x0C: return "FAT32 LBA";
    case 0x0E: return "FAT16 LBA";
    case 0x0F: return "extended LBA";
    case 0x82: return "Linux swap";
    case 0x83: return "Linux";
    case 0x8E: return "Linux LVM";
    case 0xA5: return "FreeBSD";
    case 0xEE: return "GPT protective";
    case 0xEF: return "EFI system";
    case 0xFD: return "Linux RAID";
    default: return nullptr;
  }
}

}  // namespace

std::uint16_t PackChsWord(std::uint32_t cylinder, std::uint32_t sector) {
  return static_cast<std::uint16_t>(((cylinder & 0xFF) << 8) | ((cylinder & 0x300) >> 2) | (sector & 0x3F));
}

std::string CheckChs(const ChsValue& chs, const char* which) {
  if (chs.sector < 1 || chs.sector > 63) return std::string(which) + " sector must be 1 to 63";
  if (chs.head > 254) return std::string(which) + " head must be 0 to 254";
  return {};
}

ChsValue ClampChs(const ChsValue& chs) { return chs.cylinder > 1023 ? ChsValue{1023, 254, 63} : chs; }

std::uint8_t PartitionTypeFor(PartFs fs, std::uint32_t total_sectors) {
  switch (fs) {
    case PartFs::kNtfs:
      return 0x07;
    case PartFs::kFat32:
      return 0x0C;
    case PartFs::kFat:
      return total_sectors < 65536 ? 0x04 : 0x06;
  }
  return 0;
}

std::array<std::uint8_t, 16> BuildPartEntry(const PartParams& p) {
  std::array<std::uint8_t, 16> e{};
  std::span<std::uint8_t> b(e);
  const ChsValue s = ClampChs(p.start), t = ClampChs(p.end);
  b[0] = p.boot ? 0x80 : 0x00;
  b[1] = static_cast<std::uint8_t>(s.head);
  le::Write<std::uint16_t>(b, 2, PackChsWord(s.cylinder, s.sector));
  b[4] = PartitionTypeFor(p.fs, static_cast<std::uint32_t>(p.total));
  b[5] = static_cast<std::uint8_t>(t.head);
  le::Write<std::uint16_t>(b, 6, PackChsWord(t.cylinder, t.sector));
  le::Write<std::uint32_t>(b, 8, static_cast<std::uint32_t>(p.first));
  le::Write<std::uint32_t>(b, 12, static_cast<std::uint32_t>(p.total));
  return e;
}

PartPlan PlanPartitionRecord(const PartParams& p, std::span<const std::uint8_t> old_sector,
                             std::uint64_t drive_sectors) {
  PartPlan plan;
  auto refuse = [&](std::string why) {
    plan.refusal = std::move(why);
    return plan;
  };
  if (old_sector.size() != 512) return refuse("the table sector could not be read");
  if (std::string e = CheckChs(p.start, "start"); !e.empty()) return refuse(e);
  if (std::string e = CheckChs(p.end, "end"); !e.empty()) return refuse(e);
  if (p.total == 0) return refuse("the partition has no sectors");
  if (p.first == 0) return refuse("the partition cannot start in the table's own sector");
  if (p.first > 0xFFFFFFFFull || p.total > 0xFFFFFFFFull)
    return refuse("an entry holds sector numbers of at most 32 bits");
  if (p.slot < 0 || p.slot > 4) return refuse("the slot must be 1 to 4");
  if (p.table_lba >= drive_sectors) return refuse("the table sector " + std::to_string(p.table_lba) + " is past the drive's end");
  const std::uint64_t room = drive_sectors - p.table_lba;
  if (p.first >= room || room - p.first < p.total)
    return refuse("sectors " + std::to_string(p.table_lba + p.first) + ".." +
                  std::to_string(p.table_lba + p.first + p.total - 1) + " run past the drive's last sector " +
                  std::to_string(drive_sectors - 1));
  const bool table = old_sector[510] == 0x55 && old_sector[511] == 0xAA;
  if (!table && !AllZero(old_sector))
    return refuse("sector " + std::to_string(p.table_lba) +
                  " is neither empty nor a partition table (no 55 AA); it is left alone");
  for (int i = 0; i < 4; ++i)
    if (old_sector[kTable + 16 * i + 4] == kGptProtective)
      return refuse("sector " + std::to_string(p.table_lba) +
                    " holds a GPT protective entry (type EE): the drive is partitioned with GPT, whose table "
                    "is in the sectors after it, and an entry written here would hide it");
  int slot = p.slot;
  if (slot == 0) {
    for (int i = 0; i < 4 && slot == 0; ++i)
      if (old_sector[kTable + 16 * i + 4] == 0) slot = i + 1;
    if (slot == 0) {
      plan.slot_needed = true;
      return refuse("all four entries of the table are used: choose the one to replace");
    }
  }
  plan.slot = slot;
  plan.sector.assign(old_sector.begin(), old_sector.end());
  const auto entry = BuildPartEntry(p);
  std::copy(entry.begin(), entry.end(), plan.sector.begin() + kTable + 16 * (slot - 1));
  plan.sector[510] = 0x55;
  plan.sector[511] = 0xAA;
  return plan;
}

std::string DescribeSlot(std::span<const std::uint8_t> sector, int slot) {
  if (sector.size() != 512 || slot < 1 || slot > 4) return "unreadable";
  const std::size_t at = kTable + 16 * static_cast<std::size_t>(slot - 1);
  const std::uint8_t type = sector[at + 4];
  if (type == 0) return "empty";
  char hex[8];
  std::snprintf(hex, sizeof hex, "%02X", type);
  const char* name = TypeName(type);
  return "type " + std::string(hex) + (name ? std::string(" (") + name + ")" : std::string()) + ", start " +
         std::to_string(le::U32(sector, at + 8)) + ", " + std::to_string(le::U32(sector, at + 12)) + " sectors" +
         (sector[at] == 0x80 ? ", bootable" : "");
}
