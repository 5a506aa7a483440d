#include <algorithm>
#include <bit>
#include <chrono>
#include <new>

#include "disk/phydrive.h"
#include "fat/fat.h"
#include "platform/bytes.h"

namespace {

// FAT32 cluster numbers are 28 bits; marks from 0x0FFFFFF7 up are not clusters.
constexpr std::uint64_t kMaxFat32Cluster = 0x0FFFFFF6;
constexpr std::size_t kSlotsPerSector = kSectorSize / kDirEntrySize;

bool IsInvalidNameChar(std::uint8_t b) {
  if (b <= 0x04 || (b >= 0x06 && b <= 0x1F) || b == 0x7F) return true;
  switch (b) {
    case '"': case '*': case '+': case ',': case '/': case ':': case ';':
    case '<': case '=': case '>': case '?': case '[': case '\\': case ']': case '|':
      return true;
    default:
      return false;
  }
}

bool IsLower(std::uint8_t b) { return b >= 'a' && b <= 'z'; }

bool NameBytesValid(std::span<const std::uint8_t> e, bool accept_high) {
  if (e[0] == ' ') return false;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint8_t b = e[i];
    if (IsInvalidNameChar(b) || IsLower(b) || (b >= 0x80 && b != kDeletedMark && !accept_high)) return false;
  }
  for (std::size_t i = 8; i < 11; ++i) {
    const std::uint8_t b = e[i];
    if (IsInvalidNameChar(b) || IsLower(b) || (b >= 0x80 && !accept_high)) return false;
  }
  return true;
}

// After the first blank at positions 1.. of a field, only blanks may follow.
bool NoEmbeddedBlank(std::span<const std::uint8_t> field) {
  bool blank_seen = false;
  for (std::size_t i = 1; i < field.size(); ++i) {
    if (field[i] == ' ')
      blank_seen = true;
    else if (blank_seen)
      return false;
  }
  return true;
}

bool DateValid(std::uint16_t date, int current_year, bool any_year) {
  const int day = date & 31;
  const int month = (date >> 5) & 15;
  const int year = ((date >> 9) & 127) + 1980;
  if (day < 1 || day > 31 || month < 1 || month > 12) return false;
  if ((month == 4 || month == 6 || month == 9 || month == 11) && day > 30) return false;
  if (month == 2 && day > 29) return false;
  return any_year || (year >= 1990 && year <= current_year);
}

bool TimeValid(std::uint16_t time) {
  return (time & 31) <= 30 && ((time >> 5) & 63) < 60 && ((time >> 11) & 31) < 24;
}

// The text of a fixed-width field up to its first blank (or NUL).
std::string FieldText(std::span<const std::uint8_t> field) {
  std::string s;
  for (std::uint8_t b : field) {
    if (b == ' ' || b == 0) break;
    s.push_back(static_cast<char>(b));
  }
  return s;
}

}  // namespace

std::uint64_t LastCluster(const LOGDRIVE_INFO& vol) {
  if (vol.cluster_count <= 0) return 1;
  return std::min<std::uint64_t>(static_cast<std::uint64_t>(vol.cluster_count) + 1, kMaxFat32Cluster);
}

std::uint64_t FatClusterLba(const LOGDRIVE_INFO& vol, std::uint32_t cluster) {
  const std::uint64_t k = cluster >= 2 ? cluster - 2u : 0;
  return static_cast<std::uint64_t>(vol.data_lba) + k * vol.sectors_per_cluster;
}

std::uint64_t FatSectorsToLoad(const LOGDRIVE_INFO& vol) {
  if (vol.fat_sectors <= 0 || vol.cluster_count <= 0) return 0;
  const std::uint64_t entries = LastCluster(vol) + 1;
  const std::uint64_t needed = (entries * 4 + kSectorSize - 1) / kSectorSize;
  return std::min<std::uint64_t>(needed, static_cast<std::uint64_t>(vol.fat_sectors));
}

std::uint32_t NextCluster(const LOGDRIVE_INFO& vol, std::span<const std::uint32_t> fat, std::uint32_t cluster) {
  if (cluster > LastCluster(vol) || cluster >= fat.size()) return kEndOfChain;
  const std::uint32_t v = fat[cluster] & 0x0FFFFFFFu;
  if (v >= 0x0FFFFFF8u || v < 2) return kEndOfChain;
  return v <= LastCluster(vol) ? v : kEndOfChain;  // also ends at the bad mark 0x0FFFFFF7
}

int IsLongNameEntry(std::span<const std::uint8_t> e) {
  return e.size() >= kDirEntrySize && e[11] == kAttrLongName && le::U16(e, 26) == 0;
}

int CurrentUtcYear() {
  using namespace std::chrono;
  const year_month_day ymd{floor<days>(system_clock::now())};
  return static_cast<int>(ymd.year());
}

int IsValidDirEntry(const LOGDRIVE_INFO& vol, std::span<const std::uint8_t> e) {
  return IsValidDirEntry(vol, e, -1);
}

int IsValidDirEntry(const LOGDRIVE_INFO& vol, std::span<const std::uint8_t> e, int current_year) {
  return IsValidDirEntry(vol, e, current_year, EntryContext::Search);
}

int IsValidDirEntry(const LOGDRIVE_INFO& vol, std::span<const std::uint8_t> e, int current_year, EntryContext where) {
  const bool live = where == EntryContext::LiveDirectory;
  if (e.size() < kDirEntrySize || IsLongNameEntry(e)) return 0;
  if (!NameBytesValid(e, live)) return 0;
  const std::uint8_t attr = e[11];
  if (!(attr & kAttrVolumeLabel) && (!NoEmbeddedBlank(e.subspan(0, 8)) || !NoEmbeddedBlank(e.subspan(8, 3))))
    return 0;
  if (!DateValid(le::U16(e, 24), current_year >= 0 ? current_year : CurrentUtcYear(), live)) return 0;
  if (!TimeValid(le::U16(e, 22))) return 0;
  if (EntryFirstCluster(e) > LastCluster(vol)) return 0;
  if ((attr & (kAttrDirectory | kAttrVolumeLabel)) && le::U32(e, 28) != 0) return 0;
  return 1;
}

FAT_DIR_ENTRY DecodeDirEntry(std::span<const std::uint8_t> e) {
  FAT_DIR_ENTRY d;
  if (e.size() < kDirEntrySize) return d;
  d.attributes = e[11];
  std::copy_n(e.begin(), 8, d.name);
  std::copy_n(e.begin() + 8, 3, d.extension);
  d.first_cluster = EntryFirstCluster(e);
  d.size = le::U32(e, 28);
  const std::uint16_t time = le::U16(e, 22);
  const std::uint16_t date = le::U16(e, 24);
  d.hours = (time >> 11) & 31;
  d.minutes = (time >> 5) & 63;
  d.two_seconds = time & 31;
  d.day = date & 31;
  d.month = (date >> 5) & 15;
  d.year = ((date >> 9) & 127) + 1980;
  return d;
}

std::uint32_t EntryFirstCluster(std::span<const std::uint8_t> e) {
  if (e.size() < kDirEntrySize) return 0;
  return (static_cast<std::uint32_t>(le::U16(e, 20)) << 16) + le::U16(e, 26);
}

// ---- Long names ------------------------------------------------------------------

std::vector<DirEntry> GatherLongNameEntries(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                            const EntryPlace& place) {
  std::vector<DirEntry> out;
  auto take = [&](std::span<const std::uint8_t> slot) {
    if (!IsLongNameEntry(slot)) return false;
    DirEntry e;
    std::copy_n(slot.begin(), kDirEntrySize, e.begin());
    out.push_back(e);
    return out.size() < kMaxLongNameEntries;
  };

  // Within the entry's own cluster.
  const std::size_t in_buffer = place.cluster.size() / kDirEntrySize;
  for (std::size_t s = std::min(place.slot, in_buffer); s > 0;) {
    --s;
    if (!take(place.cluster.subspan(s * kDirEntrySize, kDirEntrySize))) return out;
  }

  // Then sector by sector backwards: through the directory's earlier
  // clusters while it has them, else through the sectors physically in front.
  const std::uint64_t last = LastCluster(vol);
  const std::uint32_t spc = vol.sectors_per_cluster;
  std::uint64_t cluster_start = FatClusterLba(vol, place.cluster_number);
  std::uint64_t lba = cluster_start;  // the sector the walk is in
  std::size_t earlier_left = place.earlier.size();
  std::array<std::uint8_t, kSectorSize> sector{};
  for (;;) {
    if (lba == cluster_start && earlier_left > 0 && spc != 0) {
      const std::uint32_t prev = place.earlier[--earlier_left];
      if (prev < 2 || prev > last) {
        earlier_left = 0;  // a broken chain: nothing more is known
      } else {
        cluster_start = FatClusterLba(vol, prev);
        lba = cluster_start + spc;  // one past its last sector
      }
    }
    if (lba == 0) return out;
    --lba;
    ReadSectors(ctx, drive, lba, sector);  // unreadable: zeros, which end the walk
    for (std::size_t s = kSlotsPerSector; s > 0;) {
      --s;
      if (!take(std::span<const std::uint8_t>(sector).subspan(s * kDirEntrySize, kDirEntrySize))) return out;
    }
  }
}

std::size_t CountLongNameEntries(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                 const EntryPlace& place) {
  return GatherLongNameEntries(ctx, drive, vol, place).size();
}

std::string AssembleLongName(std::span<const DirEntry> entries, std::size_t count) {
  static constexpr std::size_t kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::string name;
  const std::size_t n = std::min(count, entries.size());
  name.reserve(13 * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t off : kUnitOffsets) {
      const std::uint8_t low = entries[i][off];
      if (low == 0) return name;  // the terminator unit, or a unit whose low byte is zero
      name.push_back(static_cast<char>(low));
    }
  }
  return name;
}

std::optional<std::string> BuildLongName(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                         const EntryPlace& place, std::size_t count) {
  try {
    const std::vector<DirEntry> entries = GatherLongNameEntries(ctx, drive, vol, place);
    return AssembleLongName(entries, count);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::string BuildShortName(std::span<const std::uint8_t> e) {
  if (e.size() < kDirEntrySize) return {};
  const std::string name = FieldText(e.subspan(0, 8));
  const std::string ext = FieldText(e.subspan(8, 3));
  std::string out = ext.empty() ? name : name + "." + ext;
  if (e[0] == kDeletedMark && !out.empty()) out[0] = 'D';
  return out;
}

std::unique_ptr<INODE_RECD> MakeEntryRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                            const EntryPlace& place, std::uint64_t parent_number) {
  const std::size_t offset = place.slot * kDirEntrySize;
  if (offset > place.cluster.size() || place.cluster.size() - offset < kDirEntrySize) return nullptr;
  const std::span<const std::uint8_t> e = place.cluster.subspan(offset, kDirEntrySize);
  try {
    const std::vector<DirEntry> long_entries = GatherLongNameEntries(ctx, drive, vol, place);
    std::string name = long_entries.empty() ? std::string() : AssembleLongName(long_entries, long_entries.size());
    // Long-name slots whose first unit is zero name nothing; the 8.3 name still does.
    if (name.empty()) name = BuildShortName(e);
    if (name.empty()) return nullptr;
    auto r = std::make_unique<INODE_RECD>();
    if (e[0] != kDeletedMark) r->record_flags |= kRecInUse;
    if (e[11] & kAttrDirectory) r->record_flags |= kRecDirectory;
    r->posix_name = std::move(name);
    r->fat_date = le::U16(e, 24);
    r->fat_time = le::U16(e, 22);
    r->data_size = le::U32(e, 28);
    r->own_number = EntryFirstCluster(e);
    r->parent_number = parent_number;
    return r;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// ---- FAT tables ------------------------------------------------------------------

LoadedFats::~LoadedFats() { Release(); }

void LoadedFats::Release() {
  fat1_ = {};
  fat2_ = {};
  vol_.fat1_table = nullptr;
  vol_.fat2_table = nullptr;
}

bool LoadedFats::Allocate() {
  const std::uint64_t entries = FatSectorsToLoad(vol_) * (kSectorSize / 4);
  try {
    fat1_.assign(entries, 0);
    fat2_.assign(entries, 0);
  } catch (const std::bad_alloc&) {
    fat1_ = {};
    fat2_ = {};
    return false;
  }
  vol_.fat1_table = fat1_.data();
  vol_.fat2_table = fat2_.data();
  return true;
}

void LoadedFats::Load(AppContext& ctx, PHYDRIVE_INFO& drive, int which) {
  std::vector<std::uint32_t>& table = which == 1 ? fat1_ : fat2_;
  const std::uint64_t first = static_cast<std::uint64_t>(vol_.fat_lba) +
                              (which == 1 ? 0 : static_cast<std::uint64_t>(vol_.fat_sectors));
  auto bytes = std::as_writable_bytes(std::span<std::uint32_t>(table));
  std::span<std::uint8_t> raw(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
  // Batched: ReadSectors falls back to sector-by-sector reads on a failure,
  // zero-filling and counting each bad sector as single-sector reads would.
  constexpr std::size_t kBatch = 256 * kSectorSize;
  for (std::size_t pos = 0; pos < raw.size(); pos += kBatch) {
    const std::size_t n = std::min(kBatch, raw.size() - pos);
    ReadSectors(ctx, drive, first + pos / kSectorSize, raw.subspan(pos, n));
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (std::uint32_t& v : table)
      v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
  }
}
