#include "fat/dir_walk.h"

#include <new>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "res/ids.h"
#include "scan/tree.h"

DirWalker::DirWalker(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, WalkMode mode,
                     std::span<const std::uint32_t> fat, std::span<std::uint8_t> cluster_map)
    : ctx_(ctx),
      drive_(drive),
      vol_(vol),
      mode_(mode),
      fat_(fat),
      map_(cluster_map),
      last_cluster_(LastCluster(vol)),
      entries_per_cluster_(vol.bytes_per_cluster / kDirEntrySize),
      year_(CurrentUtcYear()) {}

DirWalker::Result DirWalker::Walk(INODE_RECD& d, TreeItem* t, std::uint32_t first, std::size_t first_slot) {
  if (terminated_) return Result::Terminated;
  if (read_any_.empty() && last_cluster_ >= 2) {
    try {
      read_any_.assign(last_cluster_ + 1, false);
      read_live_.assign(last_cluster_ + 1, false);
    } catch (const std::bad_alloc&) {
      read_any_.clear();
      return Result::NoMemory;
    }
  }
  const bool live = (d.record_flags & kRecInUse) != 0;
  if (!CanOpen(first, live)) return Result::Done;
  if (!PushFrame(&d, t, first, first_slot, live)) return Result::NoMemory;

  while (!stack_.empty()) {
    Frame& f = stack_.back();
    if (f.next_slot < entries_per_cluster_) {
      const std::size_t slot = f.next_slot++;
      const auto [child, child_item] = HandleSlot(f, slot);
      if (terminated_) break;
      if (!child) continue;
      const auto first_of_child = static_cast<std::uint32_t>(child->own_number);
      const bool live = f.live && (child->record_flags & kRecInUse);
      // A child that cannot be opened is still listed and counted; its entry's
      // progress step follows at once instead of after its walk.
      if (child->own_number > UINT32_MAX || stack_.size() >= kMaxDirDepth || !CanOpen(first_of_child, live) ||
          !PushFrame(child, child_item, first_of_child, 2, live)) {
        CountDir();
        AfterEntry();
        if (terminated_) break;
      }
      continue;
    }
    if (Advance(f)) continue;
    const bool nested = stack_.size() > 1;
    PopFrame();
    if (nested) {
      // The walk of a subdirectory ended: count it, then finish the parent's
      // slot that named it.
      CountDir();
      AfterEntry();
      if (terminated_) break;
    }
  }

  if (terminated_) {
    // Everything on the stack is in the tree: the nested ones are counted.
    while (!stack_.empty()) {
      if (stack_.size() > 1) CountDir();
      PopFrame();
    }
    WriteScanCounters(ctx_, vol_);
    return Result::Terminated;
  }
  return Result::Done;
}

// Also stops cycles: every cluster of the directories being walked was read.
bool DirWalker::CanOpen(std::uint32_t cluster, bool live) const {
  if (cluster < 2 || cluster > last_cluster_ || cluster >= read_any_.size() || entries_per_cluster_ == 0) return false;
  return live ? !read_live_[cluster] : !read_any_[cluster];
}

void DirWalker::MarkRead(std::uint32_t cluster, bool live) {
  read_any_[cluster] = true;
  if (live) read_live_[cluster] = true;
  if (mode_ == WalkMode::Contiguous && cluster < map_.size()) map_[cluster] = 1;
}

bool DirWalker::PushFrame(INODE_RECD* dir, TreeItem* item, std::uint32_t first, std::size_t first_slot,
                          bool live) {
  try {
    Frame f;
    f.dir = dir;
    f.item = item;
    f.buffer.resize(vol_.bytes_per_cluster);
    f.next_slot = first_slot;
    f.live = live;
    stack_.push_back(std::move(f));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ReadInto(stack_.back(), first)) {
    stack_.pop_back();
    return false;
  }
  return true;
}

void DirWalker::PopFrame() { stack_.pop_back(); }

bool DirWalker::ReadInto(Frame& f, std::uint32_t cluster) {
  try {
    f.clusters.push_back(cluster);
  } catch (const std::bad_alloc&) {
    return false;
  }
  MarkRead(cluster, f.live);
  ReadFatCluster(ctx_, drive_, vol_, cluster, f.buffer);
  return true;
}

bool DirWalker::Advance(Frame& f) {
  const std::uint32_t c = f.clusters.back();
  std::uint64_t next = 0;
  if (mode_ == WalkMode::Chain) {
    next = NextCluster(vol_, fat_, c);
    if (next == kEndOfChain) return false;
  } else {
    next = static_cast<std::uint64_t>(c) + 1;
  }
  // A chain that comes back on itself, or runs into clusters read before
  // (a directory being walked above, or a cross-linked one), ends here.
  if (next > last_cluster_ || !CanOpen(static_cast<std::uint32_t>(next), f.live)) return false;
  if (mode_ == WalkMode::Contiguous) {
    // Only a cluster that still looks like more of this directory joins it.
    ReadFatCluster(ctx_, drive_, vol_, static_cast<std::uint32_t>(next), f.buffer);
    const std::span<const std::uint8_t> s0 = std::span<const std::uint8_t>(f.buffer).subspan(0, kDirEntrySize);
    if (!IsValidDirEntry(vol_, s0, year_) && !IsLongNameEntry(s0)) return false;
    if (f.buffer[0] == '.' && f.buffer.size() >= 2 * kDirEntrySize && f.buffer[kDirEntrySize] == '.') return false;
    try {
      f.clusters.push_back(static_cast<std::uint32_t>(next));
    } catch (const std::bad_alloc&) {
      return false;
    }
    MarkRead(static_cast<std::uint32_t>(next), f.live);
  } else if (!ReadInto(f, static_cast<std::uint32_t>(next))) {
    return false;
  }
  f.next_slot = 0;
  return true;
}

DirWalker::Child DirWalker::HandleSlot(Frame& f, std::size_t slot) {
  const std::span<const std::uint8_t> cluster(f.buffer);
  const std::span<const std::uint8_t> e = cluster.subspan(slot * kDirEntrySize, kDirEntrySize);
  const EntryContext where = mode_ == WalkMode::Chain ? EntryContext::LiveDirectory : EntryContext::Search;
  if (e[0] == 0 || !IsValidDirEntry(vol_, e, year_, where)) return {};

  EntryPlace place;
  place.cluster = cluster;
  place.slot = slot;
  place.cluster_number = f.clusters.back();
  // Chains: the clusters read before this one. Runs: the physically previous
  // cluster is the previous one, which the walk finds by itself.
  if (mode_ == WalkMode::Chain) place.earlier = std::span<const std::uint32_t>(f.clusters).first(f.clusters.size() - 1);
  // A valid entry always has a name (its first byte is neither blank nor
  // NUL), so no record means no memory: the entry still counts as seen.
  std::unique_ptr<INODE_RECD> r = MakeEntryRecord(ctx_, drive_, vol_, place, place.cluster_number);
  if (r && (r->record_flags & kRecDirectory)) {
    r->tree_owned = true;
    if (TreeItem* item = InsertTreeRecord(ctx_, r.get(), f.item, TreeInsert::Sort)) {
      return {r.release(), item};  // its progress step follows its walk
    }
  } else if (r) {
    if (FILE_INODE* fi = MakeFileInode(*r)) {
      AppendFileToDir(*f.dir, fi);
      ++vol_.files_found;
    }
  }
  AfterEntry();
  return {};
}

void DirWalker::AfterEntry() {
  if (mode_ == WalkMode::Chain) Progress_StepIt(ctx_.progress_bar);
  WriteScanCounters(ctx_, vol_);
  if (CheckTerminate(IDM_TERMINATE_SCAN) == 1) terminated_ = true;
}

void DirWalker::CountDir() { ++vol_.dirs_found; }

void EnableScanControls(AppContext& ctx, bool enable) {
  EnableControl(ctx.phy_list, enable);
  EnableControl(ctx.log_list, enable);
  EnableControl(ctx.file_list, enable);
  EnableControl(ctx.dir_tree, enable);
}

void WriteScanCounters(AppContext& ctx, const LOGDRIVE_INFO& vol) {
  SetStatusCount(ctx, IDC_T_DIRS, static_cast<std::uint64_t>(vol.dirs_found));
  SetStatusCount(ctx, IDC_T_FILES, static_cast<std::uint64_t>(vol.files_found));
}
