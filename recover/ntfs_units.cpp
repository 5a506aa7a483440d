#include "recover/ntfs_units.h"

#include <algorithm>
#include <array>
#include <memory>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_list.h"
#include "ntfs/mft.h"
#include "ntfs/update_sequence.h"
#include "platform/bytes.h"
#include "volume/logdrive.h"

namespace {

constexpr std::size_t kRecordNumberField = 44;
// Compression units above 2^8 clusters do not occur; a larger claim is damage.
constexpr std::uint8_t kMaxCompressionUnit = 8;

struct RecordDeleter {
  void operator()(INODE_RECD* r) const { ReleaseRecord(r); }
};
using RecordPtr = std::unique_ptr<INODE_RECD, RecordDeleter>;

unsigned long long Ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

// The $MFT map for records an attribute list names: the scan's when this
// volume was scanned, else this volume's $MFT record decoded here (the
// context's map is left as it was).
class MftMap {
 public:
  const INODE_RECD* Get(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol) {
    if (ctx.mft_inode && ctx.scanned_logdrive == &vol) return ctx.mft_inode;
    if (!own_ && !tried_) {
      tried_ = true;
      INODE_RECD* const kept = ctx.mft_inode;
      ctx.mft_inode = nullptr;
      if (DecodeMftRecord(ctx, drive, vol)) own_.reset(ctx.mft_inode);
      ctx.mft_inode = kept;
    }
    return own_.get();
  }

 private:
  RecordPtr own_;
  bool tried_ = false;
};

bool HasAttributeList(std::span<const std::uint8_t> rec) {
  const AttributeWalk walk = ReadAttributes(rec);
  for (const Attribute& a : walk.attributes())
    if (a.type == kAttrList) return true;
  return false;
}

// The unnamed $DATA extent that starts the data (a resident one, or lowest VCN 0) in a record.
std::optional<Attribute> FirstDataExtent(std::span<const std::uint8_t> rec) {
  const AttributeWalk walk = ReadAttributes(rec);
  for (const Attribute& a : walk.attributes()) {
    if (a.type != kAttrData || a.name_len != 0 || a.bytes.size() < kAttrCommonHeader) continue;
    if (!a.nonresident) return a;
    const std::optional<NonResidentHeader> h = ReadNonResidentHeader(a);
    if (h && h->lowest_vcn == 0) return a;
  }
  return std::nullopt;
}

// Takes sizes and compression (or the resident value) from the first $DATA extent.
void TakeDataHeader(const Attribute& a, NtfsFileData& d) {
  if (!a.nonresident) {
    d.resident = true;
    if (const std::optional<ResidentValue> v = ReadResidentValue(a)) {
      d.resident_bytes.assign(v->bytes.begin(), v->bytes.end());
      d.data_size = v->bytes.size();
      return;
    }
    // The value claims more than its attribute holds: the part inside only.
    d.resident_whole = false;
    if (a.bytes.size() >= kAttrResidentHeader) {
      const std::size_t off = le::U16(a.bytes, 20);
      if (off < a.bytes.size()) d.resident_bytes.assign(a.bytes.begin() + static_cast<std::ptrdiff_t>(off), a.bytes.end());
      d.data_size = le::U32(a.bytes, 16);
    }
    return;
  }
  const std::optional<NonResidentHeader> h = ReadNonResidentHeader(a);
  if (!h) return;
  d.data_size = h->data_size;
  d.initialized_size = std::min(h->initialized_size, h->data_size);
  const std::uint8_t cu = h->compression_unit;
  d.compressed = (h->flags & kAttrFlagCompressed) != 0 && cu != 0;
  if (d.compressed) d.unit_clusters = cu <= kMaxCompressionUnit ? 1u << cu : kNtfsUnitClusters;
}

// Finds the first $DATA extent through the record's attribute list.
bool DataHeaderThroughList(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const INODE_RECD* mft,
                           std::span<const std::uint8_t> rec, NtfsFileData& d) {
  const AttributeWalk walk = ReadAttributes(rec);
  for (const Attribute& a : walk.attributes()) {
    if (a.type != kAttrList) continue;
    const std::optional<std::vector<std::uint8_t>> bytes = ReadAttributeListValue(ctx, drive, vol, a);
    if (!bytes) return false;
    for (const ListEntry& e : DecodeAttributeList(*bytes).entries) {
      if (e.type != kAttrData || e.name_len != 0 || e.start_vcn != 0) continue;
      std::array<std::uint8_t, kMftRecordSize> buf{};
      if (MapRecordToLba(ctx, drive, vol, mft, buf, e.ref) == kNoLba) return false;
      ApplyUpdateSequence(buf, kNtfsSectorSize, UpdateSequenceMode::Restore);
      const std::optional<Attribute> x = FirstDataExtent(buf);
      if (!x) return false;
      TakeDataHeader(*x, d);
      return true;
    }
    return false;
  }
  return false;
}

}  // namespace

std::optional<NtfsFileData> ReadNtfsFileData(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol,
                                             const FILE_INODE& f) {
  std::array<std::uint8_t, kMftRecordSize> rec{};
  if (!ReadSectors(ctx, drive, f.record_lba, rec)) {
    DebugPrint("ReadNtfsFileData: read failed at LBA %llu", Ull(f.record_lba));
    return std::nullopt;
  }
  if (!IsFileRecord(rec)) {
    DebugPrint("ReadNtfsFileData: no FILE record at LBA %llu", Ull(f.record_lba));
    return std::nullopt;
  }
  // The decoder restores the update sequence in place; the header walk below needs the same.
  std::array<std::uint8_t, kMftRecordSize> restored = rec;
  ApplyUpdateSequence(restored, kNtfsSectorSize, UpdateSequenceMode::Restore);
  MftMap map;
  const bool listed = HasAttributeList(restored);
  const INODE_RECD* mft = listed ? map.Get(ctx, drive, vol) : nullptr;
  if (listed && !mft) {
    DebugPrint("ReadNtfsFileData: no $MFT map for the attribute list at LBA %llu", Ull(f.record_lba));
    return std::nullopt;
  }
  RecordPtr r(DecodeScanRecord(ctx, drive, vol, mft, rec, le::U32(rec, kRecordNumberField)));
  if (!r) return std::nullopt;

  NtfsFileData d;
  d.runs = std::move(r->run_list);
  bool header = false;
  if (const std::optional<Attribute> a = FirstDataExtent(restored)) {
    TakeDataHeader(*a, d);
    header = true;
  } else if (listed) {
    header = DataHeaderThroughList(ctx, drive, vol, mft, restored, d);
  }
  if (!header) {
    // No extent at VCN 0 found: what the decoder made of the record.
    d.resident = r->has_resident_data;
    d.resident_bytes = std::move(r->resident_data);
    d.data_size = r->data_size;
    d.initialized_size = r->data_size;
  }
  if (d.resident) d.runs.clear();
  return d;
}

bool UnitWalk::Advance() {
  while (index_ < runs_.size()) {
    const RUN_ENTRY& run = runs_[index_++];
    if (run.length == 0) continue;
    lcn_ = run.lcn;
    left_ = run.length;
    sparse_ = run.lcn_delta == 0;
    return true;
  }
  return false;
}

bool UnitWalk::Next(Unit& u) {
  u.pieces.clear();
  u.clusters = 0;
  u.sparse_units = 0;
  if (left_ == 0 && !Advance()) return false;
  if (sparse_ && left_ >= unit_) {
    u.sparse_units = left_ / unit_;
    u.clusters = u.sparse_units * unit_;
    left_ -= u.clusters;
    return true;
  }
  while (u.clusters < unit_) {
    if (left_ == 0 && !Advance()) break;
    const std::uint64_t take = std::min(left_, unit_ - u.clusters);
    u.pieces.push_back({lcn_, take, u.clusters, sparse_});
    if (!sparse_) lcn_ += take;
    left_ -= take;
    u.clusters += take;
  }
  return true;
}

bool VerifyNtfsFileUnits(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const FILE_INODE& f,
                         const std::function<bool(std::uint64_t first_cluster, std::uint64_t clusters)>& each_run) {
  const std::optional<NtfsFileData> d = ReadNtfsFileData(ctx, drive, vol, f);
  if (!d) return false;
  UnitWalk walk(d->runs, d->unit_clusters);
  for (Unit u; walk.Next(u);) {
    for (const UnitPiece& p : u.pieces)
      if (!p.sparse && !each_run(p.lcn, p.clusters)) return true;
  }
  return true;
}
