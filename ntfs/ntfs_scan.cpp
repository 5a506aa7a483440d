#include "ntfs/ntfs_scan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <string>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "fat/dir_walk.h"
#include "ntfs/mft.h"
#include "platform/bytes.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kRecordSectors = kMftRecordSize / 512;
constexpr std::size_t kNumberingRecords = 16;
constexpr std::size_t kNumberingQuorum = 6;
constexpr std::size_t kRecordNumberField = 44;

struct Claim {
  std::uint64_t end = 0;
  std::uint64_t lba = 0;
};

}  // namespace

std::vector<MftRecordSpan> MapMftRecords(const INODE_RECD& mft, const LOGDRIVE_INFO& vol) {
  std::vector<MftRecordSpan> out;
  if (vol.sectors_per_cluster == 0) return out;
  const std::uint64_t spc = vol.sectors_per_cluster;
  const auto base = static_cast<std::uint64_t>(std::max<std::int64_t>(vol.start_lba, 0));
  // Runs of a damaged list may overlap: each number belongs to the first run
  // that covers it, as the one-record map has it. start -> (end, lba of start).
  std::map<std::uint64_t, Claim> taken;
  for (const RUN_ENTRY& run : mft.run_list) {
    if (run.start_vcn > UINT64_MAX / spc || run.length > UINT64_MAX / spc || run.lcn > UINT64_MAX / spc) continue;
    const std::uint64_t s = run.start_vcn * spc / kRecordSectors;
    const std::uint64_t n = run.length * spc / kRecordSectors;
    if (n == 0 || s > UINT64_MAX - n) continue;
    const std::uint64_t e = s + n;
    const std::uint64_t lba0 = run.lcn * spc + base;
    std::uint64_t cur = s;
    if (auto it = taken.upper_bound(cur); it != taken.begin() && std::prev(it)->second.end > cur)
      cur = std::prev(it)->second.end;
    while (cur < e) {
      const auto next = taken.lower_bound(cur);
      const std::uint64_t stop = next == taken.end() ? e : std::min(e, next->first);
      if (stop > cur) taken.emplace(cur, Claim{stop, lba0 + (cur - s) * kRecordSectors});
      if (next == taken.end() || next->first >= e) break;
      cur = next->second.end;
    }
  }
  // Neighbours that continue each other on disk read as one stretch.
  for (const auto& [first, c] : taken) {
    if (!out.empty()) {
      MftRecordSpan& last = out.back();
      if (last.first + last.count == first && last.lba + last.count * kRecordSectors == c.lba) {
        last.count += c.end - first;
        continue;
      }
    }
    out.push_back({first, c.end - first, c.lba});
  }
  return out;
}

std::uint64_t MftRecordsToScan(const INODE_RECD& mft, const std::vector<MftRecordSpan>& spans) {
  const std::uint64_t mapped_end = spans.empty() ? 0 : spans.back().first + spans.back().count;
  return std::min(mft.data_size_kb, mapped_end);
}

bool RecordsCarryNumbers(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol) {
  if (vol.mft_lba < 0) return false;
  std::array<std::uint8_t, kNumberingRecords * kMftRecordSize> buf{};
  if (!ReadSectors(ctx, drive, static_cast<std::uint64_t>(vol.mft_lba), buf)) return false;
  std::size_t own = 0;
  for (std::size_t i = 0; i < kNumberingRecords; ++i) {
    const std::span<const std::uint8_t> rec = std::span<const std::uint8_t>(buf).subspan(i * kMftRecordSize, kMftRecordSize);
    if (IsFileRecord(rec) && le::U32(rec, kRecordNumberField) == i) ++own;
  }
  return own > kNumberingQuorum;
}

namespace ntfs_scan {

void ClearPending(AppContext& ctx, LOGDRIVE_INFO& vol) {
  ReleasePendingFiles(ctx);
  ReleasePendingDirs(ctx);
  vol.dirs_found = 0;
  vol.files_found = 0;
}

void Start(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, PROGRESS_INFO& progress, std::uint64_t total,
           std::uint64_t bar_high, std::initializer_list<int> counters) {
  char text[512];
  std::snprintf(text, sizeof text, "Scanning Logical LBA %s on physical %s",
                FormatThousands(static_cast<std::uint64_t>(vol.start_lba)).c_str(), drive.model);
  SetStatusField(ctx, IDC_STATUS, text);
  ctx.scan_running = 1;
  // Root is counted on the volume being scanned.
  ctx.scanned_logdrive = &vol;
  MakeRoot(ctx);
  progress = PROGRESS_INFO{};
  progress.start_time = GetNowFileTime();
  progress.total = total;
  progress.phase = kProgressReset;
  UpdateProgressTimes(ctx, progress);
  progress.phase = kProgressRunning;
  for (int id : counters) SetStatusField(ctx, id, "0");
  const auto high = static_cast<std::int32_t>(std::min<std::uint64_t>(bar_high, std::numeric_limits<std::int32_t>::max()));
  Progress_SetRange32(ctx.progress_bar, 0, high);
  Progress_SetStep(ctx.progress_bar, 1);
  Progress_SetBarColour(ctx.progress_bar, RGB(255, 0, 0));
  EnableScanControls(ctx, false);
}

void KeepRecord(AppContext& ctx, LOGDRIVE_INFO& vol, INODE_RECD* r, std::uint64_t lba) {
  ListRecord(ctx, vol, PrepareRecord(ctx, r, lba));
}

ReadyRecord PrepareRecord(AppContext& ctx, INODE_RECD* r, std::uint64_t lba) {
  std::unique_ptr<INODE_RECD, void (*)(INODE_RECD*)> rec(r, ReleaseRecord);
  if (!rec) return {};
  if ((!rec->posix_name && !rec->short_name) || rec->own_number == kRootNumber) return {};
  rec->record_lba = lba;
  if (rec->record_flags & kRecDirectory) return {rec.release(), nullptr};
  // The file inode copies what the list shows; the record itself is done with.
  return {nullptr, TakeBlockFileInode(ctx, *rec)};
}

void ListRecord(AppContext& ctx, LOGDRIVE_INFO& vol, ReadyRecord r) {
  if (r.dir) {
    AppendPendingDir(ctx, r.dir);
    ++vol.dirs_found;
  } else if (r.file) {
    AppendPendingFile(ctx, r.file);
    ++vol.files_found;
  }
}

void ShowProgress(AppContext& ctx, const LOGDRIVE_INFO& vol, PROGRESS_INFO& progress, std::uint64_t current) {
  Progress_StepIt(ctx.progress_bar);
  WriteScanCounters(ctx, vol);
  progress.current = current;
  UpdateProgressTimes(ctx, progress);
}

void Finish(AppContext& ctx, LOGDRIVE_INFO& vol, PROGRESS_INFO& progress) {
  ctx.scanned_logdrive = &vol;
  WriteScanCounters(ctx, vol);
  Progress_SetPos(ctx.progress_bar, 0);
  LinkPendingDirs(ctx);
  AttachPendingFiles(ctx);
  ShowSelectedDirFiles(ctx);
  BackToIdle(ctx, progress);
}

void BackToIdle(AppContext& ctx, PROGRESS_INFO& progress) {
  progress.phase = kProgressReset;
  UpdateProgressTimes(ctx, progress);
  SetStatusField(ctx, IDC_STATUS, "Idle...");
  ctx.scan_running = 0;
  EnableScanControls(ctx, true);
}

}  // namespace ntfs_scan
