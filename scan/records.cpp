#include "scan/records.h"

#include "platform/bytes.h"

std::array<std::uint8_t, kInodeRecdSize> InodeRecdToBytes(const INODE_RECD& r) {
  std::array<std::uint8_t, kInodeRecdSize> out{};
  std::span<std::uint8_t> b(out);
  // Offsets 0, 4, 8 (names, resident data) and 960..975 (lists) are pointer slots: zero.
  le::Write<std::uint32_t>(b, 12, r.link_state);
  le::Write<std::uint32_t>(b, 16, r.record_flags);
  le::Write<std::uint16_t>(b, 20, r.fat_date);
  le::Write<std::uint16_t>(b, 22, r.fat_time);
  le::Write<std::uint32_t>(b, 28, PosixNameLen(r));
  le::Write<std::uint32_t>(b, 32, ShortNameLen(r));
  le::Write<std::uint32_t>(b, 36, static_cast<std::uint32_t>(r.resident_data.size()));
  le::Write<std::uint32_t>(b, 44, static_cast<std::uint32_t>(r.run_list.size()));
  le::Write<std::uint32_t>(b, 48, r.data_nonresident);
  le::Write<std::uint64_t>(b, 52, r.file_count);
  le::Write<std::uint64_t>(b, 60, r.record_lba);
  le::Write<std::uint64_t>(b, 68, r.data_size);
  le::Write<std::uint64_t>(b, 76, r.own_number);
  le::Write<std::uint64_t>(b, 84, r.parent_number);
  le::Write<std::uint64_t>(b, 92, r.header_record_number);
  le::Write<std::uint64_t>(b, 100, r.data_size_kb);
  le::Write<std::uint64_t>(b, 108, r.write_time);
  return out;
}

bool InodeRecdFromBytes(std::span<const std::uint8_t> b, INODE_RECD& r, std::uint32_t* posix_len,
                        std::uint32_t* short_len, std::uint32_t* resident_len, std::uint32_t* run_count) {
  if (b.size() < kInodeRecdSize) return false;
  r.link_state = le::U32(b, 12);
  r.record_flags = le::U32(b, 16);
  r.fat_date = le::U16(b, 20);
  r.fat_time = le::U16(b, 22);
  if (posix_len) *posix_len = le::U32(b, 28);
  if (short_len) *short_len = le::U32(b, 32);
  if (resident_len) *resident_len = le::U32(b, 36);
  if (run_count) *run_count = le::U32(b, 44);
  r.data_nonresident = le::U32(b, 48);
  r.file_count = le::U64(b, 52);
  r.record_lba = le::U64(b, 60);
  r.data_size = le::U64(b, 68);
  r.own_number = le::U64(b, 76);
  r.parent_number = le::U64(b, 84);
  r.header_record_number = le::U64(b, 92);
  r.data_size_kb = le::U64(b, 100);
  r.write_time = le::U64(b, 108);
  return true;
}

std::array<std::uint8_t, kFileInodeSize> FileInodeToBytes(const FILE_INODE& f) {
  std::array<std::uint8_t, kFileInodeSize> out{};
  std::span<std::uint8_t> b(out);
  le::Write<std::uint16_t>(b, 4, f.fat_date);
  le::Write<std::uint16_t>(b, 6, f.fat_time);
  le::Write<std::uint32_t>(b, 8, f.name_size);
  le::Write<std::uint32_t>(b, 12, f.mark_state);
  le::Write<std::uint32_t>(b, 16, f.record_flags);
  le::Write<std::uint32_t>(b, 20, f.verify_result);
  le::Write<std::uint32_t>(b, 24, f.own_number);
  le::Write<std::uint64_t>(b, 28, f.write_time);
  le::Write<std::uint64_t>(b, 36, f.data_size);
  le::Write<std::uint64_t>(b, 44, f.record_lba);
  le::Write<std::uint64_t>(b, 52, f.parent_number);
  return out;
}

bool FileInodeFromBytes(std::span<const std::uint8_t> b, FILE_INODE& f) {
  if (b.size() < kFileInodeSize) return false;
  f.fat_date = le::U16(b, 4);
  f.fat_time = le::U16(b, 6);
  f.name_size = le::U32(b, 8);
  f.mark_state = le::U32(b, 12);
  f.record_flags = le::U32(b, 16);
  f.verify_result = le::U32(b, 20);
  f.own_number = le::U32(b, 24);
  f.write_time = le::U64(b, 28);
  f.data_size = le::U64(b, 36);
  f.record_lba = le::U64(b, 44);
  f.parent_number = le::U64(b, 52);
  return true;
}

std::array<std::uint8_t, kRunEntrySize> RunEntryToBytes(const RUN_ENTRY& e) {
  std::array<std::uint8_t, kRunEntrySize> out{};
  std::span<std::uint8_t> b(out);
  le::Write<std::uint64_t>(b, 0, e.start_vcn);
  le::Write<std::uint64_t>(b, 8, e.lcn);
  le::Write<std::int64_t>(b, 16, e.lcn_delta);
  le::Write<std::uint64_t>(b, 24, e.length);
  return out;
}

bool RunEntryFromBytes(std::span<const std::uint8_t> b, RUN_ENTRY& e) {
  if (b.size() < kRunEntrySize) return false;
  e.start_vcn = le::U64(b, 0);
  e.lcn = le::U64(b, 8);
  e.lcn_delta = static_cast<std::int64_t>(le::U64(b, 16));
  e.length = le::U64(b, 24);
  return true;
}

void ReleaseRecord(INODE_RECD* r) { delete r; }
