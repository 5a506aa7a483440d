#include "volume/partition.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "disk/phydrive.h"
#include "platform/bytes.h"
#include "platform/lba.h"
#include "volume/logdrive.h"

namespace {

constexpr std::size_t kSignatureOffset = 510;
constexpr std::uint16_t kSignature = 0xAA55;

bool AllBytesAre(std::span<const std::uint8_t> bytes, std::uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

std::uint64_t ChsSectorOf(std::uint16_t word) {
  std::uint64_t cylinder = 0, sector = 0;
  DecodeChsWord(word, cylinder, sector);
  return sector;
}

}  // namespace

PartEntry ReadEntry(std::span<const std::uint8_t> e) {
  PartEntry p;
  if (e.size() < kEntrySize) return p;
  p.boot = e[0];
  p.start_head = e[1];
  p.start_cs = le::U16(e, 2);
  p.type = e[4];
  p.end_cs = le::U16(e, 6);
  p.start = le::U32(e, 8);
  p.count = le::U32(e, 12);
  return p;
}

std::span<const std::uint8_t> EntryAt(std::span<const std::uint8_t> table, int i) {
  const std::size_t off = kTableOffset + kEntrySize * static_cast<std::size_t>(i);
  if (table.size() < off + kEntrySize) return {};
  return table.subspan(off, kEntrySize);
}

bool HasTableSignature(std::span<const std::uint8_t> s) {
  std::uint16_t w = 0;
  return le::Read(s, kSignatureOffset, w) && w == kSignature;
}

bool IsExtended(std::span<const std::uint8_t> entry) { return PartitionClass(entry) == PartClass::kExtended; }






Chs LbaToChs(const PHYDRIVE_INFO& drive, std::uint64_t lba) {
  // A drive without a geometry has no cylinders: every sector is on "cylinder 0, head 0"
  // and no sector number matches.
  Chs c;
  const std::uint64_t spc = drive.sectors_per_cylinder;
  const std::uint64_t spt = drive.sectors_per_track;
  c.cylinder = spc ? lba / spc : 0;
  const std::uint64_t r = spc ? lba % spc : lba;
  c.head = spt ? r / spt : 0;
  c.sector = spt ? r % spt + 1 : 0;
  return c;
}

void DecodeChsWord(std::uint16_t word, std::uint64_t& cylinder, std::uint64_t& sector) {
  sector = word & 63u;
  cylinder = ((static_cast<std::uint64_t>(word) << 2) & 0x300u) | (word >> 8);
}

PartClass ClassOfType(std::uint8_t type_code) {
  using T = PartitionType;
  switch (static_cast<T>(type_code)) {
    case T::kFat12: return PartClass::kFat12;
    case T::kFat16Small: case T::kFat16: case T::kFat16Lba: return PartClass::kFat16;
    case T::kFat32Chs: case T::kFat32Lba: return PartClass::kFat32;
    case T::kNtfs: return PartClass::kNtfs;
    case T::kType12: return PartClass::kType12;
    case T::kExtendedChs: case T::kExtendedLba: return PartClass::kExtended;
    case T::kTypeDE: return PartClass::kTypeDE;
  }
  return PartClass::kOther;
}

PartClass PartitionClass(std::span<const std::uint8_t> entry) {
  if (entry.size() < 5) return PartClass::kOther;
  return ClassOfType(entry[4]);
}


int IsPartitionSector(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector) {
  // The signature rejects almost every sector, so it goes first; all the
  // tests are pure, so their order does not change the answer.
  if (!HasTableSignature(sector)) return 0;
  const Chs chs = LbaToChs(drive, lba);
  if (chs.head != 0 && chs.sector != 1) return 0;
  bool any = false;
  for (int i = 0; i < kEntries; ++i) {
    const std::span<const std::uint8_t> e = EntryAt(sector, i);
    if (AllBytesAre(e, 0)) continue;
    const PartEntry p = ReadEntry(e);
    if (ChsSectorOf(p.start_cs) != 1) return 0;
    if (ChsSectorOf(p.end_cs) != drive.sectors_per_track) return 0;
    if (p.start_head > 1) return 0;
    if (p.boot != 0x80 && p.boot != 0x00) return 0;
    if (PartitionClass(e) == PartClass::kOther) return 0;
    any = true;
  }
  return any ? 1 : 0;
}

int IsBootSector(std::span<const std::uint8_t> s) {
  if (!HasTableSignature(s)) return 0;  // cheapest and most selective first
  if (s[21] != 0xF8) return 0;
  if (le::U16(s, 11) != 512) return 0;
  switch (s[13]) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64: case 128: break;
    default: return 0;
  }
  return (s[0] == 0xEB || s[2] == 0x90) ? 1 : 0;
}

int IsBackupBootPosition(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector) {
  if (!IsBootSector(sector)) return 0;
  const Chs chs = LbaToChs(drive, lba);
  if (chs.head <= 1 && chs.sector == 7) return 1;  // FAT32: six sectors after a track-aligned start
  if (drive.heads != 0 && chs.head == drive.heads - 1 && chs.sector == drive.sectors_per_track)
    return 1;  // NTFS: the last sector of a cylinder
  return 0;
}






