#include "volume/direct_mount.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <optional>
#include <span>
#include <vector>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/bytes.h"
#include "volume/logdrive.h"
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume/search.h"

namespace {

using Sector = std::array<std::uint8_t, kSectorSize>;
using Entry = std::array<std::uint8_t, kEntrySize>;

// As in the search's chain walk: a longer chain is hostile or broken.
constexpr std::size_t kMaxChainLinks = 128;

Entry CopyEntry(const Sector& table, int i) {
  Entry e{};
  const std::span<const std::uint8_t> src = EntryAt(table, i);
  std::copy(src.begin(), src.end(), e.begin());
  return e;
}

std::uint32_t EntryStart(const Entry& e) { return ReadEntry(e).start; }
std::uint32_t EntryCount(const Entry& e) { return ReadEntry(e).count; }

// The search offers every candidate of the tables it meets; the first offer of
// a sector decides its row. This walks the tables at LBA 0 in the search's
// order and keeps the entry the first offer of `target` would build from.
struct TableWalk {
  TableWalk(AppContext& c, PHYDRIVE_INFO& d, std::uint64_t t) : ctx(c), drive(d), target(t) {}
  AppContext& ctx;
  PHYDRIVE_INFO& drive;
  std::uint64_t target = 0;
  std::optional<Entry> build_from;
  std::uint64_t extended_start = 0;
  std::vector<std::uint64_t> visited;

  void Offer(std::uint64_t base, std::uint32_t start, const Entry& from) {
    if (build_from || base > UINT64_MAX - start) return;
    const std::uint64_t v = base + start;
    if (v < drive.total_sectors && v == target) build_from = from;
  }

  void ChainLink(const Entry& lead, std::uint64_t x) {
    if (build_from || visited.size() >= kMaxChainLinks) return;
    if (std::find(visited.begin(), visited.end(), x) != visited.end()) return;
    visited.push_back(x);
    if (x >= drive.total_sectors) return;
    Sector ebr{};
    if (!ReadSectors(ctx, drive, x, ebr) || !HasTableSignature(ebr)) return;
    for (int i = 0; i < kEntries; ++i) {
      const Entry e = CopyEntry(ebr, i);
      if (IsExtended(e) && extended_start <= UINT64_MAX - EntryStart(e))
        ChainLink(e, extended_start + EntryStart(e));
      Offer(x, EntryStart(e), lead);
    }
  }

  void Table(const Sector& mbr) {
    for (int i = 0; i < kEntries && !build_from; ++i) {
      const Entry e = CopyEntry(mbr, i);
      if (EntryCount(e) == 0) continue;
      if (IsExtended(e)) {
        extended_start = EntryStart(e);
        visited.clear();
        ChainLink(e, EntryStart(e));
        continue;
      }
      Offer(0, EntryStart(e), e);
    }
  }
};

int RowStartingAt(AppContext& ctx, std::uint64_t lba) {
  for (int r = 0; r < ListView_GetItemCount(ctx.log_list); ++r) {
    const auto* v = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, r));
    if (v && static_cast<std::uint64_t>(v->start_lba) == lba) return r;
  }
  return -1;
}

LOGDRIVE_INFO* Mount(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, const Sector& at_lba) {
  Sector mbr{};
  std::optional<Entry> entry;
  if (ReadSectors(ctx, drive, 0, mbr) && IsPartitionSector(drive, 0, mbr)) {
    TableWalk walk(ctx, drive, lba);
    walk.Table(mbr);
    entry = walk.build_from;
  }
  if (entry) {
    DebugPrint("MountVolumeAt: LBA %" PRIu64 " from a partition entry", lba);
    return IsBootSector(at_lba) ? MountLogDrive(lba, at_lba) : BuildLogDriveFromEntry(ctx, drive, *entry, lba);
  }
  // The search walks a sector that passes as a table instead of mounting it,
  // and takes a boot record on a backup position for the backup of a volume
  // further back: both cases are left to it.
  if (IsBootSector(at_lba) && !IsPartitionSector(drive, lba, at_lba) && !IsBackupBootPosition(drive, lba, at_lba)) {
    DebugPrint("MountVolumeAt: LBA %" PRIu64 " from its boot record", lba);
    return MountLogDrive(lba, at_lba);
  }
  return nullptr;
}

}  // namespace

LOGDRIVE_INFO* MountVolumeAt(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba) {
  if (lba >= drive.total_sectors) return nullptr;
  if (const int row = RowStartingAt(ctx, lba); row >= 0)
    return static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, row));
  Sector at_lba{};
  if (!ReadSectors(ctx, drive, lba, at_lba)) return nullptr;
  ResetFatProbeBudget();  // one allowance, as one search gets
  LOGDRIVE_INFO* rec = Mount(ctx, drive, lba, at_lba);
  // An entry whose backup boot record places the volume elsewhere gives a
  // record the search would list at that other start, not here.
  if (!rec || rec->start_lba < 0 || static_cast<std::uint64_t>(rec->start_lba) != lba) {
    DebugPrint("MountVolumeAt: no volume starts at LBA %" PRIu64, lba);
    return nullptr;
  }
  FitVolumeToDrive(*rec, drive);
  return AddLOGDrive(ctx, rec) ? rec : nullptr;
}

std::uint64_t SectorsPastDriveEnd(const LOGDRIVE_INFO& vol, const PHYDRIVE_INFO& drive) {
  const std::uint64_t start = vol.start_lba > 0 ? static_cast<std::uint64_t>(vol.start_lba) : 0;
  const std::uint64_t size = vol.total_sectors > 0 ? static_cast<std::uint64_t>(vol.total_sectors) : 0;
  const std::uint64_t end = start > UINT64_MAX - size ? UINT64_MAX : start + size;
  if (start >= drive.total_sectors) return size;
  return end > drive.total_sectors ? end - drive.total_sectors : 0;
}
