#include "ntfs/mft.h"

#include <array>
#include <memory>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/bytes.h"
#include "app/status.h"
#include "volume/logdrive.h"

namespace {

constexpr std::size_t kSector = 512;
constexpr int kMaxAttributes = 10;

constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr std::uint32_t kAttrList = 0x20;
constexpr std::uint32_t kAttrFileName = 0x30;
constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrIndexRoot = 0x90;
constexpr std::uint32_t kAttrIndexAlloc = 0xA0;

// Attribute header sizes: the fields read from each form must lie inside the attribute.
constexpr std::size_t kCommonHeader = 16;
constexpr std::size_t kResidentHeader = 24;
constexpr std::size_t kNonResidentHeader = 56;

constexpr std::size_t kFileNameFixed = 66;  // fields before the name itself

// An attribute list is at most 256 KiB on NTFS; a larger claim is damage.
constexpr std::uint64_t kMaxAttrListBytes = 256 * 1024;
// An attribute list entry holds its fields up to the record reference's high bits.
constexpr std::size_t kListEntryHeader = 24;
// A hostile chain of attribute lists could otherwise grow one record's Run List
// to hundreds of megabytes; no real file comes near this.
constexpr std::size_t kMaxRuns = std::size_t{1} << 20;

constexpr std::array<std::uint64_t, 3> kMftCandidateClusters = {4, 0xC0000, 0x600000};

// ---- Update sequence -----------------------------------------------------------

// Checks every sector before changing any, so a torn record is left as read.
template <typename Byte>
bool UpdateSequence(std::span<Byte> buf, std::size_t sector_size, bool restore) {
  const std::size_t size = buf.size();
  if (size < 8 || sector_size < 2) return false;
  const std::span<const std::uint8_t> ro(buf.data(), size);
  const std::size_t usa = le::U16(ro, 4);
  const std::size_t count = le::U16(ro, 6);
  if (count == 0) return false;
  const std::size_t n = count - 1;
  if (sector_size * n != size) return false;
  if (usa > size - 2) return false;
  const std::uint8_t usn_low = ro[usa];
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t last = i * sector_size - 2;
    const std::size_t entry = usa + 2 * i;
    if (last + 2 > size || entry + 2 > size) return false;
    if (ro[last] != usn_low) return false;  // one byte compared, as on disk
  }
  if constexpr (!std::is_const_v<Byte>) {
    if (restore) {
      for (std::size_t i = 1; i <= n; ++i) {
        const std::size_t last = i * sector_size - 2;
        const std::size_t entry = usa + 2 * i;
        buf[last] = buf[entry];
        buf[last + 1] = buf[entry + 1];
      }
    }
  }
  return true;
}

// ---- Attribute walk --------------------------------------------------------------

struct Attr {
  std::span<const std::uint8_t> bytes;  // the whole attribute, inside the record
  std::uint32_t type = 0;
  bool nonresident = false;
  std::uint8_t name_len = 0;
};

enum class Walk { Go, Stop, Fail };

// Visits at most ten attributes from the record's first-attribute offset. An
// attribute length of 0 fails; an attribute that would reach past the record
// ends the walk with what was decoded before it.
template <typename Visit>
Walk WalkAttributes(std::span<const std::uint8_t> rec, Visit&& visit) {
  if (rec.size() < kMftRecordSize) return Walk::Go;
  rec = rec.first(kMftRecordSize);
  std::size_t off = le::U16(rec, 20);
  for (int i = 0; i < kMaxAttributes; ++i) {
    std::uint32_t type = 0, length = 0;
    if (!le::Read(rec, off, type)) return Walk::Go;
    if (type == kAttrEnd) return Walk::Go;
    if (!le::Read(rec, off + 4, length)) return Walk::Go;
    if (length < 1) return Walk::Fail;
    if (length > rec.size() - off) return Walk::Go;
    Attr a;
    a.bytes = rec.subspan(off, length);
    a.type = type;
    if (length >= kCommonHeader) {
      a.nonresident = a.bytes[8] != 0;
      a.name_len = a.bytes[9];
    }
    const Walk w = visit(a);
    if (w != Walk::Go) return w;
    off += length;
  }
  return Walk::Go;
}

// The value of a resident attribute, checked to lie inside the attribute.
bool ResidentValue(const Attr& a, std::span<const std::uint8_t>& value, std::size_t& value_offset) {
  if (a.nonresident || a.bytes.size() < kResidentHeader) return false;
  const std::size_t len = le::U32(a.bytes, 16);
  const std::size_t off = le::U16(a.bytes, 20);
  if (off > a.bytes.size() || len > a.bytes.size() - off) return false;
  value = a.bytes.subspan(off, len);
  value_offset = off;
  return true;
}

// ---- $FILE_NAME ----------------------------------------------------------------

struct FileNameValue {
  std::uint64_t parent = 0;
  std::uint64_t write_time = 0;
  std::uint8_t name_space = 0;
  std::string name;  // low byte of each UTF-16 unit
};

bool ParseFileName(const Attr& a, FileNameValue& out) {
  std::span<const std::uint8_t> v;
  std::size_t voff = 0;
  if (!ResidentValue(a, v, voff)) return false;
  if (v.empty() || voff >= 1001 || v.size() < kFileNameFixed) return false;
  const std::size_t chars = v[64];
  if (kFileNameFixed + 2 * chars > v.size()) return false;
  out.parent = le::U32(v, 0) | (static_cast<std::uint64_t>(le::U16(v, 4)) << 32);
  out.write_time = le::U64(v, 16);
  out.name_space = v[65];
  out.name.resize(chars);
  for (std::size_t i = 0; i < chars; ++i) out.name[i] = static_cast<char>(v[kFileNameFixed + 2 * i]);
  return true;
}

void TakeFileName(INODE_RECD& r, const Attr& a) {
  FileNameValue fn;
  if (!ParseFileName(a, fn)) return;
  r.parent_number = fn.parent;
  r.write_time = fn.write_time;
  if (fn.name_space == 2) {
    r.short_name = std::move(fn.name);
  } else if (fn.name_space == 1 || fn.name_space == 3) {
    r.posix_name = std::move(fn.name);
  }
}

// ---- Run lists -------------------------------------------------------------------

std::int64_t ReadSigned(std::span<const std::uint8_t> b, std::size_t off, unsigned size) {
  if (size == 0 || size > 4) return 0;
  std::uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) v |= static_cast<std::uint64_t>(b[off + i]) << (8 * i);
  const unsigned bits = size * 8;
  if (v & (std::uint64_t{1} << (bits - 1))) v |= ~std::uint64_t{0} << bits;
  return static_cast<std::int64_t>(v);
}

// Decodes the mapping pairs at `off` inside the attribute and appends them to
// runs. A run that fails the volume's range test, or whose fields would reach
// past the attribute, ends the list; the runs before it are kept.
void DecodeRuns(std::span<const std::uint8_t> attr, std::size_t off, std::uint64_t start_vcn, const LOGDRIVE_INFO& vol,
                std::vector<RUN_ENTRY>& runs) {
  if (off > 1000) return;
  const std::size_t first = runs.size();
  const std::int64_t limit = vol.cluster_count;
  while (off < attr.size() && attr[off] != 0 && runs.size() < kMaxRuns) {
    const unsigned len_size = attr[off] & 0x0F;
    const unsigned off_size = attr[off] >> 4;
    if (1 + len_size + off_size > attr.size() - off) return;
    const std::int64_t length = ReadSigned(attr, off + 1, len_size);
    const std::int64_t delta = ReadSigned(attr, off + 1 + len_size, off_size);
    off += 1 + len_size + off_size;

    RUN_ENTRY e;
    std::int64_t lcn = delta;
    if (runs.size() == first) {
      e.start_vcn = start_vcn;
    } else {
      const RUN_ENTRY& prev = runs.back();
      e.start_vcn = prev.start_vcn + prev.length;
      // prev.lcn passed the range test, so the sum stays far from overflow.
      lcn = static_cast<std::int64_t>(prev.lcn) + delta;
    }
    if (lcn < 0 || lcn > limit || length < 0 || length > limit) return;
    e.lcn = static_cast<std::uint64_t>(lcn);
    e.lcn_delta = delta;
    e.length = static_cast<std::uint64_t>(length);
    runs.push_back(e);
  }
}

// ---- $DATA ---------------------------------------------------------------------

// Where the attribute was found: in the record itself, or through an attribute list.
enum class DataFrom { Record, List };

void TakeData(INODE_RECD& r, const Attr& a, const LOGDRIVE_INFO& vol, std::uint64_t start_vcn, DataFrom from) {
  // Only the file's own data: a named stream would replace it.
  if (a.name_len != 0 || a.bytes.size() < kCommonHeader) return;
  r.data_nonresident = a.bytes[8];
  if (!a.nonresident) {
    std::span<const std::uint8_t> v;
    std::size_t voff = 0;
    if (!ResidentValue(a, v, voff) || v.empty()) return;
    if (from == DataFrom::Record && (voff > 800 || v.size() > 800)) return;
    r.resident_data.assign(v.begin(), v.end());
    r.has_resident_data = true;
    if (from == DataFrom::Record || r.data_size == 0) r.data_size = v.size();
    return;
  }
  if (a.bytes.size() < kNonResidentHeader) return;
  const std::uint64_t data_size = le::U64(a.bytes, 48);
  if (r.run_list.empty()) r.data_size_kb = static_cast<std::uint64_t>(static_cast<std::int64_t>(data_size) / 1024);
  if (from == DataFrom::Record || (r.data_size == 0 && data_size != 0)) r.data_size = data_size;
  DecodeRuns(a.bytes, le::U16(a.bytes, 32), start_vcn, vol, r.run_list);
}

// ---- Attribute lists ---------------------------------------------------------------

struct ListEntry {
  std::uint32_t type = 0;
  std::uint8_t name_len = 0;
  std::uint64_t start_vcn = 0;
  std::uint64_t ref = 0;  // 48-bit record number
};

// Walks the entries; visit returns false to fail the walk. An entry length of
// 0, or one too short for its own fields, fails; the walk succeeds when what
// is left cannot hold another entry or the next entry claims more than is left.
template <typename Visit>
bool WalkListEntries(std::span<const std::uint8_t> list, Visit&& visit) {
  std::size_t pos = 0;
  while (list.size() - pos >= kListEntryHeader) {
    const std::span<const std::uint8_t> e = list.subspan(pos);
    const std::size_t len = le::U16(e, 4);
    if (len < kListEntryHeader) return false;
    if (len > e.size()) return true;
    ListEntry entry;
    entry.type = le::U32(e, 0);
    entry.name_len = e[6];
    entry.start_vcn = le::U64(e, 8);
    entry.ref = le::U32(e, 16) | (static_cast<std::uint64_t>(le::U16(e, 20)) << 32);
    if (!visit(entry)) return false;
    pos += len;
  }
  return true;
}

// Reads the runs of a non-resident value into out (data size bytes).
bool ReadNonResidentValue(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const Attr& a,
                          std::vector<std::uint8_t>& out) {
  if (a.bytes.size() < kNonResidentHeader || vol.sectors_per_cluster == 0) return false;
  const std::uint64_t size = le::U64(a.bytes, 48);
  if (size == 0 || size > kMaxAttrListBytes) return false;
  std::vector<RUN_ENTRY> runs;
  DecodeRuns(a.bytes, le::U16(a.bytes, 32), 0, vol, runs);

  const std::uint64_t spc = vol.sectors_per_cluster;
  const std::uint64_t cluster_bytes = spc * kSector;
  const std::size_t whole = static_cast<std::size_t>((size + kSector - 1) / kSector * kSector);
  out.assign(whole, 0);
  std::size_t pos = 0;
  for (const RUN_ENTRY& run : runs) {
    if (pos >= whole) break;
    const std::size_t left = whole - pos;
    // length x cluster size may not fit 64 bits on a damaged volume record.
    const std::size_t want = run.length >= (left + cluster_bytes - 1) / cluster_bytes
                                 ? left
                                 : static_cast<std::size_t>(run.length * cluster_bytes);
    if (run.lcn_delta != 0) {  // sparse runs read as zeros, as out already holds
      const std::uint64_t lba = run.lcn * spc + static_cast<std::uint64_t>(vol.start_lba);
      if (!ReadSectors(ctx, drive, lba, std::span<std::uint8_t>(out).subspan(pos, want))) return false;
    }
    pos += want;
  }
  if (pos < size) return false;  // the runs do not cover the value
  out.resize(static_cast<std::size_t>(size));
  return true;
}

// The entries of an attribute list: a resident value in place, or a
// non-resident one read from its clusters into storage.
bool AttributeListBytes(AppContext& ctx, PHYDRIVE_INFO* drive, const LOGDRIVE_INFO& vol, const Attr& a,
                        std::vector<std::uint8_t>& storage, std::span<const std::uint8_t>& list) {
  if (a.nonresident) {
    if (!drive || !ReadNonResidentValue(ctx, *drive, vol, a, storage)) return false;
    list = storage;
    return true;
  }
  std::size_t voff = 0;
  if (!ResidentValue(a, list, voff)) return false;
  return voff <= 500;
}

// Attribute lists name an attribute once per extent; a record holding two of
// the list's attributes (a name and its DOS twin, data and a named stream) is
// still read and decoded once.
using SeenSet = std::set<std::pair<std::uint32_t, std::uint64_t>>;

struct Decoder {
  AppContext& ctx;
  PHYDRIVE_INFO* drive;
  const LOGDRIVE_INFO& vol;
  INODE_RECD& rec;
};

// A scan record's attribute list: every name and data extent it names is
// decoded from its record, read through the $MFT's map.
bool DecodeScanAttributeList(Decoder& d, const Attr& a) {
  std::vector<std::uint8_t> storage;
  std::span<const std::uint8_t> list;
  if (!AttributeListBytes(d.ctx, d.drive, d.vol, a, storage, list)) return false;
  SeenSet seen;
  return WalkListEntries(list, [&](const ListEntry& e) {
    if (e.type == kAttrIndexRoot) DebugPrint("ATTR List INDEXROOT");
    if (e.type == kAttrIndexAlloc) DebugPrint("ATTR List INDEXALLOC");
    if (e.type != kAttrFileName && e.type != kAttrData) return true;
    if (e.type == kAttrData && e.name_len != 0) return true;  // a named stream
    if (!seen.insert({e.type, e.ref}).second) return true;
    std::array<std::uint8_t, kMftRecordSize> buf{};
    if (!d.drive || MapRecordToLba(d.ctx, *d.drive, d.vol, d.ctx.mft_inode, buf, e.ref) == kNoLba) return false;
    ApplyUpdateSequence(buf, kSector, UpdateSequenceMode::Restore);
    WalkAttributes(buf, [&](const Attr& x) {
      if (x.type != e.type) return Walk::Go;
      if (x.type == kAttrFileName) TakeFileName(d.rec, x);
      else TakeData(d.rec, x, d.vol, e.start_vcn, DataFrom::List);
      return Walk::Go;
    });
    return true;
  });
}

// The first attribute of a type among the record's first ten (for $DATA the unnamed one).
bool FirstAttribute(std::span<const std::uint8_t> rec, std::uint32_t type, Attr& found) {
  bool hit = false;
  WalkAttributes(rec, [&](const Attr& x) {
    if (x.type != type || (type == kAttrData && x.name_len != 0)) return Walk::Go;
    found = x;
    hit = true;
    return Walk::Stop;
  });
  return hit;
}

// The $MFT's own attribute list: its $DATA extents in other records are read
// through the Run List decoded so far, so the first extent must map them.
bool DecodeMftAttributeList(Decoder& d, std::span<const std::uint8_t> rec, const Attr& a) {
  std::vector<std::uint8_t> storage;
  std::span<const std::uint8_t> list;
  if (!AttributeListBytes(d.ctx, d.drive, d.vol, a, storage, list)) return false;
  SeenSet seen;
  WalkListEntries(list, [&](const ListEntry& e) {
    if (e.type != kAttrFileName && e.type != kAttrData) return true;
    if (e.type == kAttrData && e.name_len != 0) return true;
    if (!seen.insert({e.type, e.ref}).second) return true;
    Attr x;
    if (e.ref == 0) {
      if (!FirstAttribute(rec, e.type, x)) return true;
      if (e.type == kAttrFileName) TakeFileName(d.rec, x);
      else TakeData(d.rec, x, d.vol, 0, DataFrom::Record);
      return true;
    }
    if (e.type != kAttrData || !d.drive) return true;
    std::array<std::uint8_t, kMftRecordSize> buf{};
    if (MapRecordToLba(d.ctx, *d.drive, d.vol, &d.rec, buf, e.ref) == kNoLba) return true;
    ApplyUpdateSequence(buf, kSector, UpdateSequenceMode::Restore);
    if (FirstAttribute(buf, kAttrData, x)) TakeData(d.rec, x, d.vol, e.start_vcn, DataFrom::List);
    return true;
  });
  // Entries used up (or the walk met a damaged entry): what was decoded stands.
  return true;
}

std::unique_ptr<INODE_RECD> NewRecordFromHeader(std::span<const std::uint8_t> rec) {
  auto r = std::make_unique<INODE_RECD>();
  r->header_record_number = le::U32(rec, 44);
  r->record_flags = le::U16(rec, 22);
  return r;
}

}  // namespace

int ApplyUpdateSequence(std::span<std::uint8_t> buffer, std::size_t sector_size, UpdateSequenceMode mode) {
  return UpdateSequence(buffer, sector_size, mode == UpdateSequenceMode::Restore) ? 1 : 0;
}

bool IsFileRecord(std::span<const std::uint8_t> record) {
  if (record.size() < kMftRecordSize) return false;
  record = record.first(kMftRecordSize);
  if (record[0] != 'F' || record[1] != 'I' || record[2] != 'L' || record[3] != 'E') return false;
  if (!UpdateSequence(record, kSector, false)) return false;
  return le::U16(record, 20) > 0;
}

INODE_RECD* DecodeScanRecord(AppContext& ctx, const LOGDRIVE_INFO& vol, std::span<std::uint8_t> record,
                             std::uint64_t number) {
  if (record.size() < kMftRecordSize) return nullptr;
  record = record.first(kMftRecordSize);
  ApplyUpdateSequence(record, kSector, UpdateSequenceMode::Restore);
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  if (!drive) return nullptr;
  std::unique_ptr<INODE_RECD> r = NewRecordFromHeader(record);
  r->own_number = number;
  Decoder d{ctx, drive, vol, *r};
  const Walk w = WalkAttributes(record, [&](const Attr& a) {
    switch (a.type) {
      case kAttrFileName: TakeFileName(*r, a); return Walk::Go;
      case kAttrData: TakeData(*r, a, vol, 0, DataFrom::Record); return Walk::Go;
      case kAttrList: return DecodeScanAttributeList(d, a) ? Walk::Stop : Walk::Fail;
      default: return Walk::Go;
    }
  });
  if (w == Walk::Fail) return nullptr;
  return r.release();
}

int DecodeMftRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol) {
  ReleaseRecord(ctx.mft_inode);
  ctx.mft_inode = nullptr;
  if (vol.mft_lba < 0) return 0;
  std::array<std::uint8_t, kMftRecordSize> buf{};
  if (!ReadSectors(ctx, drive, static_cast<std::uint64_t>(vol.mft_lba), buf)) return 0;
  if (!ApplyUpdateSequence(buf, kSector, UpdateSequenceMode::Restore)) return 0;
  std::unique_ptr<INODE_RECD> r = NewRecordFromHeader(buf);
  Decoder d{ctx, &drive, vol, *r};
  const Walk w = WalkAttributes(buf, [&](const Attr& a) {
    switch (a.type) {
      case kAttrFileName: TakeFileName(*r, a); return Walk::Go;
      case kAttrData: TakeData(*r, a, vol, 0, DataFrom::Record); return Walk::Go;
      case kAttrList: return DecodeMftAttributeList(d, buf, a) ? Walk::Stop : Walk::Go;
      default: return Walk::Go;
    }
  });
  if (w == Walk::Fail) return 0;
  ctx.mft_inode = r.release();
  return 1;
}

std::uint64_t MapRecordToLba(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const INODE_RECD* mft,
                             std::span<std::uint8_t> buffer, std::uint64_t number) {
  if (!mft || buffer.size() < kMftRecordSize || vol.sectors_per_cluster == 0) return kNoLba;
  const std::uint64_t spc = vol.sectors_per_cluster;
  for (const RUN_ENTRY& run : mft->run_list) {
    // Run fields from a damaged list can be anything; a product that does not
    // fit 64 bits maps nothing.
    if (run.start_vcn > UINT64_MAX / spc || run.length > UINT64_MAX / spc) continue;
    const std::uint64_t start = run.start_vcn * spc / 2;
    const std::uint64_t span_kb = run.length * spc / 2;
    if (number < start || number - start >= span_kb) continue;
    const std::uint64_t lba = (number - start) * 2 + run.lcn * spc + static_cast<std::uint64_t>(vol.start_lba);
    const std::span<std::uint8_t> rec = buffer.first(kMftRecordSize);
    if (!ReadSectors(ctx, drive, lba, rec)) return kNoLba;
    return IsFileRecord(rec) ? lba : kNoLba;
  }
  return kNoLba;
}

int LocateMft(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol) {
  if (vol.sectors_per_cluster == 0) return 0;
  for (std::uint64_t cluster : kMftCandidateClusters) {
    // One record at the cluster's first sector: a cluster may be smaller than a record.
    const std::uint64_t lba = cluster * vol.sectors_per_cluster + static_cast<std::uint64_t>(vol.start_lba);
    // A candidate beyond the volume or the drive is no $MFT; reading it would
    // only count read errors on a small disk.
    const std::uint64_t vol_end = static_cast<std::uint64_t>(vol.start_lba) + static_cast<std::uint64_t>(vol.total_sectors);
    if (lba + 2 > drive.total_sectors || (vol.total_sectors > 0 && lba + 2 > vol_end)) continue;
    std::array<std::uint8_t, kMftRecordSize> buf{};
    if (!ReadSectors(ctx, drive, lba, buf)) continue;
    if (!IsFileRecord(buf)) continue;
    if (ReadRecordLongName(buf) == "$MFT") {
      vol.mft_lba = static_cast<std::int64_t>(lba);
      return 1;
    }
  }
  return 0;
}

std::string ReadRecordLongName(std::span<std::uint8_t> record) {
  if (record.size() < kMftRecordSize) return {};
  record = record.first(kMftRecordSize);
  ApplyUpdateSequence(record, kSector, UpdateSequenceMode::Restore);
  std::string name;
  WalkAttributes(record, [&](const Attr& a) {
    FileNameValue fn;
    if (a.type != kAttrFileName || !ParseFileName(a, fn)) return Walk::Go;
    if (fn.name_space != 1 && fn.name_space != 3) return Walk::Go;
    name = std::move(fn.name);
    return Walk::Stop;
  });
  return name;
}
