// The small volumes the scan and copy fuzz targets build from their input:
// a FAT32 volume from a template boot record (or the input's own), and an
// NTFS volume whose $MFT is the input (or the input's own boot record and
// sectors). The header bytes each reads are described in fuzz_fat.cpp and
// fuzz_ntfs_scan.cpp.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/bytes.h"
#include "volume/partition.h"

namespace fuzz {

inline constexpr std::size_t kHeader = 8;

inline void Put(std::span<std::uint8_t> s, std::size_t o, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) s[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

namespace fat_volume {

inline constexpr std::uint64_t kMaxDataSectors = 512;
inline constexpr std::uint64_t kReserved = 2;

struct Layout {
  std::array<std::uint8_t, kSectorSize> boot{};
  std::vector<std::uint8_t> image;
  std::size_t data_offset = 0;  // of the data area in the image
};

// The fixed boot record: 2 reserved sectors, 2 FATs just large enough.
inline Layout TemplateVolume(std::span<const std::uint8_t> in) {
  Layout l;
  const std::uint64_t spc = 1ULL << (in[0] & 3);
  const std::uint64_t clusters = std::min<std::uint64_t>(16 + le::U16(in, 1) % 497, kMaxDataSectors / spc);
  const std::uint64_t fat_sectors = ((clusters + 2) * 4 + kSectorSize - 1) / kSectorSize;
  const std::uint64_t total = kReserved + 2 * fat_sectors + clusters * spc;
  std::span<std::uint8_t> b(l.boot);
  b[0] = 0xEB;
  b[1] = 0x58;
  b[2] = 0x90;
  std::memcpy(&b[3], "MSWIN4.1", 8);
  Put(b, 11, 512, 2);
  b[13] = static_cast<std::uint8_t>(spc);
  Put(b, 14, kReserved, 2);
  b[16] = 2;
  b[21] = 0xF8;
  Put(b, 32, total, 4);
  Put(b, 36, fat_sectors, 4);
  Put(b, 44, le::U16(in, 3), 4);
  Put(b, 50, 6, 2);
  std::memcpy(&b[82], "FAT32   ", 8);
  Put(b, 510, 0xAA55, 2);

  const std::span<const std::uint8_t> body = in.subspan(kHeader);
  const bool own_fat2 = in[0] & 8;
  const std::size_t fat_bytes = fat_sectors * kSectorSize;
  l.image.assign(total * kSectorSize, 0);
  std::copy(l.boot.begin(), l.boot.end(), l.image.begin());
  std::size_t pos = kReserved * kSectorSize;
  const std::size_t fat1 = std::min(body.size(), fat_bytes);
  std::copy_n(body.begin(), fat1, l.image.begin() + static_cast<std::ptrdiff_t>(pos));
  std::span<const std::uint8_t> rest = body.subspan(fat1);
  if (own_fat2) {
    const std::size_t fat2 = std::min(rest.size(), fat_bytes);
    std::copy_n(rest.begin(), fat2, l.image.begin() + static_cast<std::ptrdiff_t>(pos + fat_bytes));
    rest = rest.subspan(fat2);
  } else {
    std::copy_n(l.image.begin() + static_cast<std::ptrdiff_t>(pos), fat_bytes,
                l.image.begin() + static_cast<std::ptrdiff_t>(pos + fat_bytes));
  }
  l.data_offset = pos + 2 * fat_bytes;
  const std::size_t data = std::min(rest.size(), l.image.size() - l.data_offset);
  std::copy_n(rest.begin(), data, l.image.begin() + static_cast<std::ptrdiff_t>(l.data_offset));
  return l;
}

// The boot record as the input has it; the volume is whatever follows.
inline Layout RawVolume(std::span<const std::uint8_t> in) {
  Layout l;
  const std::span<const std::uint8_t> body = in.subspan(kHeader);
  std::copy_n(body.begin(), std::min(body.size(), l.boot.size()), l.boot.begin());
  l.image.assign(body.begin(), body.end());
  l.image.resize(std::max<std::size_t>((l.image.size() + kSectorSize - 1) / kSectorSize, 16) * kSectorSize);
  l.data_offset = kSectorSize;
  return l;
}

}  // namespace fat_volume

namespace ntfs_volume {

inline constexpr std::uint64_t kMftCluster = 4;

struct Layout {
  std::array<std::uint8_t, kSectorSize> boot{};
  std::vector<std::uint8_t> image;
  std::size_t file_size = 0;
};

inline std::uint64_t Sectors(std::size_t bytes) { return (bytes + kSectorSize - 1) / kSectorSize; }

inline Layout TemplateVolume(std::span<const std::uint8_t> in) {
  Layout l;
  const std::uint64_t spc = 1ULL << (in[0] & 3);
  const std::span<const std::uint8_t> body = in.subspan(kHeader);
  const std::uint64_t mft_lba = kMftCluster * spc;
  const std::uint64_t used = mft_lba + Sectors(body.size());
  const std::uint64_t total = used + le::U16(in, 1) % 2048 + 1;
  std::span<std::uint8_t> b(l.boot);
  b[0] = 0xEB;
  b[1] = 0x52;
  b[2] = 0x90;
  std::memcpy(&b[3], "NTFS    ", 8);
  Put(b, 11, 512, 2);
  b[13] = static_cast<std::uint8_t>(spc);
  b[21] = 0xF8;
  Put(b, 40, total, 8);
  Put(b, 48, kMftCluster, 8);
  Put(b, 56, total / spc / 2, 8);
  Put(b, 64, 246, 4);  // 2^10-byte records
  Put(b, 68, 1, 4);
  Put(b, 510, 0xAA55, 2);
  l.image.assign(used * kSectorSize, 0);
  std::copy(l.boot.begin(), l.boot.end(), l.image.begin());
  std::copy(body.begin(), body.end(), l.image.begin() + static_cast<std::ptrdiff_t>(mft_lba * kSectorSize));
  l.file_size = (in[0] & 8) ? l.image.size() : (total + 1) * kSectorSize;
  return l;
}

inline Layout RawVolume(std::span<const std::uint8_t> in) {
  Layout l;
  const std::span<const std::uint8_t> body = in.subspan(kHeader);
  std::copy_n(body.begin(), std::min(body.size(), l.boot.size()), l.boot.begin());
  l.image.assign(body.begin(), body.end());
  l.image.resize(std::max<std::uint64_t>(Sectors(l.image.size()), 16) * kSectorSize);
  l.file_size = l.image.size() + ((in[0] & 8) ? 0 : (le::U16(in, 1) % 2048) * kSectorSize);
  return l;
}

}  // namespace ntfs_volume

// A fuzz_fat (FAT32) or fuzz_ntfs_scan (NTFS) input as the image file to write.
struct Volume {
  std::array<std::uint8_t, kSectorSize> boot{};
  std::vector<std::uint8_t> image;
  std::size_t file_size = 0;  // the image, zero-padded or cut to this
};

inline Volume BuildVolume(std::span<const std::uint8_t> in, bool ntfs) {
  Volume v;
  if (ntfs) {
    ntfs_volume::Layout l = (in[0] & 4) ? ntfs_volume::RawVolume(in) : ntfs_volume::TemplateVolume(in);
    v.boot = l.boot;
    v.file_size = l.file_size;
    v.image = std::move(l.image);
  } else {
    fat_volume::Layout l = (in[0] & 4) ? fat_volume::RawVolume(in) : fat_volume::TemplateVolume(in);
    v.boot = l.boot;
    v.file_size = l.image.size();
    v.image = std::move(l.image);
  }
  return v;
}

}  // namespace fuzz
