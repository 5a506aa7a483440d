#include "volume/partition.h"

#include <algorithm>
#include <unordered_set>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/bytes.h"
#include "platform/lba.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

namespace {

constexpr std::size_t kTableOffset = 446;
constexpr std::size_t kEntrySize = 16;
constexpr int kEntries = 4;
constexpr std::size_t kSignatureOffset = 510;
constexpr std::uint16_t kSignature = 0xAA55;
// A chain longer than this is hostile or broken; every EBR of a real chain is
// also met directly by the scan, so stopping here loses no volume.
constexpr std::size_t kMaxChainLinks = 128;

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

bool HasSignature(std::span<const std::uint8_t> s) {
  std::uint16_t w = 0;
  return le::Read(s, kSignatureOffset, w) && w == kSignature;
}

bool AllBytesAre(std::span<const std::uint8_t> bytes, std::uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

std::uint64_t ChsSectorOf(std::uint16_t word) {
  std::uint64_t cylinder = 0, sector = 0;
  DecodeChsWord(word, cylinder, sector);
  return sector;
}

bool IsExtended(std::span<const std::uint8_t> entry) { return PartitionClass(entry) == PartClass::kExtended; }

// V = base + start, or nothing when it would not be a sector of the drive.
std::optional<Lba> CandidateLba(const PHYDRIVE_INFO& drive, Lba base, std::uint32_t start) {
  const std::optional<Lba> v = base.Plus(start);
  if (!v || v->value >= drive.total_sectors) return std::nullopt;
  return v;
}

// Steps 4 to 7 of a table walk for one candidate at V; a record that must be
// built from the entry is built from `build_from`.
void OfferCandidate(AppContext& ctx, PHYDRIVE_INFO& drive, Lba v, std::span<const std::uint8_t> build_from) {
  if (IsLogDriveListed(ctx, v.value)) return;
  std::array<std::uint8_t, kSectorSize> sector{};
  if (!ReadSectors(ctx, drive, v.value, sector)) return;
  LOGDRIVE_INFO* rec = IsBootSector(sector) ? MountLogDrive(ctx, v.value, sector)
                                            : BuildLogDriveFromEntry(ctx, drive, build_from, v.value);
  if (!rec) return;
  FitVolumeToDrive(*rec, drive);
  AddLOGDrive(ctx, rec);
}

// The EBRs that the chain walks of the running partition search have taken.
// A disk with a table at every table position (copies of one MBR, or tables
// leading into a shared web of EBRs) would otherwise re-walk the same chain
// from every table: up to kMaxChainLinks sector reads per table. The
// candidates of an EBR do not depend on the walk that reached it, so once
// offered they are listed and a second walk adds no row for them; only a
// second extended partition claiming the same EBR (another lead entry or
// chain start) could have differed, and a real disk has one.
std::unordered_set<std::uint64_t>& WalkedEbrs() {
  static std::unordered_set<std::uint64_t> walked;
  return walked;
}

struct ChainWalk {
  Lba extended_start;  // links are relative to the first EBR of the chain
  std::size_t links = 0;
};

void WalkChainLink(AppContext& ctx, PHYDRIVE_INFO& drive, ChainWalk& walk, std::span<const std::uint8_t> lead, Lba x) {
  // A chain that comes back to an EBR already walked, or runs on without end, stops here.
  if (walk.links >= kMaxChainLinks) return;
  if (!WalkedEbrs().insert(x.value).second) return;
  ++walk.links;
  if (x.value >= drive.total_sectors) return;

  std::array<std::uint8_t, kSectorSize> ebr{};
  if (!ReadSectors(ctx, drive, x.value, ebr)) return;
  // Only a sector that ends with the table signature is an EBR; anything else
  // (a data sector a stale link points to) would turn random bytes into rows.
  if (!HasSignature(ebr)) return;

  for (int i = 0; i < kEntries; ++i) {
    const std::span<const std::uint8_t> e = EntryAt(ebr, i);
    const PartEntry p = ReadEntry(e);
    if (IsExtended(e))
      if (const std::optional<Lba> next = walk.extended_start.Plus(p.start)) WalkChainLink(ctx, drive, walk, e, *next);
    if (const std::optional<Lba> v = CandidateLba(drive, x, p.start)) OfferCandidate(ctx, drive, *v, lead);
  }
}

std::string FormatSize(std::int64_t total_sectors) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f GB", static_cast<double>(total_sectors) / 2097152.0);
  return buf;
}

}  // namespace

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

void BeginPartitionSearch() { WalkedEbrs().clear(); }

int IsPartitionSector(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector) {
  // The signature rejects almost every sector, so it goes first; all the
  // tests are pure, so their order does not change the answer.
  if (!HasSignature(sector)) return 0;
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
  if (!HasSignature(s)) return 0;  // cheapest and most selective first
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

void ClassifyScanSector(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector) {
  // Both tests need the signature; most sectors end here.
  if (!HasSignature(sector)) return;
  if (IsPartitionSector(drive, lba, sector))
    WalkPartitionTable(ctx, drive, lba, sector);
  else if (IsBootSector(sector))
    AddBootSectorVolume(ctx, drive, lba, sector);
}

void WalkPartitionTable(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t base_lba,
                        std::span<const std::uint8_t> table) {
  for (int i = 0; i < kEntries; ++i) {
    const std::span<const std::uint8_t> e = EntryAt(table, i);
    const PartEntry p = ReadEntry(e);
    if (p.count == 0) continue;
    if (IsExtended(e)) {
      WalkExtendedChain(ctx, drive, e, p.start);
      continue;
    }
    if (const std::optional<Lba> v = CandidateLba(drive, Lba(base_lba), p.start)) OfferCandidate(ctx, drive, *v, e);
  }
}

void WalkExtendedChain(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> entry,
                       std::uint64_t ebr_lba) {
  ChainWalk walk;
  walk.extended_start = Lba(ebr_lba);
  WalkChainLink(ctx, drive, walk, entry, walk.extended_start);
}

void AddBootSectorVolume(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba,
                         std::span<const std::uint8_t> sector) {
  if (lba >= drive.total_sectors || IsLogDriveListed(ctx, lba)) return;
  LOGDRIVE_INFO* rec = IsBackupBootPosition(drive, lba, sector) ? MountFromBackup(ctx, drive, lba, sector)
                                                                : MountLogDrive(ctx, lba, sector);
  if (!rec) return;
  FitVolumeToDrive(*rec, drive);
  AddLOGDrive(ctx, rec);
}

LOGDRIVE_INFO* MountFromBackup(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba,
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
  if (IsLogDriveListed(ctx, v->value)) return nullptr;
  LOGDRIVE_INFO* rec = MountLogDrive(ctx, v->value, sector);
  if (rec) rec->mount_flags += 0x42;
  return rec;
}

namespace {

// The start LBAs of the listed rows. The search asks for every candidate, and
// a disk full of boot records makes the list long: a walk over the rows per
// question would make the search quadratic. Rebuilt whenever the rows
// changed other than by AddLOGDrive.
struct ListedStarts {
  const ListView* list = nullptr;
  std::uint64_t rows_version = ~0ULL;
  std::unordered_set<std::int64_t> lbas;  // as the records keep them
};

ListedStarts& Listed(const ListView* list) {
  static ListedStarts listed;
  if (listed.list != list || listed.rows_version != list->rows_version) {
    listed.list = list;
    listed.rows_version = list->rows_version;
    listed.lbas.clear();
    for (const ListRow& row : list->rows)
      if (const auto* rec = static_cast<const LOGDRIVE_INFO*>(row.data))
        listed.lbas.insert(rec->start_lba);
  }
  return listed;
}

}  // namespace

int IsLogDriveListed(AppContext& ctx, std::uint64_t lba) {
  if (!ctx.log_list) return 0;
  return Listed(ctx.log_list).lbas.count(Lba(lba).Stored()) ? 1 : 0;
}

int AddLOGDrive(AppContext& ctx, LOGDRIVE_INFO* record) {
  if (!record) return 0;
  const int n = ListView_GetItemCount(ctx.log_list);
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64, record->start_lba);
  ListedStarts& listed = Listed(ctx.log_list);
  const int row = ListView_InsertItem(ctx.log_list, n, text, 0, record);
  if (row >= 0) {
    // Keep the set in step with this insertion instead of rebuilding it.
    listed.lbas.insert(record->start_lba);
    listed.rows_version = ctx.log_list->rows_version;
  }
  if (row < 0) {
    ShowErrorBox("AddLOGDrive: InsertItem FAILED for LBA (%" PRId64 ")", record->start_lba);
    return 0;
  }
  ListView_SetItemText(ctx.log_list, row, 1, record->fs_name);
  ListView_SetItemText(ctx.log_list, row, 2, FormatSize(record->total_sectors));
  return 1;
}

void SortLogDriveList(AppContext& ctx) {
  if (ListView_GetItemCount(ctx.log_list) == 0) return;
  std::vector<LOGDRIVE_INFO*> records;
  records.reserve(ctx.log_list->rows.size());
  for (const ListRow& row : ctx.log_list->rows)
    if (row.data) records.push_back(static_cast<LOGDRIVE_INFO*>(row.data));
  // Start LBAs are unique in the list, so any correct sort gives the one order.
  std::stable_sort(records.begin(), records.end(),
                   [](const LOGDRIVE_INFO* a, const LOGDRIVE_INFO* b) { return a->start_lba < b->start_lba; });
  ListView_DeleteAllItems(ctx.log_list);  // the records stay alive
  for (LOGDRIVE_INFO* rec : records) AddLOGDrive(ctx, rec);
}
