// "Verify Selected Files": before anything is copied, whether the marked
// files of the ticked directories can come out intact: no cluster claimed by
// two of them, no NTFS data beyond the volume, a FAT32 chain in either FAT.
#pragma once
#include <cstdint>
#include <vector>

#include "app/context.h"
#include "scan/records.h"

// verify_result values
inline constexpr std::uint32_t kVerifyOk = 0;
inline constexpr std::uint32_t kVerifyBeyondVolume = 1;
inline constexpr std::uint32_t kVerifyCrossLinked = 2;  // FAT32: also no chain in either FAT

// Per cluster number of the volume, how many marked files use it (saturating at 255).
class UsageMap {
 public:
  // Sized for every cluster number the volume has; false when memory runs out.
  bool Allocate(const LOGDRIVE_INFO& vol);
  void Add(std::uint64_t cluster);
  std::uint8_t Count(std::uint64_t cluster) const { return cluster < counts_.size() ? counts_[cluster] : 0; }
  std::size_t size() const { return counts_.size(); }
  std::uint8_t* data() { return counts_.data(); }

 private:
  std::vector<std::uint8_t> counts_;
};

struct VerifyRun {
  AppContext& ctx;
  PHYDRIVE_INFO& drive;
  LOGDRIVE_INFO& vol;
  UsageMap usage;
};

// Pass 1 counts, pass 2 flags. The walk visits the ticked directories' files
// and every subdirectory, ticked or not; 1 when done, 0 when stopped.
int VerifyWalk(VerifyRun& run, TreeItem* first, int pass);
int VerifyDirectoryFiles(VerifyRun& run, INODE_RECD& dir, int pass);
void VerifyFat32File(VerifyRun& run, FILE_INODE& f, int pass);
void VerifyNtfsFile(VerifyRun& run, FILE_INODE& f, int pass);

// Both passes over the tree (FAT tables loaded and released around them);
// false when the usage map or the tables could not be had.
bool VerifyMarkedFiles(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol);
// The menu command (40015).
void VerifySelectedFiles(AppContext& ctx);
