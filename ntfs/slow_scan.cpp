// The slow NTFS scan: every sector position of the volume tested for the
// start of a file record, wherever it lies (the live $MFT, a stale copy,
// space the $MFT no longer maps). Records found twice are listed twice.
#include <algorithm>
#include <new>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "ntfs/mft.h"
#include "ntfs/ntfs_scan.h"
#include "platform/aligned_buffer.h"
#include "platform/bytes.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kChunkSectors = 2048;  // 1 MiB reads
constexpr std::uint64_t kRecordSectors = kMftRecordSize / 512;
constexpr std::uint64_t kShowEvery = 1000;     // sectors, by LBA
constexpr std::size_t kRecordNumberField = 44;

class SlowScan {
 public:
  SlowScan(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol) : ctx_(ctx), drive_(drive), vol_(vol) {}

  void Run() {
    ntfs_scan::ClearPending(ctx_, vol_);
    // The search needs no map; the record only serves attribute lists.
    DecodeMftRecord(ctx_, drive_, vol_);
    const auto total = static_cast<std::uint64_t>(std::max<std::int64_t>(vol_.total_sectors, 0));
    ntfs_scan::Start(ctx_, drive_, vol_, progress_, total, total / kShowEvery, {IDC_T_DIRS, IDC_T_FILES});
    own_numbers_ = RecordsCarryNumbers(ctx_, drive_, vol_);
    try {
      buffer_ = AlignedBuffer(kChunkSectors * 512);
    } catch (const std::bad_alloc&) {
      fe_MessageBox(ctx_.main_dlg, "Could not allocate read buffer", kProductTitle, MB_OK | MB_ICONSTOP);
      ntfs_scan::BackToIdle(ctx_, progress_);
      return;
    }
    Search(total);
    buffer_ = AlignedBuffer();
    ntfs_scan::Finish(ctx_, vol_, progress_);
  }

 private:
  // Chunks overlap by one sector, so a record starting on a chunk's last
  // examined position lies whole in that chunk's buffer. The tail after the
  // last whole chunk is read as a shorter chunk; no read passes the volume's
  // end or the drive's.
  void Search(std::uint64_t total) {
    const auto start = static_cast<std::uint64_t>(std::max<std::int64_t>(vol_.start_lba, 0));
    std::uint64_t end = total > UINT64_MAX - start ? UINT64_MAX : start + total;
    if (drive_.total_sectors != 0) end = std::min(end, drive_.total_sectors);
    for (std::uint64_t lba = start; lba < end && end - lba >= kRecordSectors;) {
      if (CheckTerminate(IDM_TERMINATE_SCAN) == 1) return;
      const std::uint64_t n = std::min(kChunkSectors, end - lba);
      const std::span<std::uint8_t> chunk = buffer_.span().first(n * 512);
      ReadSectors(ctx_, drive_, lba, chunk);  // what cannot be read comes back zeroed
      // The next chunk is fetched while this one is decoded.
      const std::uint64_t next = lba + n - 1;
      if (next < end) PrefetchSectors(drive_, next, std::min(kChunkSectors, end - next));
      for (std::uint64_t p = 0; p + 1 < n; ++p) Examine(chunk.subspan(p * 512, kMftRecordSize), lba + p, start);
      lba += n - 1;
    }
  }

  void Examine(std::span<std::uint8_t> at, std::uint64_t lba, std::uint64_t start) {
    if (lba % kShowEvery == 0) ntfs_scan::ShowProgress(ctx_, vol_, progress_, lba - start);
    if (!IsFileRecord(at)) return;
    if (own_numbers_) counter_ = le::U32(at, kRecordNumberField);
    // Decoded in place: the chunk is not read again.
    ntfs_scan::KeepRecord(ctx_, vol_, DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, at, counter_), lba);
    ++counter_;
  }

  AppContext& ctx_;
  PHYDRIVE_INFO& drive_;
  LOGDRIVE_INFO& vol_;
  PROGRESS_INFO progress_;
  AlignedBuffer buffer_;
  bool own_numbers_ = false;
  std::uint64_t counter_ = 0;
};

}  // namespace

void SlowNtfsScan(AppContext& ctx) {
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!drive || !vol) return;
  SlowScan(ctx, *drive, *vol).Run();
}
