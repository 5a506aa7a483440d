// An NTFS file's data as the copy and verify see it: the record read again
// from the disk, its unnamed $DATA (resident bytes, or the Run List with the
// sizes and compression of the attribute), and the walk of the Run List in
// compression-unit pieces.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "app/context.h"
#include "scan/records.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

// Clusters in a unit: the compression unit NTFS uses, and the read size of
// files that are not compressed.
inline constexpr std::uint32_t kNtfsUnitClusters = 16;

struct NtfsFileData {
  bool resident = false;
  std::vector<std::uint8_t> resident_bytes;
  // False when the resident value reaches past its attribute (only the part
  // inside was taken).
  bool resident_whole = true;
  std::vector<RUN_ENTRY> runs;
  std::uint64_t data_size = 0;
  std::uint64_t initialized_size = 0;
  // Only a compressed attribute's units are decompressed.
  bool compressed = false;
  std::uint32_t unit_clusters = kNtfsUnitClusters;
};

// Reads the file's record at f.record_lba, checks it ("FILE", update
// sequence) and decodes its unnamed data; nullopt when it cannot. Records an
// attribute list names are mapped through the scan's $MFT map when the
// volume is the one scanned, else through the volume's $MFT read afresh.
std::optional<NtfsFileData> ReadNtfsFileData(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                             const FILE_INODE& f);

struct UnitPiece {
  std::uint64_t lcn = 0;
  std::uint64_t clusters = 0;
  std::uint64_t at = 0;  // clusters into the unit
  bool sparse = false;
};

struct Unit {
  std::vector<UnitPiece> pieces;  // in VCN order; empty for whole sparse units
  std::uint64_t clusters = 0;     // covered by the runs (below a full unit only at the end)
  // Whole units that lie in one sparse run, taken at once (pieces empty):
  // a hole of terabytes is one step.
  std::uint64_t sparse_units = 0;
};

// The runs laid end to end from VCN 0 and cut at unit boundaries.
class UnitWalk {
 public:
  UnitWalk(std::span<const RUN_ENTRY> runs, std::uint32_t unit_clusters) : runs_(runs), unit_(unit_clusters) {}
  // The next unit; false when the runs are used up.
  bool Next(Unit& u);

 private:
  std::span<const RUN_ENTRY> runs_;
  std::uint64_t unit_;
  std::size_t index_ = 0;
  std::uint64_t lcn_ = 0, left_ = 0;
  bool sparse_ = false;
  bool Advance();
};

// The verify's walk: calls each_run(first cluster, clusters) for every
// non-sparse piece of the file's runs, at the LCN the Run List gives it
// (sparse pieces hold no clusters). each_run returning false ends the walk
// early. False when the record cannot be read or decoded; true for resident
// data (no clusters).
bool VerifyNtfsFileUnits(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const FILE_INODE& f,
                         const std::function<bool(std::uint64_t first_cluster, std::uint64_t clusters)>& each_run);
