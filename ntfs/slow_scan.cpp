// The slow NTFS scan: every sector position of the volume tested for the
// start of a file record, wherever it lies (the live $MFT, a stale copy,
// space the $MFT no longer maps). Records found twice are listed twice.
#include <algorithm>
#include <deque>
#include <map>
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
#include "platform/sweep_view.h"
#include "res/ids.h"
#include "res/resources.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kChunkSectors = 2048;  // 1 MiB reads
constexpr std::uint64_t kRecordSectors = kMftRecordSize / 512;
constexpr std::uint64_t kShowEvery = 1000;     // sectors, by LBA
constexpr std::uint64_t kBatchSectors = 128;   // looked at, then examined
constexpr std::size_t kRecordNumberField = 44;

class SlowScan {
 public:
  SlowScan(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol) : ctx_(ctx), drive_(drive), vol_(vol) {}
  // Records still waiting (only when the sweep was left by an exception) go with it.
  ~SlowScan() {
    for (Found& f : found_) ReleaseRecord(f.ready.dir);  // file inodes go with the context's blocks
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
      copies_ = AlignedBuffer(kBatchSectors * kMftRecordSize);
      positions_.resize(kBatchSectors);
    } catch (const std::bad_alloc&) {
      fe_MessageBox(ctx_.main_dlg, "Could not allocate read buffer", kProductTitle, MB_OK | MB_ICONSTOP);
      ntfs_scan::BackToIdle(ctx_, progress_);
      return;
    }
    Search(total);
    buffer_ = AlignedBuffer();
    copies_ = AlignedBuffer();
    ntfs_scan::Finish(ctx_, vol_, progress_);
  }

 private:
  // A record found, waiting for its turn to be listed: made ready (a file
  // already its small file inode), or (raw) its bytes, to be decoded when
  // the sweep has passed its attribute list.
  struct Found {
    std::uint64_t lba;
    std::uint64_t number;
    ntfs_scan::ReadyRecord ready;
    std::vector<std::uint8_t> raw;
  };

  // Chunks overlap by one sector, so a record starting on a chunk's last
  // examined position lies whole in that chunk. The tail after the last
  // whole chunk is read as a shorter chunk; no read passes the volume's end
  // or the drive's.
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
      const std::span<std::uint8_t> buffer = buffer_.span().first(n * 512);
      SectorStream::Chunk chunk = sweep.Bring(ctx_, lba, buffer);
      swept_end_ = lba + n;
      // A batch's records are still in the processor's caches when examined.
      for (std::uint64_t from = 0; from + 1 < n; from += kBatchSectors) {
        const std::uint64_t to = std::min(from + kBatchSectors, n - 1);
        std::size_t found = 0;
        auto search = [&] { found = CopyRecords(chunk.bytes, from, to); };
        if (!chunk.viewed) {
          search();
        } else if (!ReadViewed(search)) {
          // A page that cannot be read again: the chunk is read instead.
          sweep.Read(ctx_, lba, buffer);
          chunk = {buffer, false};
          search();
        }
        std::size_t k = 0;
        for (std::uint64_t p = from; p < to; ++p) {
          if ((lba + p) % kShowEvery == 0) ntfs_scan::ShowProgress(ctx_, vol_, progress_, lba + p - start);
          if (k < found && positions_[k] == p) Examine(Copy(k++), lba + p);
        }
      }
      DecodeArrivedLists();
      KeepFound(found_.size() > kMaxHeld || waiting_.size() > kMaxWaiting);
      lba += n - 1;
    }
    KeepFound(true);  // what was found is kept, also when stopped
  }

  // Copies out the records starting at positions [from, to) of the chunk
  // and notes where each starts; how many. Where the chunk is looked at in
  // place this is the only code that reads it, under the fault guard, so it
  // must be safe to leave mid-way: no allocation, only the preallocated
  // tables written.
  std::size_t CopyRecords(std::span<const std::uint8_t> chunk, std::uint64_t from, std::uint64_t to) {
    std::size_t found = 0;
    for (std::uint64_t p = from; p < to; ++p) {
      const std::span<const std::uint8_t> at = chunk.subspan(p * 512, kMftRecordSize);
      if (!IsFileRecord(at)) continue;
      std::copy(at.begin(), at.end(), Copy(found).begin());
      positions_[found++] = static_cast<std::uint32_t>(p);
    }
    return found;
  }

  std::span<std::uint8_t> Copy(std::size_t k) { return copies_.span().subspan(k * kMftRecordSize, kMftRecordSize); }

  void Examine(std::span<std::uint8_t> at, std::uint64_t lba) {
    if (own_numbers_) counter_ = le::U32(at, kRecordNumberField);
    const std::uint64_t number = counter_++;
    // A record whose attribute list lies further on waits until the sweep
    // has passed it: the list then comes from what the sweep brought in,
    // where a read of its own, one small read per list all over the volume,
    // would cost the disk more than the sweep. Records are kept in the order
    // found, so the ones after it wait too (decoded already).
    const std::optional<SectorRange> list = GuessAttributeListSectors(at, vol_);
    // A list whose end does not fit 64 bits is never passed.
    const std::uint64_t list_end = !list ? 0 : list->End().value_or(Lba(UINT64_MAX)).value;
    const bool wait = list_end > swept_end_;
    if (!wait && found_.empty()) {
      ntfs_scan::ListRecord(ctx_, vol_, Ready(at, number, lba));
      return;
    }
    Found& f = found_.emplace_back(Found{lba, number, {}, {}});
    if (wait) {
      f.raw.assign(at.begin(), at.end());
      waiting_.emplace(list_end, &f);
    } else {
      f.ready = Ready(at, number, lba);
    }
  }

  ntfs_scan::ReadyRecord Ready(std::span<std::uint8_t> record, std::uint64_t number, std::uint64_t lba) {
    return ntfs_scan::PrepareRecord(ctx_, DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, record, number), lba);
  }

  // Decodes the waiting records whose lists the sweep has now passed.
  void DecodeArrivedLists() {
    while (!waiting_.empty() && waiting_.begin()->first <= swept_end_) {
      Decode(*waiting_.begin()->second);
      waiting_.erase(waiting_.begin());
    }
  }

  void Decode(Found& f) {
    f.ready = Ready(f.raw, f.number, f.lba);
    f.raw = {};
  }

  // Keeps the records found, in the order found, up to the first still
  // waiting for its list (all of them when `all`: lists not passed yet are
  // then read where they lie).
  void KeepFound(bool all) {
    if (all) waiting_.clear();
    while (!found_.empty()) {
      Found& f = found_.front();
      if (!f.raw.empty()) {
        if (!all) return;
        Decode(f);
      }
      ntfs_scan::ListRecord(ctx_, vol_, f.ready);
      found_.pop_front();
    }
  }

  // Records held back at most (some fifty bytes each besides what a kept
  // record takes anyway), and of them waiting for their lists (a kilobyte
  // each): past either, the lists still ahead are read where they lie.
  static constexpr std::size_t kMaxHeld = std::size_t{1} << 19;
  static constexpr std::size_t kMaxWaiting = 4096;

  AppContext& ctx_;
  PHYDRIVE_INFO& drive_;
  LOGDRIVE_INFO& vol_;
  PROGRESS_INFO progress_;
  AlignedBuffer buffer_;
  AlignedBuffer copies_;                  // the records of one batch
  std::vector<std::uint32_t> positions_;  // and where in the chunk each starts
  std::deque<Found> found_;
  std::multimap<std::uint64_t, Found*> waiting_;  // by the LBA after its list
  std::uint64_t swept_end_ = 0;
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
