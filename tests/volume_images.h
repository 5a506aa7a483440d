// Crafted partition tables and boot records for the partition-search tests,
// laid out for the image geometry (255 heads, 63 sectors per track), and a
// fixture that searches images made of them.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/window.h"
#include "res/ids.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace vimg {

using Sector = std::array<std::uint8_t, 512>;
constexpr std::uint64_t kHeads = 255, kSpt = 63, kCyl = kHeads * kSpt;

inline void PutLe(Sector& s, std::size_t o, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put32(Sector& s, std::size_t o, std::uint32_t v) { PutLe(s, o, v, 4); }
inline void PutText(Sector& s, std::size_t o, const char* text) { std::memcpy(&s[o], text, std::strlen(text)); }
inline void Sign(Sector& s) { PutLe(s, 510, 0xAA55, 2); }

// Head byte and cylinder/sector word of an LBA, cylinders above 1023 clamped as tools do.
inline void PutChs(Sector& s, std::size_t o, std::uint64_t lba) {
  std::uint64_t c = lba / kCyl, h = lba % kCyl / kSpt, sec = lba % kSpt + 1;
  if (c > 1023) c = 1023, h = kHeads - 1, sec = kSpt;
  s[o] = static_cast<std::uint8_t>(h);
  PutLe(s, o + 1, sec | ((c >> 2) & 0xC0) | ((c & 0xFF) << 8), 2);
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
  s[o] = e.boot;
  PutChs(s, o + 1, e.chs_first != UINT64_MAX ? e.chs_first : e.start);
  s[o + 4] = e.type;
  PutChs(s, o + 5, e.chs_last != UINT64_MAX ? e.chs_last : e.start + e.count - 1);
  PutLe(s, o + 8, e.start, 4);
  PutLe(s, o + 12, e.count, 4);
}

inline Sector Table(std::initializer_list<Entry> entries) {
  Sector s{};
  int i = 0;
  for (const Entry& e : entries) PutEntry(s, i++, e);
  Sign(s);
  return s;
}

inline Sector BootCommon(const char* oem, std::uint8_t spc, std::uint16_t reserved) {
  Sector s{0xEB, 0x58, 0x90};
  PutText(s, 3, oem);
  PutLe(s, 11, 512, 2);
  s[13] = spc;
  PutLe(s, 14, reserved, 2);
  s[16] = 2;
  s[21] = 0xF8;
  Sign(s);
  return s;
}

struct Fat32 {
  const char* oem = "MSDOS5.0";
  std::uint8_t spc = 8;
  std::uint16_t reserved = 32;
  std::uint32_t fat_size = 1000, root_cluster = 2, total = 0;
};

inline Sector Fat32Boot(const Fat32& f) {
  Sector s = BootCommon(f.oem, f.spc, f.reserved);
  PutLe(s, 32, f.total, 4);
  PutLe(s, 36, f.fat_size, 4);
  PutLe(s, 44, f.root_cluster, 4);
  PutLe(s, 50, 6, 2);
  PutText(s, 82, "FAT32   ");
  return s;
}

inline Sector Fat16Boot(const char* type, std::uint16_t total16, std::uint32_t total32, std::uint8_t spc = 4,
                        std::uint16_t fat_size = 100, std::uint16_t reserved = 1) {
  Sector s = BootCommon("MSDOS5.0", spc, reserved);
  PutLe(s, 19, total16, 2);
  PutLe(s, 22, fat_size, 2);
  PutLe(s, 32, total32, 4);
  PutText(s, 54, type);
  return s;
}

struct Ntfs {
  std::uint8_t spc = 8;
  std::uint64_t total = 0, mft_cluster = 4;
  std::uint32_t record_clusters = 246;
};

inline Sector NtfsBoot(const Ntfs& n) {
  Sector s = BootCommon("NTFS    ", n.spc, 0);
  s[1] = 0x52;
  s[16] = 0;
  PutLe(s, 40, n.total, 8);
  PutLe(s, 48, n.mft_cluster, 8);
  PutLe(s, 56, 2, 8);
  PutLe(s, 64, n.record_clusters, 4);
  PutLe(s, 68, 1, 4);
  return s;
}

// A sparse image of `sectors` sectors holding the given sectors.
inline void WriteImage(const std::filesystem::path& path, std::uint64_t sectors,
                       const std::map<std::uint64_t, Sector>& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  std::filesystem::resize_file(path, sectors * 512);
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  for (const auto& [lba, s] : content) {
    f.seekp(static_cast<std::streamoff>(lba * 512));
    f.write(reinterpret_cast<const char*>(s.data()), 512);
  }
}

class VolumeImageTest : public RetrovaTest {
 protected:
  void AddDisk(std::uint64_t sectors, const std::map<std::uint64_t, Sector>& content,
               const std::string& name = "disk.img") {
    WriteImage(TempDir() / name, sectors, content);
    ASSERT_EQ(AddImageFile(ctx(), (TempDir() / name).string()), 1);
  }
  void Select(int row) {
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, row, HitPart::Label);
    DrainQueue();
  }
  void Scan() {
    PostCommand(ctx().main_dlg, IDM_SCAN_PHYSICAL);
    DrainQueue();
  }
  std::vector<std::int64_t> Lbas() {
    std::vector<std::int64_t> out;
    for (int r = 0; r < ListView_GetItemCount(ctx().log_list); ++r) out.push_back(Row(r)->start_lba);
    return out;
  }
  LOGDRIVE_INFO* Row(int r) { return static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(ctx().log_list, r)); }
  PHYDRIVE_INFO& Drive(int r) { return *static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, r)); }
};

}  // namespace vimg
