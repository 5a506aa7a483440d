// The slow FAT32 scan: no FAT, no root directory. Every cluster is looked at;
// directories below the root are found by their "." and ".." entries (pass 1,
// "ROOT<cluster>"), and directory-looking clusters no walk reached are listed
// afterwards (pass 2, "ORPH<cluster>").
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/dir_walk.h"
#include "fat/fat.h"
#include "fat/fat_scan.h"
#include "platform/aligned_buffer.h"
#include "platform/bytes.h"
#include "res/ids.h"
#include "scan/tree.h"

namespace {

constexpr std::size_t kReadAhead = 1 << 20;

// Consecutive clusters read in 1 MiB requests: each pass goes through the
// whole volume, and single-cluster reads would cost a request per cluster.
// A failed request falls back to single sectors inside ReadSectors, so read
// errors are counted as cluster-by-cluster reads would count them.
class ClusterReadAhead {
 public:
  ClusterReadAhead(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol)
      : ctx_(ctx), stream_(drive), vol_(vol), bpc_(vol.bytes_per_cluster), last_(LastCluster(vol)) {}

  bool Allocate() {
    try {
      buffer_ = AlignedBuffer(std::max<std::size_t>(bpc_, kReadAhead / bpc_ * bpc_));
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  std::span<const std::uint8_t> Get(std::uint32_t c) {
    if (c < first_ || c - first_ >= count_) {
      const std::uint64_t n = std::min<std::uint64_t>(buffer_.size() / bpc_, last_ - c + 1);
      first_ = c;
      count_ = static_cast<std::uint32_t>(n);
      stream_.Read(ctx_, FatClusterLba(vol_, c), buffer_.span().first(n * bpc_));
    }
    return buffer_.span().subspan(static_cast<std::size_t>(c - first_) * bpc_, bpc_);
  }

 private:
  AppContext& ctx_;
  // Its own descriptor: the walks of the directories found read elsewhere.
  SectorStream stream_;
  const LOGDRIVE_INFO& vol_;
  std::size_t bpc_;
  std::uint64_t last_;
  AlignedBuffer buffer_;
  std::uint32_t first_ = 0;
  std::uint32_t count_ = 0;
};

bool IsDotDirectory(std::span<const std::uint8_t> e) { return e[0] == '.' && (e[11] & kAttrDirectory); }

// "ROOT<c>" from a directory's ".." slot, "ORPH<c>" from its first slot.
INODE_RECD* MakeFoundDirRecord(const char* prefix, std::span<const std::uint8_t> slot, std::uint32_t c) {
  try {
    auto* r = new INODE_RECD;
    char name[40];
    std::snprintf(name, sizeof name, "%s%u", prefix, c);
    r->posix_name = name;
    r->record_flags = kRecInUse | kRecDirectory;
    r->fat_date = le::U16(slot, 24);
    r->fat_time = le::U16(slot, 22);
    r->data_size = le::U32(slot, 28);
    r->own_number = c;
    r->parent_number = EntryFirstCluster(slot);
    r->tree_owned = true;
    return r;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

class SlowScan {
 public:
  SlowScan(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol)
      : ctx_(ctx), drive_(drive), vol_(vol), reader_(ctx, drive, vol), year_(CurrentUtcYear()) {}

  void Run() {
    if (vol_.bytes_per_cluster == 0 || vol_.bytes_per_cluster % kSectorSize != 0 || vol_.cluster_count <= 0) return;
    if (!reader_.Allocate() || !Prepare()) return;
    DirWalker walker(ctx_, drive_, vol_, WalkMode::Contiguous, {}, map_);
    if (Pass(walker, 1) && !walker.terminated()) {
      StartProgress();
      Pass(walker, 2);
    }
    WriteScanCounters(ctx_, vol_);
    Progress_SetPos(ctx_.progress_bar, 0);
    Finish();
  }

 private:
  bool Prepare() {
    ReleasePendingFiles(ctx_);
    ReleasePendingDirs(ctx_);
    vol_.files_found = 0;
    vol_.dirs_found = 0;
    for (int id : {IDC_M_BYTES, IDC_M_FILES, IDC_T_DIRS, IDC_T_FILES}) SetStatusField(ctx_, id, "0");
    try {
      map_.assign(LastCluster(vol_) + 1, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    vol_.cluster_map = map_.data();
    StartBar();
    EnableScanControls(ctx_, false);
    char text[512];
    std::snprintf(text, sizeof text, "Scanning Logical LBA %s on physical %s",
                  FormatThousands(static_cast<std::uint64_t>(vol_.start_lba)).c_str(), drive_.model);
    SetStatusField(ctx_, IDC_STATUS, text);
    ctx_.scan_running = 1;
    // Root is counted on the volume being scanned.
    ctx_.scanned_logdrive = &vol_;
    MakeRoot(ctx_);
    StartProgress();
    return true;
  }

  void StartBar() {
    Progress_SetRange32(ctx_.progress_bar, 0, static_cast<std::int32_t>(vol_.cluster_count / 1000));
    Progress_SetStep(ctx_.progress_bar, 1);
    Progress_SetBarColour(ctx_.progress_bar, RGB(255, 0, 0));
  }

  void StartProgress() {
    StartBar();
    progress_ = PROGRESS_INFO{};
    progress_.start_time = GetNowFileTime();
    progress_.total = static_cast<std::uint64_t>(vol_.cluster_count);
    progress_.phase = kProgressReset;
    UpdateProgressTimes(ctx_, progress_);
    progress_.phase = kProgressRunning;
  }

  // Returns false when "Terminate Scan" ended the pass.
  bool Pass(DirWalker& walker, int pass) {
    const std::uint64_t last = LastCluster(vol_);
    for (std::uint64_t c = 2; c <= last; ++c) {
      if (c % 1000 == 0) {
        Progress_StepIt(ctx_.progress_bar);
        WriteScanCounters(ctx_, vol_);
        progress_.current = c;
        UpdateProgressTimes(ctx_, progress_);
      }
      if (CheckTerminate(IDM_TERMINATE_SCAN) == 1) return false;
      const auto cluster = static_cast<std::uint32_t>(c);
      if (pass == 2 && map_[c]) continue;
      const std::span<const std::uint8_t> data = reader_.Get(cluster);
      const std::span<const std::uint8_t> s0 = data.subspan(0, kDirEntrySize);
      if (IsValidDirEntry(vol_, s0, year_)) {
        if (pass == 1) {
          const std::span<const std::uint8_t> s1 = data.subspan(kDirEntrySize, kDirEntrySize);
          if (data.size() >= 2 * kDirEntrySize && IsDotDirectory(s0) && IsDotDirectory(s1) &&
              EntryFirstCluster(s1) == 0)
            AddFoundDir(walker, MakeFoundDirRecord("ROOT", s1, cluster), TreeInsert::Sort, cluster);
        } else {
          AddFoundDir(walker, MakeFoundDirRecord("ORPH", s0, cluster), TreeInsert::Last, cluster);
        }
        if (walker.terminated()) return false;
      } else if (!IsLongNameEntry(s0)) {
        map_[c] = 1;
      }
    }
    return true;
  }

  void AddFoundDir(DirWalker& walker, INODE_RECD* r, TreeInsert where, std::uint32_t c) {
    if (!r) return;
    TreeItem* item = InsertTreeRecord(ctx_, r, ctx_.root_item, where);
    if (!item) {
      ReleaseRecord(r);
      return;
    }
    walker.Walk(*r, item, c, 2);
    ++vol_.dirs_found;
  }

  void Finish() {
    progress_.phase = kProgressReset;
    UpdateProgressTimes(ctx_, progress_);
    SetStatusField(ctx_, IDC_STATUS, "Idle...");
    ctx_.scan_running = 0;
    vol_.cluster_map = nullptr;
    map_ = {};
    EnableScanControls(ctx_, true);
    ctx_.scanned_logdrive = &vol_;
  }

  AppContext& ctx_;
  PHYDRIVE_INFO& drive_;
  LOGDRIVE_INFO& vol_;
  ClusterReadAhead reader_;
  int year_;
  std::vector<std::uint8_t> map_;
  PROGRESS_INFO progress_;
};

}  // namespace

void SlowFatScan(AppContext& ctx) {
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!drive || !vol) return;
  SlowScan(ctx, *drive, *vol).Run();
}
