#include "ntfs/attribute.h"

#include "app/shell.h"
#include "platform/bytes.h"

namespace {

constexpr std::size_t kFirstAttributeField = 20;  // in the record header

}  // namespace

AttributeWalk ReadAttributes(std::span<const std::uint8_t> record) {
  AttributeWalk walk;
  if (record.size() < kMftRecordSize) {
    DebugPrint("ReadAttributes: record of %zu bytes", record.size());
    return walk;
  }
  const std::span<const std::uint8_t> rec = record.first(kMftRecordSize);
  std::size_t off = le::U16(rec, kFirstAttributeField);
  for (; walk.count < kMaxAttributes; ++walk.count) {
    std::uint32_t type = 0, length = 0;
    if (!le::Read(rec, off, type) || (type != kAttrEnd && !le::Read(rec, off + 4, length))) {
      DebugPrint("ReadAttributes: attribute at %zu past the record", off);
      return walk;
    }
    if (type == kAttrEnd) return walk;
    if (length < 1) {
      DebugPrint("ReadAttributes: attribute at %zu has length 0", off);
      walk.broken = true;
      return walk;
    }
    if (length > rec.size() - off) {
      DebugPrint("ReadAttributes: attribute at %zu reaches past the record", off);
      return walk;
    }
    Attribute& a = walk.items[walk.count];
    a.bytes = rec.subspan(off, length);
    a.type = type;
    if (length >= kAttrCommonHeader) {
      a.form = a.bytes[8];
      a.nonresident = a.form != 0;
      a.name_len = a.bytes[9];
    }
    off += length;
  }
  std::uint32_t next = 0;
  if (le::Read(rec, off, next) && next != kAttrEnd)
    DebugPrint("ReadAttributes: more than %zu attributes, the rest not read", kMaxAttributes);
  return walk;
}

std::optional<ResidentValue> ReadResidentValue(const Attribute& a) {
  if (a.nonresident) {
    DebugPrint("ReadResidentValue: attribute 0x%X is non-resident", a.type);
    return std::nullopt;
  }
  if (a.bytes.size() < kAttrResidentHeader) {
    DebugPrint("ReadResidentValue: attribute 0x%X shorter than its header", a.type);
    return std::nullopt;
  }
  const std::size_t len = le::U32(a.bytes, 16);
  const std::size_t off = le::U16(a.bytes, 20);
  if (off > a.bytes.size() || len > a.bytes.size() - off) {
    DebugPrint("ReadResidentValue: value of attribute 0x%X past the attribute", a.type);
    return std::nullopt;
  }
  return ResidentValue{a.bytes.subspan(off, len), off};
}

std::optional<NonResidentHeader> ReadNonResidentHeader(const Attribute& a) {
  if (!a.nonresident) {
    DebugPrint("ReadNonResidentHeader: attribute 0x%X is resident", a.type);
    return std::nullopt;
  }
  if (a.bytes.size() < kAttrNonResidentHeader) {
    DebugPrint("ReadNonResidentHeader: attribute 0x%X shorter than its header", a.type);
    return std::nullopt;
  }
  NonResidentHeader h{le::U64(a.bytes, 48), le::U16(a.bytes, 32)};
  h.lowest_vcn = le::U64(a.bytes, 16);
  h.flags = le::U16(a.bytes, 12);
  h.compression_unit = a.bytes[34];
  if (!le::Read(a.bytes, 56, h.initialized_size)) h.initialized_size = h.data_size;
  return h;
}
