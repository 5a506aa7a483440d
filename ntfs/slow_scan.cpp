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
      copies_ = AlignedBuffer(kChunkSectors * kMftRecordSize);
      positions_.resize(kChunkSectors);
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
  // A record found, waiting for its turn to be kept: decoded, or (raw) its
  // bytes, to be decoded when the sweep has passed its attribute list.
  struct Found {
    std::uint64_t lba;
    std::uint64_t number;
    INODE_RECD* rec;
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
      const std::size_t found = FindRecords(sweep, lba, n);
      swept_end_ = lba + n;
      std::size_t k = 0;
      for (std::uint64_t p = 0; p + 1 < n; ++p) {
        if ((lba + p) % kShowEvery == 0) ntfs_scan::ShowProgress(ctx_, vol_, progress_, lba + p - start);
        if (k < found && positions_[k] == p) Examine(Copy(k++), lba + p);
      }
      DecodeArrivedLists();
      KeepFound(found_.size() > kMaxHeld);
      lba += n - 1;
    }
    KeepFound(true);  // what was found is kept, also when stopped
  }

  // Finds the positions of the chunk at lba that start a file record and
  // copies those records out; how many. Where the chunk is looked at in place
  // this is the only code that reads it, under the fault guard: a page that
  // cannot be read again sends the chunk through a read instead.
  std::size_t FindRecords(SectorStream& sweep, std::uint64_t lba, std::uint64_t n) {
    const std::span<std::uint8_t> buffer = buffer_.span().first(n * 512);
    SectorStream::Chunk chunk = sweep.Bring(ctx_, lba, buffer);
    std::size_t found = 0;
    auto search = [&] { found = CopyRecords(chunk.bytes, n); };
    if (!chunk.viewed) {
      search();
    } else if (!ReadViewed(search)) {
      sweep.Read(ctx_, lba, buffer);
      chunk = {buffer, false};
      search();
    }
    return found;
  }

  // Safe to leave mid-way: no allocation, only the preallocated tables written.
  std::size_t CopyRecords(std::span<const std::uint8_t> chunk, std::uint64_t n) {
    std::size_t found = 0;
    for (std::uint64_t p = 0; p + 1 < n; ++p) {
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
    const std::uint64_t list_end = list ? list->start.value + list->count : 0;
    const bool wait = list_end > swept_end_;
    if (!wait && found_.empty()) {
      ntfs_scan::KeepRecord(ctx_, vol_, DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, at, number), lba);
      return;
    }
    Found& f = found_.emplace_back(Found{lba, number, nullptr, {}});
    if (wait) {
      f.raw.assign(at.begin(), at.end());
      waiting_.emplace(list_end, &f);
    } else {
      f.rec = DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, at, number);
    }
  }

  // Decodes the waiting records whose lists the sweep has now passed.
  void DecodeArrivedLists() {
    while (!waiting_.empty() && waiting_.begin()->first <= swept_end_) {
      Decode(*waiting_.begin()->second);
      waiting_.erase(waiting_.begin());
    }
  }

  void Decode(Found& f) {
    f.rec = DecodeScanRecord(ctx_, drive_, vol_, ctx_.mft_inode, f.raw, f.number);
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
      ntfs_scan::KeepRecord(ctx_, vol_, f.rec, f.lba);
      found_.pop_front();
    }
  }

  // Records held back at most (about a hundred bytes each besides the
  // record): past that, the lists still ahead are read where they lie.
  static constexpr std::size_t kMaxHeld = std::size_t{1} << 19;

  AppContext& ctx_;
  PHYDRIVE_INFO& drive_;
  LOGDRIVE_INFO& vol_;
  PROGRESS_INFO progress_;
  AlignedBuffer buffer_;
  AlignedBuffer copies_;                  // the records of one chunk
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
