#include "ntfs/mft.h"

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_list.h"
#include "ntfs/file_name.h"
#include "ntfs/run_list.h"
#include "ntfs/update_sequence.h"
#include "platform/bytes.h"
#include "volume/logdrive.h"

namespace {

// Record header fields.
constexpr std::size_t kFirstAttributeField = 20;
constexpr std::size_t kFlagsField = 22;
constexpr std::size_t kBaseRecordField = 32;
constexpr std::size_t kRecordNumberField = 44;
// A file reference: the record number in the low 48 bits, a sequence number above.
constexpr std::uint64_t kRecordRefMask = (std::uint64_t{1} << 48) - 1;
// A record is two 512-byte sectors, one KiB of the $MFT.
constexpr std::uint64_t kRecordSectors = kMftRecordSize / 512;

// Resident data taken from the record itself: a value, or its offset, beyond
// this does not fit a 1024-byte record beside its header,
// $STANDARD_INFORMATION and a $FILE_NAME, so it is damage.
constexpr std::size_t kMaxRecordResidentData = 800;

unsigned long long Ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

void TakeFileName(INODE_RECD& r, const Attribute& a) {
  std::optional<FileName> fn = ReadFileName(a);
  if (!fn) return;
  // A POSIX name is never shown; when it is a hard link's other name, its
  // parent would put the shown name in a directory that does not hold it.
  if (fn->name_space == kNamePosix && (r.posix_name || r.short_name)) return;
  r.parent_number = fn->parent;
  r.write_time = fn->write_time;
  if (fn->name_space == kNameDos) {
    r.short_name = std::move(fn->name);
  } else if (IsLongName(*fn)) {
    r.posix_name = std::move(fn->name);
  }
}

// Where the attribute was found: in the record itself, or through an attribute list.
enum class DataFrom { Record, List };

void TakeData(INODE_RECD& r, const Attribute& a, const LOGDRIVE_INFO& vol, std::uint64_t start_vcn, DataFrom from) {
  // Only the file's own data: a named stream would replace it.
  if (a.name_len != 0 || a.bytes.size() < kAttrCommonHeader) return;
  r.data_nonresident = a.form;
  if (!a.nonresident) {
    const std::optional<ResidentValue> v = ReadResidentValue(a);
    if (!v || v->bytes.empty()) return;
    if (from == DataFrom::Record && (v->offset > kMaxRecordResidentData || v->bytes.size() > kMaxRecordResidentData)) {
      DebugPrint("TakeData: resident value of %zu bytes at %zu above %zu", v->bytes.size(), v->offset,
                 kMaxRecordResidentData);
      return;
    }
    r.resident_data.assign(v->bytes.begin(), v->bytes.end());
    r.has_resident_data = true;
    if (from == DataFrom::Record || r.data_size == 0) r.data_size = v->bytes.size();
    return;
  }
  const std::optional<NonResidentHeader> h = ReadNonResidentHeader(a);
  if (!h) return;
  if (r.run_list.empty()) r.data_size_kb = static_cast<std::uint64_t>(static_cast<std::int64_t>(h->data_size) / 1024);
  if (from == DataFrom::Record || (r.data_size == 0 && h->data_size != 0)) r.data_size = h->data_size;
  const RunList runs = DecodeRunList(a.bytes, h->mapping_pairs_offset, start_vcn, vol, kMaxRuns - r.run_list.size());
  r.run_list.insert(r.run_list.end(), runs.runs.begin(), runs.runs.end());
}

// Attribute lists name an attribute once per extent; a record holding two of
// the list's attributes (a name and its DOS twin, data and a named stream) is
// still read and decoded once.
using SeenSet = std::set<std::pair<std::uint32_t, std::uint64_t>>;

// Only names and the unnamed data are taken from the records a list names.
bool Wanted(const ListEntry& e, SeenSet& seen) {
  if (e.type != kAttrFileName && e.type != kAttrData) return false;
  if (e.type == kAttrData && e.name_len != 0) return false;  // a named stream
  return seen.insert({e.type, e.ref}).second;
}

struct Decoder {
  AppContext& ctx;
  PHYDRIVE_INFO& drive;
  const LOGDRIVE_INFO& vol;
  INODE_RECD& rec;
};

// A scan record's attribute list: every name and data extent it names is
// decoded from its record, read through the $MFT's map.
bool DecodeScanAttributeList(Decoder& d, const INODE_RECD* mft, const Attribute& a) {
  const std::optional<std::vector<std::uint8_t>> bytes = ReadAttributeListValue(d.ctx, d.drive, d.vol, a);
  if (!bytes) return false;
  const AttributeList list = DecodeAttributeList(*bytes);
  SeenSet seen;
  for (const ListEntry& e : list.entries) {
    if (e.type == kAttrIndexRoot) DebugPrint("ATTR List INDEXROOT");
    if (e.type == kAttrIndexAlloc) DebugPrint("ATTR List INDEXALLOC");
    if (!Wanted(e, seen)) continue;
    std::array<std::uint8_t, kMftRecordSize> buf{};
    if (MapRecordToLba(d.ctx, d.drive, d.vol, mft, buf, e.ref) == kNoLba) return false;
    ApplyUpdateSequence(buf, kNtfsSectorSize, UpdateSequenceMode::Restore);
    const AttributeWalk walk = ReadAttributes(buf);
    for (const Attribute& x : walk.attributes()) {
      if (x.type != e.type) continue;
      if (x.type == kAttrFileName) TakeFileName(d.rec, x);
      else TakeData(d.rec, x, d.vol, e.start_vcn, DataFrom::List);
    }
  }
  return !list.damaged;
}

// The first attribute of a type among the record's first ten (for $DATA the unnamed one).
std::optional<Attribute> FirstAttribute(std::span<const std::uint8_t> rec, std::uint32_t type) {
  const AttributeWalk walk = ReadAttributes(rec);
  for (const Attribute& x : walk.attributes())
    if (x.type == type && (type != kAttrData || x.name_len == 0)) return x;
  return std::nullopt;
}

// The $MFT's own attribute list: its $DATA extents in other records are read
// through the Run List decoded so far, so the first extent must map them.
// Entries used up (or a damaged entry met): what was decoded stands.
bool DecodeMftAttributeList(Decoder& d, std::span<const std::uint8_t> rec, const Attribute& a) {
  const std::optional<std::vector<std::uint8_t>> bytes = ReadAttributeListValue(d.ctx, d.drive, d.vol, a);
  if (!bytes) return false;
  const AttributeList list = DecodeAttributeList(*bytes);
  SeenSet seen;
  for (const ListEntry& e : list.entries) {
    if (!Wanted(e, seen)) continue;
    if (e.ref == 0) {
      const std::optional<Attribute> x = FirstAttribute(rec, e.type);
      if (!x) continue;
      if (e.type == kAttrFileName) TakeFileName(d.rec, *x);
      else TakeData(d.rec, *x, d.vol, 0, DataFrom::Record);
      continue;
    }
    if (e.type != kAttrData) continue;
    std::array<std::uint8_t, kMftRecordSize> buf{};
    if (MapRecordToLba(d.ctx, d.drive, d.vol, &d.rec, buf, e.ref) == kNoLba) continue;
    ApplyUpdateSequence(buf, kNtfsSectorSize, UpdateSequenceMode::Restore);
    if (const std::optional<Attribute> x = FirstAttribute(buf, kAttrData)) TakeData(d.rec, *x, d.vol, e.start_vcn, DataFrom::List);
  }
  return true;
}

std::unique_ptr<INODE_RECD> NewRecordFromHeader(std::span<const std::uint8_t> rec) {
  auto r = std::make_unique<INODE_RECD>();
  r->header_record_number = le::U32(rec, kRecordNumberField);
  r->record_flags = le::U16(rec, kFlagsField);
  return r;
}

}  // namespace

bool IsFileRecord(std::span<const std::uint8_t> record) {
  if (record.size() < kMftRecordSize) return false;
  record = record.first(kMftRecordSize);
  if (record[0] != 'F' || record[1] != 'I' || record[2] != 'L' || record[3] != 'E') return false;
  if (UpdateSequenceFault(record, kNtfsSectorSize)) return false;
  return le::U16(record, kFirstAttributeField) > 0;
}

INODE_RECD* DecodeScanRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const INODE_RECD* mft,
                             std::span<std::uint8_t> record, std::uint64_t number) {
  if (record.size() < kMftRecordSize) {
    DebugPrint("DecodeScanRecord: record %llu of %zu bytes", Ull(number), record.size());
    return nullptr;
  }
  record = record.first(kMftRecordSize);
  ApplyUpdateSequence(record, kNtfsSectorSize, UpdateSequenceMode::Restore);
  // An extension record holds attributes of its base record, which decodes
  // them through its attribute list; alone it would list a phantom file. A
  // base record's reference is all zero (an extension of the $MFT names
  // record 0 with a sequence number).
  if (const std::uint64_t base = le::U64(record, kBaseRecordField); base != 0) {
    DebugPrint("DecodeScanRecord: record %llu extends record %llu", Ull(number), Ull(base & kRecordRefMask));
    return nullptr;
  }
  std::unique_ptr<INODE_RECD> r = NewRecordFromHeader(record);
  r->own_number = number;
  Decoder d{ctx, drive, vol, *r};
  const AttributeWalk walk = ReadAttributes(record);
  for (const Attribute& a : walk.attributes()) {
    if (a.type == kAttrFileName) TakeFileName(*r, a);
    if (a.type == kAttrData) TakeData(*r, a, vol, 0, DataFrom::Record);
    if (a.type != kAttrList) continue;
    // The list covers the record's remaining attributes.
    if (DecodeScanAttributeList(d, mft, a)) return r.release();
    DebugPrint("DecodeScanRecord: record %llu: attribute list not decoded", Ull(number));
    return nullptr;
  }
  if (walk.broken) {
    DebugPrint("DecodeScanRecord: record %llu: attribute walk broken", Ull(number));
    return nullptr;
  }
  return r.release();
}

int DecodeMftRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol) {
  // Records are plain heap objects (ReleaseRecord deletes them).
  std::unique_ptr<INODE_RECD>(ctx.mft_inode).reset();
  ctx.mft_inode = nullptr;
  if (vol.mft_lba < 0) {
    DebugPrint("DecodeMftRecord: volume without a $MFT position");
    return 0;
  }
  std::array<std::uint8_t, kMftRecordSize> buf{};
  if (!ReadSectors(ctx, drive, static_cast<std::uint64_t>(vol.mft_lba), buf)) {
    DebugPrint("DecodeMftRecord: read failed at LBA %lld", static_cast<long long>(vol.mft_lba));
    return 0;
  }
  if (!IsFileRecord(buf)) {
    DebugPrint("DecodeMftRecord: no FILE record at LBA %lld", static_cast<long long>(vol.mft_lba));
    return 0;
  }
  if (!ApplyUpdateSequence(buf, kNtfsSectorSize, UpdateSequenceMode::Restore)) return 0;
  std::unique_ptr<INODE_RECD> r = NewRecordFromHeader(buf);
  Decoder d{ctx, drive, vol, *r};
  const AttributeWalk walk = ReadAttributes(buf);
  bool listed = false;
  for (const Attribute& a : walk.attributes()) {
    if (a.type == kAttrFileName) TakeFileName(*r, a);
    if (a.type == kAttrData) TakeData(*r, a, vol, 0, DataFrom::Record);
    // A list that cannot be read leaves the record's own attributes to decode.
    if (a.type == kAttrList && DecodeMftAttributeList(d, buf, a)) {
      listed = true;
      break;
    }
  }
  if (!listed && walk.broken) {
    DebugPrint("DecodeMftRecord: attribute walk broken");
    return 0;
  }
  ctx.mft_inode = r.release();
  return 1;
}

std::uint64_t MapRecordToLba(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const INODE_RECD* mft,
                             std::span<std::uint8_t> buffer, std::uint64_t number) {
  if (!mft) {
    DebugPrint("MapRecordToLba: no $MFT map");
    return kNoLba;
  }
  if (buffer.size() < kMftRecordSize) {
    DebugPrint("MapRecordToLba: buffer of %zu bytes", buffer.size());
    return kNoLba;
  }
  if (vol.sectors_per_cluster == 0) {
    DebugPrint("MapRecordToLba: volume without a cluster size");
    return kNoLba;
  }
  const std::uint64_t spc = vol.sectors_per_cluster;
  for (const RUN_ENTRY& run : mft->run_list) {
    // Run fields from a damaged list can be anything; a product that does not
    // fit 64 bits maps nothing.
    if (run.start_vcn > UINT64_MAX / spc || run.length > UINT64_MAX / spc) continue;
    const std::uint64_t start = run.start_vcn * spc / kRecordSectors;
    const std::uint64_t span_records = run.length * spc / kRecordSectors;
    if (number < start || number - start >= span_records) continue;
    const std::uint64_t lba =
        (number - start) * kRecordSectors + run.lcn * spc + static_cast<std::uint64_t>(vol.start_lba);
    const std::span<std::uint8_t> rec = buffer.first(kMftRecordSize);
    if (!ReadSectors(ctx, drive, lba, rec)) {
      DebugPrint("MapRecordToLba: record %llu: read failed at LBA %llu", Ull(number), Ull(lba));
      return kNoLba;
    }
    if (IsFileRecord(rec)) return lba;
    DebugPrint("MapRecordToLba: record %llu at LBA %llu is no FILE record", Ull(number), Ull(lba));
    return kNoLba;
  }
  DebugPrint("MapRecordToLba: record %llu outside the $MFT map", Ull(number));
  return kNoLba;
}

std::string ReadRecordLongName(std::span<std::uint8_t> record) {
  if (record.size() < kMftRecordSize) {
    DebugPrint("ReadRecordLongName: record of %zu bytes", record.size());
    return {};
  }
  record = record.first(kMftRecordSize);
  ApplyUpdateSequence(record, kNtfsSectorSize, UpdateSequenceMode::Restore);
  const AttributeWalk walk = ReadAttributes(record);
  for (const Attribute& a : walk.attributes()) {
    if (a.type != kAttrFileName) continue;
    std::optional<FileName> fn = ReadFileName(a);
    if (fn && IsLongName(*fn)) return std::move(fn->name);
  }
  return {};
}
