// Partition tables, extended chains and boot-record registration, driven
// through the partition search over crafted images.
#include <algorithm>

#include "app/main_window.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "res/ids.h"
#include "test_support.h"
#include "volume/logdrive.h"
#include "volume/partition.h"
#include "volume_images.h"

using namespace vimg;

namespace {

struct Row {
  std::int64_t lba;
  std::string name;
  std::uint32_t fs_type;
  std::int64_t flags;
  std::string size;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << "{" << r.lba << " '" << r.name << "' type " << r.fs_type << " flags " << r.flags << " " << r.size
            << "}";
}

PHYDRIVE_INFO ImageDrive(std::uint64_t sectors) {
  PHYDRIVE_INFO d;
  FillImageDriveInfo(d, "crafted", sectors * 512);
  return d;
}

}  // namespace

class PartitionSearchTest : public RetrovaTest {
 protected:
  // Writes the image, selects it and runs the search; the rows of the logical-drive list.
  std::vector<Row> Search(std::uint64_t sectors, const std::map<std::uint64_t, Sector>& content) {
    OpenMainWindow();
    const auto path = TempDir() / "disk.img";
    WriteImage(path, sectors, content);
    EXPECT_EQ(AddImageFile(ctx(), path.string()), 1);
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, 0, HitPart::Label);
    PostCommand(ctx().main_dlg, IDM_SCAN_PHYSICAL);
    DrainQueue();
    return Rows();
  }
  std::vector<Row> Rows() {
    std::vector<Row> out;
    for (int r = 0; r < ListView_GetItemCount(ctx().log_list); ++r) {
      const auto* v = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx().log_list, r));
      EXPECT_EQ(ListView_GetItemText(ctx().log_list, r, 0), std::to_string(v->start_lba));
      out.push_back({v->start_lba, ListView_GetItemText(ctx().log_list, r, 1), v->fs_type, v->mount_flags,
                     ListView_GetItemText(ctx().log_list, r, 2)});
    }
    return out;
  }
  static std::vector<std::int64_t> Lbas(const std::vector<Row>& rows) {
    std::vector<std::int64_t> out;
    for (const Row& r : rows) out.push_back(r.lba);
    return out;
  }
};

// ---- The table and boot-record tests ------------------------------------------

TEST(PartitionTests, TableTestNeedsSignatureEntriesAndCylinderAlignedFields) {
  const PHYDRIVE_INFO d = ImageDrive(200000);
  const Entry fat32{0x0C, 63, 63 * 255 * 2 - 63};
  EXPECT_EQ(IsPartitionSector(d, 0, Table({fat32})), 1);

  Sector zero_mbr{};
  Sign(zero_mbr);
  EXPECT_EQ(IsPartitionSector(d, 0, zero_mbr), 0) << "four empty entries are not a table";

  // One bad entry disqualifies the whole table, whatever the others say.
  Entry bad_end = fat32;
  bad_end.chs_last = 63 * 255 * 2 - 2;  // ends on sector 62 of a 63-sector track
  EXPECT_EQ(IsPartitionSector(d, 0, Table({fat32, bad_end})), 0);
  Entry modern{0x07, 2048, 100000};  // 1 MiB aligned: starts on sector 33
  EXPECT_EQ(IsPartitionSector(d, 0, Table({modern})), 0);
  Entry boot81 = fat32;
  boot81.boot = 0x81;
  EXPECT_EQ(IsPartitionSector(d, 0, Table({boot81})), 0);
  EXPECT_EQ(IsPartitionSector(d, 0, Table({Entry{0x83, 63, 16002}})), 0) << "unrecognised type";
  EXPECT_EQ(IsPartitionSector(d, 0, Table({Entry{0xDE, 63, 16002}, Entry{0x12, 16065, 16065}})), 1);

  // Where the sector itself lies: head 0 or sector 1.
  EXPECT_EQ(IsPartitionSector(d, 5, Table({fat32})), 1) << "head 0, sector 6";
  EXPECT_EQ(IsPartitionSector(d, 63 * 7, Table({fat32})), 1) << "head 7, sector 1";
  EXPECT_EQ(IsPartitionSector(d, 63 * 7 + 1, Table({fat32})), 0) << "head 7, sector 2";
}

TEST(PartitionTests, ChsArithmetic) {
  const PHYDRIVE_INFO d = ImageDrive(1000000);
  const Chs c = LbaToChs(d, 2 * kCyl - 1);
  EXPECT_EQ(c.cylinder * 10000 + c.head * 100 + c.sector, 1u * 10000 + 254 * 100 + 63);
  std::uint64_t cyl = 0, sec = 0;
  DecodeChsWord(0x02C1, cyl, sec);  // stored C1 02: the top cylinder bits ride in the sector byte
  EXPECT_EQ(sec, 1u);
  EXPECT_EQ(cyl, 0x302u);
  EXPECT_EQ(LbaToChs(PHYDRIVE_INFO{}, 12345).sector, 0u) << "no geometry, no division by zero";
}

TEST(PartitionTests, BootRecordTestAndBackupPositions) {
  const PHYDRIVE_INFO d = ImageDrive(1000000);
  const Sector s = Fat32Boot({});
  EXPECT_EQ(IsBootSector(s), 1);
  for (auto [offset, value] : std::vector<std::pair<int, int>>{{13, 3}, {21, 0xF0}, {12, 4}, {510, 0}}) {
    Sector bad = s;
    bad[offset] = static_cast<std::uint8_t>(value);
    EXPECT_EQ(IsBootSector(bad), 0) << "byte " << offset << " = " << value;
  }
  EXPECT_EQ(IsBootSector(std::span<const std::uint8_t>(s.data(), 100)), 0) << "a short buffer";
  EXPECT_EQ(IsBackupBootPosition(d, 69, s), 1) << "head 1, sector 7";
  EXPECT_EQ(IsBackupBootPosition(d, 2 * kCyl - 1, s), 1) << "last sector of a cylinder";
  EXPECT_EQ(IsBackupBootPosition(d, 63, s), 0);
}

// ---- The search over crafted disks ------------------------------------------------

// A legacy disk: a primary FAT32, then an extended partition whose chain holds
// an NTFS and a FAT32 logical volume. Links are relative to the extended start.
TEST_F(PartitionSearchTest, LegacyDiskListsPrimariesLogicalsAndEbrRowsOnce) {
  const std::uint64_t ext = 2 * kCyl, ebr2 = 6 * kCyl, end = 8 * kCyl;
  const std::uint32_t fat_count = 2 * kCyl - 63, ntfs_count = 4 * kCyl - 63, log2_count = 2 * kCyl - 63;
  std::map<std::uint64_t, Sector> disk;
  disk[0] = Table({Entry{0x0C, 63, fat_count, 0x80}, Entry{0x05, ext, end - ext}});
  disk[63] = disk[69] = Fat32Boot({.total = fat_count});
  disk[ext] = Table({Entry{0x07, 63, ntfs_count}, Entry{0x05, ebr2 - ext, end - ebr2, 0, ebr2, end - 1}});
  disk[ext + 63] = disk[ext + 63 + ntfs_count - 1] = NtfsBoot({.total = ntfs_count - 1});
  disk[ebr2] = Table({Entry{0x0B, 63, log2_count}});
  disk[ebr2 + 63] = disk[ebr2 + 69] = Fat32Boot({.total = log2_count});

  const std::vector<Row> rows = Search(end, disk);
  const std::vector<Row> expected = {
      {63, "FAT32   ", 3, 1, "0.02 GB"},
      {static_cast<std::int64_t>(ext), "EXTD", 6, 0, "0.05 GB"},  // the chain's start, built from the extended entry
      {static_cast<std::int64_t>(ext + 63), "NTFS    ", 4, 1, "0.03 GB"},
      {static_cast<std::int64_t>(ebr2), "EXTD", 6, 0, "0.02 GB"},  // the second EBR, built from the link to it
      {static_cast<std::int64_t>(ebr2 + 63), "FAT32   ", 3, 1, "0.02 GB"},
  };
  EXPECT_EQ(rows, expected);
  // The backups at +6 and on the NTFS volume's last sector mapped back to listed
  // starts; the first EBR met directly sent its relative link (a sector inside
  // the NTFS volume, without a signature) nowhere.
  const auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx().phy_list));
  EXPECT_EQ(drive->read_errors, 0u);
}

TEST_F(PartitionSearchTest, ATableMetAwayFromLbaZeroOffersItsEntriesRelativeToItself) {
  // The MBR is gone; an EBR met by the search still places its logical volume,
  // which has no boot record and is built from the entry.
  const std::uint64_t ebr = 3 * kCyl;
  std::map<std::uint64_t, Sector> disk;
  disk[ebr] = Table({Entry{0x06, 63, kCyl - 63}});
  const std::vector<Row> rows = Search(5 * kCyl, disk);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].lba, static_cast<std::int64_t>(ebr + 63));
  EXPECT_EQ(rows[0].name, "FAT16");
  EXPECT_EQ(rows[0].flags, 0);
}

TEST_F(PartitionSearchTest, DestroyedFirstSectorsAreMountedFromTheirBackups) {
  const std::uint32_t fat_count = 2 * kCyl - 63;
  const std::uint64_t ntfs_start = 2 * kCyl;
  const std::uint32_t ntfs_count = 2 * kCyl;
  std::map<std::uint64_t, Sector> disk;
  disk[0] = Table({Entry{0x0C, 63, fat_count}, Entry{0x07, static_cast<std::uint32_t>(ntfs_start), ntfs_count}});
  disk[69] = Fat32Boot({.total = fat_count});  // the first sector at 63 is zeros
  disk[ntfs_start + ntfs_count - 1] = NtfsBoot({.total = ntfs_count - 1});
  const std::vector<Row> rows = Search(5 * kCyl, disk);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (Row{63, "FAT32   ", 3, 0x43, "0.02 GB"}));
  EXPECT_EQ(rows[1], (Row{static_cast<std::int64_t>(ntfs_start), "NTFS    ", 4, 0x43, "0.02 GB"}));
}

TEST_F(PartitionSearchTest, UnknownOemNameGivesNoRowAtAll) {
  std::map<std::uint64_t, Sector> disk;
  disk[0] = Table({Entry{0x0C, 63, kCyl - 63}});
  disk[63] = disk[69] = Fat32Boot({.oem = "mkfs.fat", .total = kCyl - 63});
  disk[2 * kCyl] = Fat32Boot({.oem = "MSDOS5.1", .total = 1000});
  EXPECT_TRUE(Search(3 * kCyl, disk).empty());
}

TEST_F(PartitionSearchTest, CandidatesAtOrBeyondTheEndOfTheDriveAreSkipped) {
  const std::uint64_t sectors = 3 * kCyl;
  std::map<std::uint64_t, Sector> disk;
  disk[0] = Table({Entry{0x0C, 63, kCyl - 63}, Entry{0x07, static_cast<std::uint32_t>(sectors), kCyl},
                   Entry{0x06, static_cast<std::uint32_t>(sectors + kCyl), kCyl}});
  disk[63] = Fat32Boot({.total = kCyl - 63});
  const std::vector<Row> rows = Search(sectors, disk);
  EXPECT_EQ(Lbas(rows), (std::vector<std::int64_t>{63}));
  const auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx().phy_list));
  EXPECT_EQ(drive->read_errors, 0u) << "nothing was read past the end";
}

// ---- Extended chains that are broken or hostile ---------------------------------------

TEST_F(PartitionSearchTest, AChainLinkToASectorWithoutSignatureEndsTheChain) {
  // The extended entry points at a data sector full of bytes that would pass
  // as entries; without the signature none of them becomes a row.
  const std::uint64_t ext = kCyl;
  Sector junk = Table({Entry{0x07, 63, 1000}, Entry{0x0C, 500, 1000}});
  junk[510] = junk[511] = 0;
  std::map<std::uint64_t, Sector> disk;
  disk[0] = Table({Entry{0x05, static_cast<std::uint32_t>(ext), kCyl}});
  disk[ext] = junk;
  EXPECT_TRUE(Search(3 * kCyl, disk).empty());
}

TEST_F(PartitionSearchTest, ChainsThatLoopEnd) {
  // EBR A links to B, B links back to A, and A also links to itself.
  const std::uint64_t ext = kCyl, b = 3 * kCyl;
  std::map<std::uint64_t, Sector> disk;
  disk[0] = Table({Entry{0x05, static_cast<std::uint32_t>(ext), 4 * kCyl}});
  disk[ext] = Table({Entry{0x06, 63, kCyl - 63}, Entry{0x05, static_cast<std::uint32_t>(b - ext), kCyl, 0, b, b + kCyl - 1},
                     Entry{0x05, 0, kCyl, 0, ext, ext + kCyl - 1}});
  disk[b] = Table({Entry{0x06, 63, kCyl - 63}, Entry{0x0F, 0, kCyl, 0, ext, ext + kCyl - 1}});
  const std::vector<Row> rows = Search(5 * kCyl, disk);
  // Each volume and each EBR once; the search ended.
  std::vector<std::int64_t> lbas = Lbas(rows);
  EXPECT_TRUE(std::is_sorted(lbas.begin(), lbas.end()));
  EXPECT_EQ(std::adjacent_find(lbas.begin(), lbas.end()), lbas.end());
  EXPECT_TRUE(std::count(lbas.begin(), lbas.end(), static_cast<std::int64_t>(ext + 63)));
  EXPECT_TRUE(std::count(lbas.begin(), lbas.end(), static_cast<std::int64_t>(b + 63)));
}

TEST_F(PartitionSearchTest, AChainThatRunsOnWithoutEndIsBounded) {
  // Every EBR links to a fresh one: a chain of 2000 links on a small disk.
  const std::uint64_t ext = 63;
  const std::uint64_t links = 2000;
  std::map<std::uint64_t, Sector> disk;
  disk[0] = Table({Entry{0x05, static_cast<std::uint32_t>(ext), 100}});
  for (std::uint64_t i = 0; i < links; ++i) {
    Sector s{};
    PutEntry(s, 0, Entry{0x05, static_cast<std::uint32_t>(i + 1), 1, 0, 0, kSpt - 1});  // a link with valid-looking CHS
    Sign(s);
    disk[ext + i] = s;
  }
  OpenMainWindow();
  const auto path = TempDir() / "chain.img";
  WriteImage(path, 4096, disk);
  ASSERT_EQ(AddImageFile(ctx(), path.string()), 1);
  PHYDRIVE_INFO& drive = *static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0));
  WalkPartitionTable(ctx(), drive, 0, disk[0]);
  // Each EBR walked offers its own LBA as an EXTD row; the walk stopped at its bound.
  const int rows = ListView_GetItemCount(ctx().log_list);
  EXPECT_GT(rows, 0);
  EXPECT_LE(rows, 256);
}

// ---- The list ----------------------------------------------------------------------

TEST_F(PartitionSearchTest, SortKeepsEveryRowBeyondFiveHundred) {
  OpenMainWindow();
  constexpr int kRows = 1200;
  for (int i = 0; i < kRows; ++i) {
    LOGDRIVE_INFO* v = NewLogDrive();
    v->start_lba = (i * 7919) % kRows * 10;  // a permutation of 0, 10, ..., 11990
    v->total_sectors = 2097152;
    std::snprintf(v->fs_name, sizeof v->fs_name, "V%d", i);
    ASSERT_EQ(AddLOGDrive(ctx(), v), 1);
  }
  ASSERT_EQ(ListView_GetItemCount(ctx().log_list), kRows);
  EXPECT_EQ(IsLogDriveListed(ctx(), 11990), 1);
  EXPECT_EQ(IsLogDriveListed(ctx(), 11991), 0);
  SortLogDriveList(ctx());
  const std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(kRows));
  for (int i = 0; i < kRows; ++i) EXPECT_EQ(rows[i].lba, i * 10);
  EXPECT_EQ(rows[0].size, "1.00 GB");
  EXPECT_EQ(rows[0].name, "V0");
}
