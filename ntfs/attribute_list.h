// The $ATTRIBUTE_LIST of a record whose attributes spill into other records:
// one entry per attribute extent, naming the record that holds it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ntfs/attribute.h"
#include "platform/lba.h"

struct AppContext;
struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

// An attribute list is at most 256 KiB on NTFS; a larger claim is damage.
inline constexpr std::uint64_t kMaxAttrListBytes = 256 * 1024;
// An entry holds its fields up to the record reference's high bits.
inline constexpr std::size_t kListEntryHeader = 24;
// A resident list's value follows its attribute header closely; one starting
// further into the attribute than this is damage.
inline constexpr std::size_t kMaxResidentListValueOffset = 500;

struct ListEntry {
  std::uint32_t type = 0;
  std::uint8_t name_len = 0;
  std::uint64_t start_vcn = 0;
  std::uint64_t ref = 0;  // 48-bit record number
};

// The entries before the list ends or before a damaged entry (damaged true):
// one whose length is too short for its own fields. The list ends when what
// is left cannot hold another entry or the next entry claims more than is left.
struct AttributeList {
  std::vector<ListEntry> entries;
  bool damaged = false;
};
AttributeList DecodeAttributeList(std::span<const std::uint8_t> list);

// The bytes of a list attribute: a resident value copied, or a non-resident
// one read from its clusters on drive (sparse runs read as zeros).
std::optional<std::vector<std::uint8_t>> ReadAttributeListValue(AppContext& ctx, PHYDRIVE_INFO& drive,
                                                                const LOGDRIVE_INFO& vol, const Attribute& a);

// Where a record's non-resident attribute list lies, guessed from the bytes
// as found (update sequence not restored, nothing reported): only for telling
// whether a sweep has passed it yet, never for decoding. The list comes right after
// $STANDARD_INFORMATION, so only the first attributes are looked at, and
// only its first run (lists rarely have more).
std::optional<SectorRange> GuessAttributeListSectors(std::span<const std::uint8_t> record, const LOGDRIVE_INFO& vol);
