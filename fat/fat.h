// FAT32 on-disk structures: cluster chains, directory entries, long names,
// and the records the scans make of entries. Both FAT32 scans and the FAT
// copy and verify commands read volumes through these.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/context.h"
#include "scan/records.h"
#include "volume/logdrive.h"

struct PHYDRIVE_INFO;

inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFFu;
inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrLongName = 0x0F;
inline constexpr std::uint8_t kDeletedMark = 0xE5;
// A long name of 255 characters takes 20 entries; the backward walk never
// gathers more than this, so a run of stray long-name slots costs little.
inline constexpr std::size_t kMaxLongNameEntries = 64;

using DirEntry = std::array<std::uint8_t, kDirEntrySize>;

// One directory entry, decoded.
struct FAT_DIR_ENTRY {
  std::uint8_t attributes = 0;
  char name[9] = {};
  char extension[4] = {};
  std::uint64_t first_cluster = 0;
  std::uint64_t size = 0;
  std::int32_t hours = 0;
  std::int32_t minutes = 0;
  std::int32_t two_seconds = 0;
  std::int32_t day = 0;
  std::int32_t month = 0;
  std::int32_t year = 0;
};

// The highest cluster number of the volume's data area: clusters run from 2
// to cluster_count + 1.
std::uint64_t LastCluster(const LOGDRIVE_INFO& vol);
// First sector of cluster k (64-bit arithmetic).
std::uint64_t FatClusterLba(const LOGDRIVE_INFO& vol, std::uint32_t cluster);

// FAT entries worth loading: enough for every cluster of the volume, never
// more than one FAT holds (fat_sectors), rounded up to whole sectors.
std::uint64_t FatSectorsToLoad(const LOGDRIVE_INFO& vol);

// Next cluster of a chain, or kEndOfChain at its end, at a free, reserved or
// bad mark, or where the chain would leave the volume or the loaded table.
std::uint32_t NextCluster(const LOGDRIVE_INFO& vol, std::span<const std::uint32_t> fat, std::uint32_t cluster);

// Entries are 32-byte spans; shorter spans are never valid.
int IsLongNameEntry(std::span<const std::uint8_t> entry);
int IsValidDirEntry(const LOGDRIVE_INFO& vol, std::span<const std::uint8_t> entry);
// The same with the current year given (the clock's UTC year otherwise).
int IsValidDirEntry(const LOGDRIVE_INFO& vol, std::span<const std::uint8_t> entry, int current_year);
// Where an entry is tested. The search for lost directories (Search) needs
// every test to tell entries from random data. In a directory reached along
// the volume's own chains (LiveDirectory) an entry is real unless damaged, so
// two tests that would drop real files are eased there: short names may hold
// code-page letters (0x80 and up, how accented names are stored), and the
// date's year may lie outside 1990..now (devices with unset or wrong clocks
// date files 1980 or in the future). Day, month and time must still be valid.
enum class EntryContext { Search, LiveDirectory };
int IsValidDirEntry(const LOGDRIVE_INFO& vol, std::span<const std::uint8_t> entry, int current_year, EntryContext where);
int CurrentUtcYear();
FAT_DIR_ENTRY DecodeDirEntry(std::span<const std::uint8_t> entry);
std::uint32_t EntryFirstCluster(std::span<const std::uint8_t> entry);

// Where an entry sits, for the backward walk over its long-name entries.
// When the walk passes the first slot of the entry's cluster it continues in
// the directory's previous cluster as the scan knows it (`earlier`, nearest
// last); where none is known it takes the sectors physically in front.
struct EntryPlace {
  std::span<const std::uint8_t> cluster;   // buffer of the cluster holding the entry
  std::size_t slot = 0;                    // the entry's index in it
  std::uint32_t cluster_number = 0;        // that cluster
  std::span<const std::uint32_t> earlier;  // the directory's clusters before it, in chain order
};

// The long-name entries directly in front of the entry, nearest first.
std::vector<DirEntry> GatherLongNameEntries(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                            const EntryPlace& place);
std::size_t CountLongNameEntries(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                 const EntryPlace& place);
// The name from at most `count` long-name entries: the low byte of each
// UTF-16 unit, up to the first zero byte.
std::string AssembleLongName(std::span<const DirEntry> entries, std::size_t count);
std::optional<std::string> BuildLongName(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                         const EntryPlace& place, std::size_t count);
// NAME.EXT from the 8.3 fields; a deleted entry's first character becomes 'D'.
std::string BuildShortName(std::span<const std::uint8_t> entry);

// A zero-filled record for the entry at `place`; null when the entry has no
// name or memory runs out.
std::unique_ptr<INODE_RECD> MakeEntryRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                            const EntryPlace& place, std::uint64_t parent_number);

// Both FAT copies, loaded whole for the time of one operation; the volume's
// fat1_table and fat2_table point at them while this lives.
class LoadedFats {
 public:
  explicit LoadedFats(LOGDRIVE_INFO& vol) : vol_(vol) {}
  ~LoadedFats();
  LoadedFats(const LoadedFats&) = delete;
  LoadedFats& operator=(const LoadedFats&) = delete;
  // Zero-filled tables of FatSectorsToLoad sectors each; false when memory runs out.
  bool Allocate();
  // Reads FAT `which` (1 or 2) into its table. Unreadable sectors stay zero
  // and are counted as read errors, as ReadSectors does.
  void Load(AppContext& ctx, PHYDRIVE_INFO& drive, int which);
  // Frees both tables and clears the volume's pointers.
  void Release();
  std::span<const std::uint32_t> fat1() const { return fat1_; }
  std::span<const std::uint32_t> fat2() const { return fat2_; }

 private:
  LOGDRIVE_INFO& vol_;
  std::vector<std::uint32_t> fat1_;
  std::vector<std::uint32_t> fat2_;
};
