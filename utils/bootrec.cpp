#include "utils/bootrec.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "ntfs/attribute.h"
#include "ntfs/update_sequence.h"
#include "platform/bytes.h"
#include "utils/boot_stub.h"

namespace {

constexpr std::uint8_t kMedia = 0xF8;
constexpr std::uint8_t kSerial[4] = {0xBA, 0xBA, 0xDA, 0xDA};
constexpr char kLabel[] = "KZTOOLBUILT";
constexpr std::uint32_t kRootDirSectors = 32;  // 512 entries of 32 bytes

const char* OemName(OsFamily os) { return os == OsFamily::k9x ? "MSWIN4.1" : "MSDOS5.0"; }

void PutText(std::span<std::uint8_t> b, std::size_t at, const char* text, std::size_t n) {
  le::WriteBytes(b, at, text, n);
}

// The fields every FAT record shares up to the hidden sectors.
void PutFatCommon(std::span<std::uint8_t> b, const BootParams& p, const BootGeometry& g, std::uint8_t jump) {
  b[0] = 0xEB;
  b[1] = jump;
  b[2] = 0x90;
  PutText(b, 3, OemName(p.os), 8);
  le::Write<std::uint16_t>(b, 11, 512);
  b[13] = static_cast<std::uint8_t>(p.sectors_per_cluster);
  le::Write<std::uint16_t>(b, 14, static_cast<std::uint16_t>(p.reserved_sectors));
  b[16] = 2;
  b[21] = kMedia;
  le::Write<std::uint16_t>(b, 24, static_cast<std::uint16_t>(g.sectors_per_track));
  le::Write<std::uint16_t>(b, 26, static_cast<std::uint16_t>(g.heads));
  le::Write<std::uint32_t>(b, 28, static_cast<std::uint32_t>(p.hidden_sectors));
}

void PutSignature(std::span<std::uint8_t> b, std::size_t sector) {
  b[sector * 512 + 510] = 0x55;
  b[sector * 512 + 511] = 0xAA;
}

std::uint32_t FatBits(BootFs fs) { return fs == BootFs::kFat12 ? 12 : fs == BootFs::kFat16 ? 16 : 32; }

bool ValidClusterSize(std::uint32_t spc) { return spc >= 1 && spc <= 128 && std::has_single_bit(spc); }

std::string Range(std::uint64_t lba, std::uint64_t count) {
  return std::to_string(lba) + ".." + std::to_string(lba + count - 1);
}

std::string CheckFat(const BootParams& p) {
  if (p.fat_sectors == 0) return "Sectors Per FAT 0 describes no FAT";
  if (p.fs == BootFs::kFat32) {
    if (p.reserved_sectors < kFat32BackupSector + 3)
      return "a FAT32 volume needs at least 9 reserved sectors (the backup boot record is at sector 6)";
    if (p.total_sectors > 0xFFFFFFFFull) return "a FAT32 volume holds at most 4294967295 sectors";
  } else {
    if (p.reserved_sectors == 0 || p.reserved_sectors > 0xFFFF) return "reserved sectors must be 1 to 65535";
    if (p.fat_sectors > 0xFFFF) return "a FAT12/16 FAT holds at most 65535 sectors";
    if (p.total_sectors > 0xFFFFFFFFull) return "a FAT12/16 volume holds at most 4294967295 sectors";
  }
  if (p.hidden_sectors > 0xFFFFFFFFull) return "a FAT volume cannot start past sector 4294967295";
  const std::uint64_t meta = std::uint64_t{p.reserved_sectors} + 2ull * p.fat_sectors +
                             (p.fs == BootFs::kFat32 ? 0 : kRootDirSectors);
  if (meta >= p.total_sectors) return "the reserved sectors, FATs and root leave no data area";
  const std::uint64_t clusters = FatDataClusters(p);
  if (clusters == 0) return "the volume has no data cluster";
  if ((std::uint64_t{p.fat_sectors} * 512 * 8) / FatBits(p.fs) < clusters + 2)
    return "Sectors Per FAT " + std::to_string(p.fat_sectors) + " cannot map the volume's " +
           std::to_string(clusters) + " clusters (at least " + std::to_string(EstimateFatSectors(p)) + " needed)";
  if (p.fs == BootFs::kFat12 && clusters > kFat12MaxClusters)
    return "FAT12 holds at most 4084 clusters; this volume has " + std::to_string(clusters);
  if (p.fs == BootFs::kFat16 && (clusters <= kFat12MaxClusters || clusters > 65524))
    return "FAT16 holds 4085 to 65524 clusters; this volume has " + std::to_string(clusters);
  if (p.fs == BootFs::kFat32 && (p.root_cluster < 2 || p.root_cluster >= clusters + 2))
    return "the FAT32 root cluster must be 2 to " + std::to_string(clusters + 1);
  return {};
}

std::string CheckNtfs(const BootParams& p) {
  if (p.os == OsFamily::k9x) return "Your current OS config is 95/98/ME.  Change to NT/2K/XP.";
  if (p.total_sectors < 2) return "an NTFS volume needs at least 2 sectors";
  const std::uint64_t clusters = (p.total_sectors - 1) / p.sectors_per_cluster;
  if (p.root_cluster >= clusters) return "the $MFT cluster lies past the volume's " + std::to_string(clusters) + " clusters";
  if (p.mftmirr_cluster == 0 || p.mftmirr_cluster >= clusters)
    return "the $MFT mirror cluster must be 1 to " + std::to_string(clusters - 1);
  return {};
}

}  // namespace

std::int8_t NtfsClustersPerUnit(std::uint32_t unit_bytes, std::uint32_t sectors_per_cluster) {
  const std::uint32_t cluster_bytes = sectors_per_cluster * 512;
  if (cluster_bytes <= unit_bytes) return static_cast<std::int8_t>(unit_bytes / cluster_bytes);
  return static_cast<std::int8_t>(-std::countr_zero(unit_bytes));
}

std::uint64_t FatDataClusters(const BootParams& p) {
  const std::uint64_t meta = std::uint64_t{p.reserved_sectors} + 2ull * p.fat_sectors +
                             (p.fs == BootFs::kFat32 ? 0 : kRootDirSectors);
  if (p.sectors_per_cluster == 0 || meta >= p.total_sectors) return 0;
  return (p.total_sectors - meta) / p.sectors_per_cluster;
}

BootFs FatKindFor(const BootParams& p) {
  BootParams q = p;
  q.fs = BootFs::kFat16;
  if (q.fat_sectors == 0) q.fat_sectors = EstimateFatSectors(q);
  return FatDataClusters(q) > kFat12MaxClusters ? BootFs::kFat16 : BootFs::kFat12;
}

std::uint32_t EstimateFatSectors(const BootParams& p) {
  BootParams q = p;
  q.fat_sectors = 1;
  // Growing the FAT shrinks the data area, so this settles in a few rounds.
  for (int round = 0; round < 64; ++round) {
    const std::uint64_t bytes = ((FatDataClusters(q) + 2) * FatBits(q.fs) + 7) / 8;
    const std::uint64_t need = std::max<std::uint64_t>(1, (bytes + 511) / 512);
    if (need <= q.fat_sectors) break;
    q.fat_sectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(need, 0xFFFFFFFFu));
  }
  return q.fat_sectors;
}

std::uint64_t DefaultMftMirrCluster(const BootParams& p) {
  if (p.sectors_per_cluster == 0 || p.total_sectors < 2) return 0;
  return ((p.total_sectors - 1) / p.sectors_per_cluster) / 2;
}

std::array<std::uint8_t, kFat32BootBytes> BuildFat32Boot(const BootParams& p, const BootGeometry& g) {
  std::array<std::uint8_t, kFat32BootBytes> out{};
  std::span<std::uint8_t> b(out);
  PutFatCommon(b, p, g, 0x58);
  le::Write<std::uint32_t>(b, 32, static_cast<std::uint32_t>(p.total_sectors));
  le::Write<std::uint32_t>(b, 36, p.fat_sectors);
  le::Write<std::uint32_t>(b, 44, p.root_cluster);
  le::Write<std::uint16_t>(b, 48, 1);
  le::Write<std::uint16_t>(b, 50, kFat32BackupSector);
  b[64] = static_cast<std::uint8_t>(0x80 + g.drive_number);
  b[66] = 0x29;
  le::WriteBytes(b, 67, kSerial, 4);
  PutText(b, 71, kLabel, 11);
  PutText(b, 82, "FAT32   ", 8);
  if (p.os == OsFamily::k9x) {
    PlaceBootStub(b.subspan(90, 382));
    PutText(b, 472, "IO      SYS", 11);
    PutText(b, 483, "MSDOS   SYS", 11);
    PutText(b, 497, "WINBOOT SYS", 11);
    PlaceBootStub(b.subspan(1024, 508));
  } else {
    PlaceBootStub(b.subspan(90, 420));
  }
  PutSignature(b, 0);
  PutText(b, 512, "RRaA", 4);
  PutText(b, 996, "rrAa", 4);
  le::Write<std::uint32_t>(b, 1000, 0xFFFFFFFFu);
  le::Write<std::uint32_t>(b, 1004, 2);
  PutSignature(b, 1);
  PutSignature(b, 2);
  return out;
}

std::array<std::uint8_t, 512> BuildFat16Boot(const BootParams& p, const BootGeometry& g) {
  std::array<std::uint8_t, 512> out{};
  std::span<std::uint8_t> b(out);
  PutFatCommon(b, p, g, 0x3C);
  le::Write<std::uint16_t>(b, 17, 512);
  if (p.total_sectors <= 0xFFFF)
    le::Write<std::uint16_t>(b, 19, static_cast<std::uint16_t>(p.total_sectors));
  else
    le::Write<std::uint32_t>(b, 32, static_cast<std::uint32_t>(p.total_sectors));
  le::Write<std::uint16_t>(b, 22, static_cast<std::uint16_t>(p.fat_sectors));
  b[36] = static_cast<std::uint8_t>(0x80 + g.drive_number);
  b[38] = 0x29;
  le::WriteBytes(b, 39, kSerial, 4);
  PutText(b, 43, kLabel, 11);
  PutText(b, 54, p.fs == BootFs::kFat16 ? "FAT16   " : "FAT12   ", 8);
  if (p.os == OsFamily::k9x) {
    PlaceBootStub(b.subspan(62, 410));
    PutText(b, 472, "IO      SYS", 11);
    PutText(b, 483, "MSDOS   SYS", 11);
  } else {
    PlaceBootStub(b.subspan(62, 448));
  }
  PutSignature(b, 0);
  return out;
}

std::array<std::uint8_t, 512> BuildNtfsBoot(const BootParams& p, const BootGeometry& g) {
  std::array<std::uint8_t, 512> out{};
  std::span<std::uint8_t> b(out);
  b[0] = 0xEB;
  b[1] = 0x52;
  b[2] = 0x90;
  PutText(b, 3, "NTFS    ", 8);
  le::Write<std::uint16_t>(b, 11, 512);
  b[13] = static_cast<std::uint8_t>(p.sectors_per_cluster);
  b[21] = kMedia;
  le::Write<std::uint16_t>(b, 24, static_cast<std::uint16_t>(g.sectors_per_track));
  le::Write<std::uint16_t>(b, 26, static_cast<std::uint16_t>(g.heads));
  le::Write<std::uint64_t>(b, 28, p.hidden_sectors);
  b[36] = 0x80;
  b[38] = 0x80;
  le::Write<std::uint64_t>(b, 40, p.total_sectors == 0 ? 0 : p.total_sectors - 1);
  le::Write<std::uint64_t>(b, 48, p.root_cluster);
  le::Write<std::uint64_t>(b, 56, p.mftmirr_cluster);
  b[64] = static_cast<std::uint8_t>(NtfsClustersPerUnit(1024, p.sectors_per_cluster));
  b[68] = static_cast<std::uint8_t>(NtfsClustersPerUnit(4096, p.sectors_per_cluster));
  le::WriteBytes(b, 72, kSerial, 4);
  PlaceBootStub(b.subspan(84, 426));
  PutSignature(b, 0);
  return out;
}

BootPlan PlanBootRecord(const BootParams& p, const BootGeometry& g, std::uint64_t drive_sectors) {
  BootPlan plan;
  if (!ValidClusterSize(p.sectors_per_cluster)) {
    plan.refusal = "sectors per cluster must be 1, 2, 4, ... 128";
    return plan;
  }
  if (p.total_sectors == 0) {
    plan.refusal = "the volume has no sectors";
    return plan;
  }
  if (p.start_lba >= drive_sectors || drive_sectors - p.start_lba < p.total_sectors) {
    plan.refusal = "sectors " + Range(p.start_lba, p.total_sectors) + " run past the drive's last sector " +
                   std::to_string(drive_sectors == 0 ? 0 : drive_sectors - 1) + " (at most " +
                   std::to_string(p.start_lba < drive_sectors ? drive_sectors - p.start_lba : 0) +
                   " sectors fit after the start)";
    return plan;
  }
  plan.refusal = p.fs == BootFs::kNtfs ? CheckNtfs(p) : CheckFat(p);
  if (!plan.refusal.empty()) return plan;
  auto add = [&](std::uint64_t lba, std::span<const std::uint8_t> bytes, const char* what) {
    plan.writes.push_back({lba, std::vector<std::uint8_t>(bytes.begin(), bytes.end()), what});
  };
  switch (p.fs) {
    case BootFs::kFat32: {
      const auto rec = BuildFat32Boot(p, g);
      add(p.start_lba, rec, "boot record");
      add(p.start_lba + kFat32BackupSector, rec, "backup boot record");
      break;
    }
    case BootFs::kFat12:
    case BootFs::kFat16:
      add(p.start_lba, BuildFat16Boot(p, g), "boot record");
      break;
    case BootFs::kNtfs: {
      const auto rec = BuildNtfsBoot(p, g);
      add(p.start_lba, rec, "boot record");
      add(p.start_lba + p.total_sectors - 1, rec, "backup boot record");
      break;
    }
  }
  return plan;
}

std::optional<std::uint64_t> MftMirrFromRecords(std::span<const std::uint8_t> records) {
  if (records.size() < 2 * kMftRecordSize) return std::nullopt;
  std::array<std::uint8_t, kMftRecordSize> rec{};
  std::copy_n(records.begin() + kMftRecordSize, kMftRecordSize, rec.begin());
  if (std::memcmp(rec.data(), "FILE", 4) != 0) return std::nullopt;
  if (ApplyUpdateSequence(rec, kNtfsSectorSize, UpdateSequenceMode::Restore) != 1) return std::nullopt;
  const AttributeWalk walk = ReadAttributes(rec);
  for (const Attribute& a : walk.attributes()) {
    if (a.type != kAttrData || !a.nonresident || a.name_len != 0) continue;
    const std::optional<NonResidentHeader> h = ReadNonResidentHeader(a);
    if (!h || h->lowest_vcn != 0 || h->mapping_pairs_offset >= a.bytes.size()) return std::nullopt;
    // The first pair: its header byte gives the widths of length and offset;
    // the offset of the first run is the absolute cluster.
    const std::span<const std::uint8_t> pairs = a.bytes.subspan(h->mapping_pairs_offset);
    const unsigned len_bytes = pairs[0] & 0x0F, off_bytes = pairs[0] >> 4;
    if (len_bytes == 0 || off_bytes == 0 || off_bytes > 8 || 1u + len_bytes + off_bytes > pairs.size())
      return std::nullopt;
    std::uint64_t lcn = 0;
    for (unsigned i = 0; i < off_bytes; ++i) lcn |= std::uint64_t{pairs[1 + len_bytes + i]} << (8 * i);
    if (pairs[len_bytes + off_bytes] & 0x80) return std::nullopt;  // negative: no real first run
    if (lcn == 0) return std::nullopt;
    return lcn;
  }
  return std::nullopt;
}
