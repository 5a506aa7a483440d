// Partition tables, extended chains and boot-record registration over crafted
// images; the layouts made by real tools are in test_fixture_volumes.cpp.
#include <algorithm>

#include "volume/partition.h"
#include "volume/search.h"
#include "volume_images.h"

using namespace vimg;

namespace {

PHYDRIVE_INFO ImageDrive(std::uint64_t sectors) {
  PHYDRIVE_INFO d;
  FillImageDriveInfo(d, "crafted", sectors * 512);
  return d;
}

}  // namespace

class PartitionSearchTest : public VolumeImageTest {
 protected:
  std::vector<std::int64_t> Search(std::uint64_t sectors, const std::map<std::uint64_t, Sector>& content) {
    OpenMainWindow();
    AddDisk(sectors, content);
    Select(0);
    Scan();
    return Lbas();
  }
};

TEST(PartitionTests, TableTestNeedsSignatureEntriesAndCylinderAlignedFields) {
  const PHYDRIVE_INFO d = ImageDrive(200000);
  const std::uint32_t n = 63 * 255 * 2 - 63;
  const Entry fat32{0x0C, 63, n};
  Sector zero_mbr{};
  Sign(zero_mbr);
  // One bad entry disqualifies the whole table, whatever the others say.
  const std::vector<std::tuple<std::uint64_t, Sector, int, const char*>> cases = {
      {0, Table({fat32}), 1, "a cylinder-aligned FAT32"},
      {0, zero_mbr, 0, "four empty entries"},
      {0, Table({fat32, Entry{0x0C, 63, n, 0, UINT64_MAX, n + 61}}), 0, "ends on sector 62 of a track"},
      {0, Table({Entry{0x07, 2048, 100000}}), 0, "1 MiB aligned: starts on sector 33"},
      {0, Table({Entry{0x0C, 63, n, 0x81}}), 0, "boot flag 0x81"},
      {0, Table({Entry{0x83, 63, 16002}}), 0, "unrecognised type"},
      {0, Table({Entry{0xDE, 63, 16002}, Entry{0x12, 16065, 16065}}), 1, "types DE and 12"},
      {5, Table({fat32}), 1, "the table itself on head 0, sector 6"},
      {63 * 7, Table({fat32}), 1, "head 7, sector 1"},
      {63 * 7 + 1, Table({fat32}), 0, "head 7, sector 2"}};
  for (const auto& [lba, sector, want, why] : cases) EXPECT_EQ(IsPartitionSector(d, lba, sector), want) << why;
}

TEST(PartitionTests, ChsArithmetic) {
  const Chs c = LbaToChs(ImageDrive(1000000), 2 * kCyl - 1);
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

TEST_F(PartitionSearchTest, ATableMetAwayFromLbaZeroOffersItsEntriesRelativeToItself) {
  // No MBR; the logical volume of an EBR met by the search has no boot record either.
  const std::uint64_t ebr = 3 * kCyl;
  ASSERT_EQ(Search(5 * kCyl, {{ebr, Table({Entry{0x06, 63, kCyl - 63}})}}),
            (std::vector<std::int64_t>{static_cast<std::int64_t>(ebr + 63)}));
  EXPECT_STREQ(Row(0)->fs_name, "FAT16");
  EXPECT_EQ(Row(0)->mount_flags, 0) << "built from the entry";
}

TEST_F(PartitionSearchTest, CandidatesAtOrBeyondTheEndOfTheDriveAreSkipped) {
  const std::uint32_t sectors = 3 * kCyl;
  const std::map<std::uint64_t, Sector> disk = {
      {0, Table({Entry{0x0C, 63, kCyl - 63}, Entry{0x07, sectors, kCyl}, Entry{0x06, sectors + kCyl, kCyl}})},
      {63, Fat32Boot({.total = kCyl - 63})}};
  EXPECT_EQ(Search(sectors, disk), (std::vector<std::int64_t>{63}));
  EXPECT_EQ(Drive(0).read_errors, 0u) << "nothing was read past the end";
}

TEST_F(PartitionSearchTest, AChainLinkToASectorWithoutSignatureEndsTheChain) {
  // A stale link to a data sector whose bytes would pass as entries: without
  // the signature none of them becomes a row.
  Sector junk = Table({Entry{0x07, 63, 1000}, Entry{0x0C, 500, 1000}});
  junk[510] = junk[511] = 0;
  EXPECT_TRUE(Search(3 * kCyl, {{0, Table({Entry{0x05, kCyl, kCyl}})}, {kCyl, junk}}).empty());
}

TEST_F(PartitionSearchTest, ChainsThatLoopEnd) {
  // EBR A links to B, B links back to A, and A also links to itself.
  const std::uint32_t a = kCyl, b = 3 * kCyl;
  const std::map<std::uint64_t, Sector> disk = {
      {0, Table({Entry{0x05, a, 4 * kCyl}})},
      {a, Table({Entry{0x06, 63, kCyl - 63}, Entry{0x05, b - a, kCyl, 0, b, b + kCyl - 1},
                 Entry{0x05, 0, kCyl, 0, a, a + kCyl - 1}})},
      {b, Table({Entry{0x06, 63, kCyl - 63}, Entry{0x0F, 0, kCyl, 0, a, a + kCyl - 1}})}};
  const std::vector<std::int64_t> lbas = Search(5 * kCyl, disk);
  EXPECT_TRUE(std::is_sorted(lbas.begin(), lbas.end()));
  EXPECT_EQ(std::adjacent_find(lbas.begin(), lbas.end()), lbas.end()) << "each volume and each EBR once";
  EXPECT_EQ(std::count(lbas.begin(), lbas.end(), a + 63), 1);
  EXPECT_EQ(std::count(lbas.begin(), lbas.end(), b + 63), 1);
}

TEST_F(PartitionSearchTest, AChainThatRunsOnWithoutEndIsBounded) {
  // Every EBR links to a fresh one: 2000 links, each with valid-looking CHS.
  std::map<std::uint64_t, Sector> disk = {{0, Table({Entry{0x05, 63, 100}})}};
  for (std::uint32_t i = 0; i < 2000; ++i) {
    Sector s{};
    PutEntry(s, 0, Entry{0x05, i + 1, 1, 0, 0, kSpt - 1});
    Sign(s);
    disk[63 + i] = s;
  }
  OpenMainWindow();
  AddDisk(4096, disk);
  WalkPartitionTable(ctx(), Drive(0), 0, disk[0]);
  // Each EBR walked offers its own LBA as an EXTD row; the walk stopped at its bound.
  EXPECT_GT(ListView_GetItemCount(ctx().log_list), 0);
  EXPECT_LE(ListView_GetItemCount(ctx().log_list), 256);
}

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
  EXPECT_EQ(IsLogDriveListed(ctx(), 11990), 1);
  EXPECT_EQ(IsLogDriveListed(ctx(), 11991), 0);
  SortLogDriveList(ctx());
  const std::vector<std::int64_t> lbas = Lbas();
  ASSERT_EQ(lbas.size(), static_cast<std::size_t>(kRows));
  for (int i = 0; i < kRows; ++i) {  // the shown text moves with its record
    EXPECT_EQ(lbas[i], i * 10);
    EXPECT_EQ(ListView_GetItemText(ctx().log_list, i, 0), std::to_string(i * 10));
  }
  EXPECT_EQ(ListView_GetItemText(ctx().log_list, 0, 1), "V0");
  EXPECT_EQ(ListView_GetItemText(ctx().log_list, 0, 2), "1.00 GB");
}

namespace {

std::uint64_t g_single_reads = 0;
ReadFault CountSingleSectorReads(DevHandle, std::uint64_t, std::size_t length) {
  if (length == kSectorSize) ++g_single_reads;
  return {};
}

}  // namespace

TEST_F(PartitionSearchTest, TablesEverywhereWalkEachEbrOnce) {
  // A web of EBRs (each links to the next two) away from any table position,
  // its logical volumes known only by their entries.
  const std::uint64_t sectors = 4 * kCyl;
  const PHYDRIVE_INFO geometry = ImageDrive(sectors);
  std::vector<std::uint64_t> ebrs;
  for (std::uint64_t lba = 2 * kCyl + 100; ebrs.size() < 100; lba += 130) {
    const Chs c = LbaToChs(geometry, lba);
    if (c.head != 0 && c.sector != 1) ebrs.push_back(lba);
  }
  const auto first = static_cast<std::uint32_t>(ebrs[0]);
  const Sector mbr = Table({Entry{0x05, first, 2 * kCyl, 0, 2 * kCyl, sectors - 1}});
  std::map<std::uint64_t, Sector> one_table = {{0, mbr}};
  for (std::size_t k = 0; k < ebrs.size(); ++k) {
    Sector s{};
    PutEntry(s, 0, Entry{0x06, 63, 1000});
    for (std::size_t step : {1, 2})
      if (k + step < ebrs.size())
        PutEntry(s, static_cast<int>(step), Entry{0x05, static_cast<std::uint32_t>(ebrs[k + step] - first), 1000});
    Sign(s);
    one_table[ebrs[k]] = s;
  }
  // The same disk with a copy of the MBR at every table position of its first two cylinders.
  std::map<std::uint64_t, Sector> everywhere = one_table;
  for (std::uint64_t lba = 0; lba < 2 * kCyl; ++lba) {
    const Chs c = LbaToChs(geometry, lba);
    if (c.head == 0 || c.sector == 1) everywhere[lba] = mbr;
  }
  ASSERT_GT(everywhere.size(), one_table.size() + 600);

  OpenMainWindow();
  AddDisk(sectors, one_table, "one.img");
  AddDisk(sectors, everywhere, "everywhere.img");
  std::vector<std::vector<std::int64_t>> rows;
  std::vector<std::uint64_t> reads;
  for (int drive : {0, 1}) {
    Select(drive);
    g_single_reads = 0;
    sys_SetReadFaultHook(CountSingleSectorReads);
    Scan();
    sys_SetReadFaultHook(nullptr);
    rows.push_back(Lbas());
    reads.push_back(g_single_reads);
  }
  EXPECT_EQ(std::count(rows[0].begin(), rows[0].end(), static_cast<std::int64_t>(ebrs.back() + 63)), 1)
      << "the chain was walked to its end";
  EXPECT_EQ(rows[1], rows[0]) << "the copies add no row";
  EXPECT_EQ(reads[1], reads[0]) << "nor any sector read: each EBR is walked once per search";

  // A new search walks them again.
  Select(0);
  Scan();
  EXPECT_EQ(Lbas(), rows[0]);
}

TEST(PartitionTests, TypeCodesAndTheirClasses) {
  const std::vector<std::pair<std::uint8_t, PartClass>> cases = {
      {0x01, PartClass::kFat12},    {0x04, PartClass::kFat16},    {0x06, PartClass::kFat16},
      {0x0E, PartClass::kFat16},    {0x0B, PartClass::kFat32},    {0x0C, PartClass::kFat32},
      {0x07, PartClass::kNtfs},     {0x12, PartClass::kType12},   {0x05, PartClass::kExtended},
      {0x0F, PartClass::kExtended}, {0xDE, PartClass::kTypeDE},   {0x83, PartClass::kOther},
      {0x00, PartClass::kOther}};
  for (const auto& [code, want] : cases) {
    Sector s = Table({Entry{code, 63, 100}});
    EXPECT_EQ(PartitionClass(std::span<const std::uint8_t>(s).subspan(446, 16)), want) << int{code};
  }
  EXPECT_EQ(PartitionClass(std::span<const std::uint8_t>(Table({}).data(), 4)), PartClass::kOther) << "a short entry";
  EXPECT_EQ(FsTypeOf(PartClass::kNtfs), kFsNtfs);
}
