// The directory walk both FAT32 scans share: depth first, building the scan
// tree as it goes. The fast scan follows FAT chains; the slow scan reads runs
// of physically consecutive clusters, since a lost directory's chain is gone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "app/context.h"
#include "fat/fat.h"

struct PHYDRIVE_INFO;

enum class WalkMode { Chain, Contiguous };

// Directories nested deeper than this are listed but not opened: each level
// holds a cluster buffer, and no real tree comes near it.
inline constexpr std::size_t kMaxDirDepth = 1024;

class DirWalker {
 public:
  enum class Result { Done, NoMemory, Terminated };

  // fat: the FAT the chain mode follows; cluster_map: the slow scan's map
  // (one byte per cluster number), marked for every cluster a walk reads.
  DirWalker(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, WalkMode mode,
            std::span<const std::uint32_t> fat, std::span<std::uint8_t> cluster_map);

  // Walks directory d (tree item t) from slot first_slot of cluster first,
  // and every directory below it. Directories below d are counted in the
  // volume's dirs_found; d itself is the caller's to count. NoMemory: d's
  // own buffer could not be had, nothing was listed.
  // A directory whose cluster an earlier walk of this walker already read is
  // listed but not opened again, so the work stays linear in the volume
  // however often directories name each other. Deleted directories keep
  // their own record of what they read: one found first, over clusters a live
  // directory now uses, must not leave that live directory unopened.
  Result Walk(INODE_RECD& d, TreeItem* t, std::uint32_t first, std::size_t first_slot);
  bool terminated() const { return terminated_; }

 private:
  struct Frame {
    INODE_RECD* dir = nullptr;
    TreeItem* item = nullptr;
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint32_t> clusters;  // read so far, in order; the last is in buffer
    std::size_t next_slot = 0;
    bool live = false;  // in use, and every directory above it too
  };

  bool CanOpen(std::uint32_t cluster, bool live) const;
  void MarkRead(std::uint32_t cluster, bool live);
  bool PushFrame(INODE_RECD* dir, TreeItem* item, std::uint32_t first, std::size_t first_slot, bool live);
  void PopFrame();
  bool ReadInto(Frame& f, std::uint32_t cluster);
  bool Advance(Frame& f);
  struct Child {
    INODE_RECD* dir = nullptr;
    TreeItem* item = nullptr;
  };
  // Treats one slot; a directory it inserted is returned for walking.
  Child HandleSlot(Frame& f, std::size_t slot);
  void AfterEntry();
  void CountDir();

  AppContext& ctx_;
  PHYDRIVE_INFO& drive_;
  LOGDRIVE_INFO& vol_;
  WalkMode mode_;
  std::span<const std::uint32_t> fat_;
  std::span<std::uint8_t> map_;
  std::uint64_t last_cluster_;
  std::uint32_t entries_per_cluster_;
  int year_;
  std::vector<Frame> stack_;
  // By cluster number, for the walker's lifetime: read by any walk, and read
  // by a live one. A live walk stops only at the second, any other at the
  // first, so each cluster is read at most twice.
  std::vector<bool> read_any_;
  std::vector<bool> read_live_;
  bool terminated_ = false;
};

// Shared by both scans: disables or enables the drive lists, the file list
// and the directory tree while a scan runs.
void EnableScanControls(AppContext& ctx, bool enable);
void WriteScanCounters(AppContext& ctx, const LOGDRIVE_INFO& vol);
