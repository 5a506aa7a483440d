// Crafted partition tables and boot records for the partition-search tests,
// laid out for the image geometry (255 heads, 63 sectors per track).
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace vimg {

using Sector = std::array<std::uint8_t, 512>;
constexpr std::uint64_t kHeads = 255, kSpt = 63, kCyl = kHeads * kSpt;

inline void Put16(Sector& s, std::size_t o, std::uint16_t v) {
  s[o] = static_cast<std::uint8_t>(v);
  s[o + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(Sector& s, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put64(Sector& s, std::size_t o, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) s[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutText(Sector& s, std::size_t o, const char* text) { std::memcpy(&s[o], text, std::strlen(text)); }
inline void Sign(Sector& s) { Put16(s, 510, 0xAA55); }

// Cylinder/sector word of an LBA, cylinders above 1023 clamped as tools do.
inline std::uint16_t ChsWord(std::uint64_t lba, std::uint8_t* head) {
  std::uint64_t c = lba / kCyl;
  const std::uint64_t r = lba % kCyl;
  *head = static_cast<std::uint8_t>(r / kSpt);
  std::uint64_t sec = r % kSpt + 1;
  if (c > 1023) {
    c = 1023;
    *head = kHeads - 1;
    sec = kSpt;
  }
  return static_cast<std::uint16_t>(sec | ((c >> 2) & 0xC0) | ((c & 0xFF) << 8));
}

struct Entry {
  std::uint8_t type = 0;
  std::uint32_t start = 0;  // as stored (relative to the table or the chain)
  std::uint32_t count = 0;
  std::uint8_t boot = 0;
  // Where the CHS fields point; defaults to start .. start + count - 1.
  std::uint64_t chs_first = UINT64_MAX, chs_last = UINT64_MAX;
};

inline void PutEntry(Sector& s, int index, const Entry& e) {
  const std::size_t o = 446 + 16 * static_cast<std::size_t>(index);
  const std::uint64_t first = e.chs_first != UINT64_MAX ? e.chs_first : e.start;
  const std::uint64_t last = e.chs_last != UINT64_MAX ? e.chs_last : e.start + e.count - 1;
  std::uint8_t h = 0;
  s[o] = e.boot;
  Put16(s, o + 2, ChsWord(first, &h));
  s[o + 1] = h;
  s[o + 4] = e.type;
  Put16(s, o + 6, ChsWord(last, &h));
  s[o + 5] = h;
  Put32(s, o + 8, e.start);
  Put32(s, o + 12, e.count);
}

inline Sector Table(std::initializer_list<Entry> entries) {
  Sector s{};
  int i = 0;
  for (const Entry& e : entries) PutEntry(s, i++, e);
  Sign(s);
  return s;
}

inline Sector BootCommon(const char* oem, std::uint8_t spc) {
  Sector s{};
  s[0] = 0xEB;
  s[1] = 0x58;
  s[2] = 0x90;
  PutText(s, 3, oem);
  Put16(s, 11, 512);
  s[13] = spc;
  s[21] = 0xF8;
  Sign(s);
  return s;
}

struct Fat32 {
  const char* oem = "MSDOS5.0";
  std::uint8_t spc = 8;
  std::uint16_t reserved = 32;
  std::uint32_t fat_size = 1000;
  std::uint32_t root_cluster = 2;
  std::uint32_t total = 0;
  std::uint32_t hidden = 0;
};

inline Sector Fat32Boot(const Fat32& f) {
  Sector s = BootCommon(f.oem, f.spc);
  Put16(s, 14, f.reserved);
  s[16] = 2;
  Put32(s, 28, f.hidden);
  Put32(s, 32, f.total);
  Put32(s, 36, f.fat_size);
  Put32(s, 44, f.root_cluster);
  Put16(s, 50, 6);
  PutText(s, 82, "FAT32   ");
  return s;
}

inline Sector Fat16Boot(const char* type, std::uint16_t total16, std::uint32_t total32, std::uint8_t spc = 4,
                        std::uint16_t fat_size = 100, std::uint16_t reserved = 1) {
  Sector s = BootCommon("MSDOS5.0", spc);
  Put16(s, 14, reserved);
  s[16] = 2;
  Put16(s, 19, total16);
  Put16(s, 22, fat_size);
  Put32(s, 32, total32);
  PutText(s, 54, type);
  return s;
}

struct Ntfs {
  std::uint8_t spc = 8;
  std::uint64_t total = 0;
  std::uint64_t mft_cluster = 4;
  std::uint64_t mirr_cluster = 2;
  std::uint32_t record_clusters = 246;
  std::uint32_t index_clusters = 1;
  std::uint64_t hidden = 0;
};

inline Sector NtfsBoot(const Ntfs& n) {
  Sector s = BootCommon("NTFS    ", n.spc);
  s[1] = 0x52;
  Put64(s, 28, n.hidden);
  Put64(s, 40, n.total);
  Put64(s, 48, n.mft_cluster);
  Put64(s, 56, n.mirr_cluster);
  Put32(s, 64, n.record_clusters);
  Put32(s, 68, n.index_clusters);
  return s;
}

// A sparse image of `sectors` sectors holding the given sectors.
inline void WriteImage(const std::filesystem::path& path, std::uint64_t sectors,
                       const std::map<std::uint64_t, Sector>& content) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
  }
  std::filesystem::resize_file(path, sectors * 512);
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  for (const auto& [lba, s] : content) {
    f.seekp(static_cast<std::streamoff>(lba * 512));
    f.write(reinterpret_cast<const char*>(s.data()), 512);
  }
}

}  // namespace vimg
