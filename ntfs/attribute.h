// The attributes of an NTFS file record: the header walk from the record's
// first-attribute offset, and the resident and non-resident header forms.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr std::size_t kMftRecordSize = 1024;

inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;
inline constexpr std::uint32_t kAttrList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kAttrIndexAlloc = 0xA0;

// Header sizes: the fields read from each form must lie inside the attribute.
inline constexpr std::size_t kAttrCommonHeader = 16;
inline constexpr std::size_t kAttrResidentHeader = 24;
inline constexpr std::size_t kAttrNonResidentHeader = 56;

// The walk looks at no more than this many attributes: the ones decoded
// (names, data, the list) come first in a base record, and a damaged chain
// of small lengths cannot keep it going.
inline constexpr std::size_t kMaxAttributes = 10;

struct Attribute {
  std::span<const std::uint8_t> bytes;  // the whole attribute, inside the record
  std::uint32_t type = 0;
  std::uint8_t form = 0;  // the non-resident flag byte as stored; 0 below the common header
  bool nonresident = false;
  std::uint8_t name_len = 0;
};

// The attributes in walk order. A walk is broken by an attribute of length 0,
// which cannot be stepped over; one that would reach past the record ends the
// walk with the attributes before it.
struct AttributeWalk {
  std::array<Attribute, kMaxAttributes> items{};
  std::size_t count = 0;
  bool broken = false;
  std::span<const Attribute> attributes() const& { return std::span<const Attribute>(items).first(count); }
  // The span points into the walk: a temporary walk would leave it dangling.
  std::span<const Attribute> attributes() const&& = delete;
};

// Walks the first kMftRecordSize bytes of a record; a shorter span has no attributes.
AttributeWalk ReadAttributes(std::span<const std::uint8_t> record);

struct ResidentValue {
  std::span<const std::uint8_t> bytes;
  std::size_t offset = 0;  // from the start of the attribute
};
// The value of a resident attribute, checked to lie inside the attribute.
std::optional<ResidentValue> ReadResidentValue(const Attribute& a);

// Non-resident attribute flags (header field 12).
inline constexpr std::uint16_t kAttrFlagCompressed = 0x0001;
inline constexpr std::uint16_t kAttrFlagSparse = 0x8000;

struct NonResidentHeader {
  std::uint64_t data_size = 0;
  std::size_t mapping_pairs_offset = 0;  // from the start of the attribute
  std::uint64_t lowest_vcn = 0;          // the first cluster this extent maps
  std::uint16_t flags = 0;
  std::uint8_t compression_unit = 0;     // log2 of the clusters in a unit; 0 uncompressed
  // Bytes past this read as zeros. A header too short to hold it gives data_size.
  std::uint64_t initialized_size = 0;
};
std::optional<NonResidentHeader> ReadNonResidentHeader(const Attribute& a);
