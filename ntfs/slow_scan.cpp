// The slow NTFS scan: every sector position of the volume tested for the
// start of a file record, wherever it lies (the live $MFT, a stale copy,
// space the $MFT no longer maps). Records found twice are listed twice.
#include <algorithm>
#include <deque>
#include <new>
#include <optional>
#include <vector>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "ntfs/attribute_list.h"
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
  // Records still waiting (only when the sweep was left by an exception) go with it.
  ~SlowScan() {
    for (Found& f : found_) ReleaseRecord(f.rec);
  }
  SlowScan(const SlowScan&) = delete;
  SlowScan& operator=(const SlowScan&) = delete;

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
    // Records with an attribute list send the decoder elsewhere on the
    // drive; the sweep's own descriptor keeps its read-ahead going meanwhile.
    SectorStream sweep(drive_);
    for (std::uint64_t lba = start; lba < end && end - lba >= kRecordSectors;) {
      if (CheckTerminate(IDM_TERMINATE_SCAN) == 1) break;
      const std::uint64_t n = std::min(kChunkSectors, end - lba);
      const std::span<std::uint8_t> chunk = buffer_.span().first(n * 512);
      sweep.Read(ctx_, lba, chunk);  // what cannot be read comes back zeroed
      for (std::uint64_t p = 0; p + 1 < n; ++p) Examine(chunk.subspan(p * 512, kMftRecordSize), lba + p, start);
      ++chunks_;
      KeepFound(false);
      lba += n - 1;
    }
    KeepFound(true);  // what was found is kept, also when stopped
  }

  void Examine(std::span<std::uint8_t> at, std::uint64_t lba, std::uint64_t start) {
    if (lba % kShowEvery == 0) ntfs_scan::ShowProgress(ctx_, vol_, progress_, lba - start);
    if (!IsFileRecord(at)) return;
    if (own_numbers_) counter_ = le::U32(at, kRecordNumberField);
    const std::uint64_t number = counter_++;
    // A record whose attribute list lies elsewhere and is not in the page
    // cache yet waits, its list asked for now: read on the spot, one list at
    // a time, those reads would cost more than the sweep. Records are kept in
    // the order found, so the ones after it wait too (decoded already), as
    // briefly as can be: a record held long is out of the processor's caches
    // by the time it is kept.
    const std::optional<SectorRange> list = GuessAttributeListSectors(at, vol_);
    const bool wait = list && !SectorCached(drive_, list->start.value);
    if (!wait && found_.empty()) {
      // Decoded in place: the chunk is not read again.
      ntfs_scan::KeepRecord(ctx_, vol_, DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, at, number), lba);
      return;
    }
    Found f{chunks_, lba, number, nullptr, {}, list ? list->start.value : 0};
    if (wait) {
      PrefetchSectors(drive_, list->start.value, list->count);
      f.raw.assign(at.begin(), at.end());
      ++waiting_lists_;
    } else {
      f.rec = DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, at, number);
    }
    found_.push_back(std::move(f));
    if (waiting_lists_ > kMaxWaitingLists) KeepFound(true);
    else if (found_.size() % kTryKeepEvery == 0) KeepFound(false);
  }

  // Keeps the records found, in the order found, up to the first whose
  // attribute list has not arrived yet (all of them when `all`); a list
  // waited for kListLagChunks chunks is read, waiting if need be.
  void KeepFound(bool all) {
    while (!found_.empty()) {
      Found& f = found_.front();
      if (!f.raw.empty()) {
        if (!all && f.chunk + kListLagChunks > chunks_ && !SectorCached(drive_, f.list_lba)) return;
        f.rec = DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, f.raw, f.number);
        --waiting_lists_;
      }
      ntfs_scan::KeepRecord(ctx_, vol_, f.rec, f.lba);
      found_.pop_front();
    }
  }

  // A record found, waiting for its turn to be kept: decoded, or (raw) its
  // bytes, to be decoded when its attribute list has had time to arrive.
  struct Found {
    std::uint64_t chunk;
    std::uint64_t lba;
    std::uint64_t number;
    INODE_RECD* rec;
    std::vector<std::uint8_t> raw;
    std::uint64_t list_lba;  // where its list starts (raw only)
  };
  // How many chunks of the sweep a list has to arrive, and how many records
  // may wait for theirs at most (a kilobyte each).
  static constexpr std::uint64_t kListLagChunks = 16;
  static constexpr std::size_t kMaxWaitingLists = 4096;
  // How often (in records queued) the queue's head is looked at between chunks.
  static constexpr std::size_t kTryKeepEvery = 32;

  AppContext& ctx_;
  PHYDRIVE_INFO& drive_;
  LOGDRIVE_INFO& vol_;
  PROGRESS_INFO progress_;
  AlignedBuffer buffer_;
  std::deque<Found> found_;
  std::size_t waiting_lists_ = 0;
  std::uint64_t chunks_ = 0;
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
