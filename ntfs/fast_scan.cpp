// The fast NTFS scan: every record number the $MFT's Run List maps, read in
// order, deleted records included.
#include <algorithm>
#include <new>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "ntfs/mft.h"
#include "ntfs/ntfs_scan.h"
#include "platform/aligned_buffer.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kRecordSectors = kMftRecordSize / 512;
// Records read per request: consecutive records of one stretch of the map
// come in together instead of one small read (and one map walk) each.
constexpr std::size_t kBatchRecords = 1024;
constexpr std::uint64_t kPollEvery = 10;

class FastScan {
 public:
  FastScan(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol) : ctx_(ctx), drive_(drive), vol_(vol) {}

  int Run() {
    ntfs_scan::ClearPending(ctx_, vol_);
    if (!DecodeMftRecord(ctx_, drive_, vol_)) {
      // The previous tree's records were on the lists just released.
      ResetScanTree(ctx_);
      return 0;
    }
    const INODE_RECD& mft = *ctx_.mft_inode;
    const std::vector<MftRecordSpan> spans = MapMftRecords(mft, vol_);
    total_ = MftRecordsToScan(mft, spans);
    DebugPrint("Total Inodes (%llu)", static_cast<unsigned long long>(mft.data_size_kb));
    // The progress runs to the bounded count too: a claimed count the map
    // does not cover would only make the time left absurd.
    ntfs_scan::Start(ctx_, drive_, vol_, progress_, total_, total_ / kPollEvery,
                     {IDC_T_DIRS, IDC_T_FILES, IDC_M_BYTES, IDC_M_FILES});
    try {
      buffer_ = AlignedBuffer(kBatchRecords * kMftRecordSize);
    } catch (const std::bad_alloc&) {
      buffer_ = AlignedBuffer();
    }
    if (!buffer_.empty()) Walk(spans);
    ntfs_scan::Finish(ctx_, vol_, progress_);
    return 1;
  }

 private:
  void Walk(const std::vector<MftRecordSpan>& spans) {
    std::uint64_t next = 0;  // the first number not yet passed
    for (const MftRecordSpan& s : spans) {
      if (s.first >= total_) break;
      // Numbers the map leaves out hold nothing to read; passing over them
      // still counts as a poll point.
      if (s.first > next && Poll(s.first)) return;
      const std::uint64_t end = std::min(total_, s.first + s.count);
      for (std::uint64_t r = s.first; r < end;) {
        const std::uint64_t n = std::min<std::uint64_t>(kBatchRecords, end - r);
        const std::uint64_t lba = s.lba + (r - s.first) * kRecordSectors;
        const std::uint64_t readable = ReadBatch(lba, n);
        for (std::uint64_t i = 0; i < n; ++i, ++r) {
          if (i < readable) Take(r, lba + i * kRecordSectors, i);
          if (r % kPollEvery == 0 && Poll(r)) return;
        }
      }
      next = end;
    }
  }

  // Reads n records at lba; how many of them lie on the drive and were read.
  std::uint64_t ReadBatch(std::uint64_t lba, std::uint64_t n) {
    if (drive_.total_sectors != 0) {
      if (lba >= drive_.total_sectors) return 0;
      n = std::min(n, (drive_.total_sectors - lba) / kRecordSectors);
    }
    if (n == 0) return 0;
    const std::span<std::uint8_t> bytes = buffer_.span().first(n * kMftRecordSize);
    if (!ReadSectors(ctx_, drive_, lba, bytes)) return 0;
    return n;
  }

  void Take(std::uint64_t number, std::uint64_t lba, std::uint64_t slot) {
    const std::span<std::uint8_t> rec = buffer_.span().subspan(slot * kMftRecordSize, kMftRecordSize);
    if (!IsFileRecord(rec)) return;
    ntfs_scan::KeepRecord(ctx_, vol_, DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, rec, number), lba);
  }

  // True when "Terminate Scan" was chosen.
  bool Poll(std::uint64_t r) {
    ntfs_scan::ShowProgress(ctx_, vol_, progress_, r);
    return CheckTerminate(IDM_TERMINATE_SCAN) == 1;
  }

  AppContext& ctx_;
  PHYDRIVE_INFO& drive_;
  LOGDRIVE_INFO& vol_;
  PROGRESS_INFO progress_;
  AlignedBuffer buffer_;
  std::uint64_t total_ = 0;
};

}  // namespace

int FastNtfsScan(AppContext& ctx) {
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!drive || !vol) return 0;
  return FastScan(ctx, *drive, *vol).Run();
}
