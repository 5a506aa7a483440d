// The partition search's walks: partition tables and extended chains, boot
// records registering their volumes, and the logical-drive list they fill.
#include "volume/search.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "disk/phydrive.h"
#include "platform/controls.h"
#include "platform/lba.h"
#include "volume/logdrive.h"
#include "volume/mount.h"
#include "volume/partition.h"

namespace {

// A chain longer than this is hostile or broken; every EBR of a real chain is
// also met directly by the scan, so stopping here loses no volume.
constexpr std::size_t kMaxChainLinks = 128;

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
  LOGDRIVE_INFO* rec = IsBootSector(sector) ? MountLogDrive(v.value, sector)
                                            : BuildLogDriveFromEntry(ctx, drive, build_from, v.value);
  // A record mounted from a backup starts elsewhere; it may be listed already.
  if (!rec || IsLogDriveListed(ctx, static_cast<std::uint64_t>(rec->start_lba))) return;
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
  if (!HasTableSignature(ebr)) return;

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

void BeginPartitionSearch() { WalkedEbrs().clear(); }

void ClassifyScanSector(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector) {
  // Both tests need the signature; most sectors end here.
  if (!HasTableSignature(sector)) return;
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
  LOGDRIVE_INFO* rec = IsBackupBootPosition(drive, lba, sector) ? MountFromBackup(drive, lba, sector)
                                                                : MountLogDrive(lba, sector);
  if (!rec || IsLogDriveListed(ctx, static_cast<std::uint64_t>(rec->start_lba))) return;
  FitVolumeToDrive(*rec, drive);
  AddLOGDrive(ctx, rec);
}

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
