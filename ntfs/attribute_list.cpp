#include "ntfs/attribute_list.h"

#include <algorithm>

#include "app/shell.h"
#include "disk/phydrive.h"
#include "ntfs/run_list.h"
#include "platform/bytes.h"
#include "volume/logdrive.h"

namespace {

// LBAs count 512-byte sectors.
constexpr std::size_t kSectorBytes = 512;

// Reads the runs of a non-resident value (its data size in bytes).
std::optional<std::vector<std::uint8_t>> ReadNonResidentValue(AppContext& ctx, PHYDRIVE_INFO& drive,
                                                              const LOGDRIVE_INFO& vol, const Attribute& a) {
  const std::optional<NonResidentHeader> h = ReadNonResidentHeader(a);
  if (!h) return std::nullopt;
  if (vol.sectors_per_cluster == 0) {
    DebugPrint("ReadAttributeListValue: volume without a cluster size");
    return std::nullopt;
  }
  const std::uint64_t size = h->data_size;
  if (size == 0 || size > kMaxAttrListBytes) {
    DebugPrint("ReadAttributeListValue: size %llu outside 1..%llu", static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(kMaxAttrListBytes));
    return std::nullopt;
  }
  const RunList runs = DecodeRunList(a.bytes, h->mapping_pairs_offset, 0, vol);

  const std::uint64_t spc = vol.sectors_per_cluster;
  const std::uint64_t cluster_bytes = spc * kSectorBytes;
  const std::size_t whole = static_cast<std::size_t>((size + kSectorBytes - 1) / kSectorBytes * kSectorBytes);
  std::vector<std::uint8_t> out(whole, 0);
  std::size_t pos = 0;
  for (const RUN_ENTRY& run : runs.runs) {
    if (pos >= whole) break;
    const std::size_t left = whole - pos;
    // length x cluster size may not fit 64 bits on a damaged volume record.
    const std::size_t want = run.length >= (left + cluster_bytes - 1) / cluster_bytes
                                 ? left
                                 : static_cast<std::size_t>(run.length * cluster_bytes);
    if (run.lcn_delta != 0) {  // sparse runs read as zeros, as out already holds
      const std::uint64_t lba = run.lcn * spc + static_cast<std::uint64_t>(vol.start_lba);
      if (!ReadSectors(ctx, drive, lba, std::span<std::uint8_t>(out).subspan(pos, want))) {
        DebugPrint("ReadAttributeListValue: read failed at LBA %llu", static_cast<unsigned long long>(lba));
        return std::nullopt;
      }
    }
    pos += want;
  }
  if (pos < size) {
    DebugPrint("ReadAttributeListValue: runs cover %zu of %llu bytes", pos, static_cast<unsigned long long>(size));
    return std::nullopt;
  }
  out.resize(static_cast<std::size_t>(size));
  return out;
}

}  // namespace

AttributeList DecodeAttributeList(std::span<const std::uint8_t> list) {
  AttributeList out;
  std::size_t pos = 0;
  while (list.size() - pos >= kListEntryHeader) {
    const std::span<const std::uint8_t> e = list.subspan(pos);
    const std::size_t len = le::U16(e, 4);
    if (len < kListEntryHeader) {
      DebugPrint("DecodeAttributeList: entry at %zu of length %zu", pos, len);
      out.damaged = true;
      return out;
    }
    if (len > e.size()) return out;
    ListEntry entry;
    entry.type = le::U32(e, 0);
    entry.name_len = e[6];
    entry.start_vcn = le::U64(e, 8);
    entry.ref = le::U32(e, 16) | (static_cast<std::uint64_t>(le::U16(e, 20)) << 32);
    out.entries.push_back(entry);
    pos += len;
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> ReadAttributeListValue(AppContext& ctx, PHYDRIVE_INFO& drive,
                                                                const LOGDRIVE_INFO& vol, const Attribute& a) {
  if (a.type != kAttrList) {
    DebugPrint("ReadAttributeListValue: attribute 0x%X is no attribute list", a.type);
    return std::nullopt;
  }
  if (a.nonresident) return ReadNonResidentValue(ctx, drive, vol, a);
  const std::optional<ResidentValue> v = ReadResidentValue(a);
  if (!v) return std::nullopt;
  if (v->offset > kMaxResidentListValueOffset) {
    DebugPrint("ReadAttributeListValue: value offset %zu above %zu", v->offset, kMaxResidentListValueOffset);
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(v->bytes.begin(), v->bytes.end());
}

std::optional<SectorRange> GuessAttributeListSectors(std::span<const std::uint8_t> record, const LOGDRIVE_INFO& vol) {
  constexpr std::size_t kFirstAttributeField = 20;
  constexpr std::size_t kAttributesBeforeList = 2;
  if (record.size() < kMftRecordSize || vol.sectors_per_cluster == 0 || vol.start_lba < 0) return std::nullopt;
  record = record.first(kMftRecordSize);
  if (record[0] != 'F' || record[1] != 'I' || record[2] != 'L' || record[3] != 'E') return std::nullopt;
  std::size_t off = le::U16(record, kFirstAttributeField);
  for (std::size_t i = 0; i < kAttributesBeforeList; ++i) {
    std::uint32_t type = 0, length = 0;
    if (!le::Read(record, off, type) || !le::Read(record, off + 4, length)) return std::nullopt;
    if (type > kAttrList || length == 0 || length > record.size() - off) return std::nullopt;
    if (type != kAttrList) {
      off += length;
      continue;
    }
    const std::span<const std::uint8_t> a = record.subspan(off, length);
    if (a.size() < kAttrNonResidentHeader || a[8] == 0) return std::nullopt;  // resident: nothing to fetch
    const std::optional<RUN_ENTRY> run = PeekFirstRun(a, le::U16(a, 32), vol);
    if (!run) return std::nullopt;
    const std::uint64_t spc = vol.sectors_per_cluster;
    if (run->lcn > UINT64_MAX / spc || run->length > UINT64_MAX / spc) return std::nullopt;
    const std::uint64_t size = std::min<std::uint64_t>(le::U64(a, 48), kMaxAttrListBytes);
    const std::uint64_t sectors = std::min((size + kSectorBytes - 1) / kSectorBytes, run->length * spc);
    const std::optional<Lba> at = Lba(run->lcn * spc).Plus(static_cast<std::uint64_t>(vol.start_lba));
    if (!at || sectors == 0) return std::nullopt;
    return SectorRange{*at, sectors};
  }
  return std::nullopt;
}
