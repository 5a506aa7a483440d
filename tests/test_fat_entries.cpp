// FAT32 entries: the entry test, decoding, chains, short and long names.
#include <algorithm>
#include <cstring>

#include "test_fat_support.h"

namespace {

std::uint16_t Date(int y, int m, int d) { return static_cast<std::uint16_t>(((y - 1980) << 9) | (m << 5) | d); }
std::uint16_t Time(int h, int m, int two_s) { return static_cast<std::uint16_t>((h << 11) | (m << 5) | two_s); }

// An 8.3 entry; name11 is the 11 raw name and extension bytes.
DirEntry Entry(const char* name11, std::uint8_t attr = 0x20, std::uint32_t cluster = 5, std::uint32_t size = 10,
               std::uint16_t date = Date(2020, 5, 17), std::uint16_t time = Time(13, 45, 10)) {
  DirEntry e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = attr;
  le::Write<std::uint16_t>(e, 20, static_cast<std::uint16_t>(cluster >> 16));
  le::Write<std::uint16_t>(e, 22, time);
  le::Write<std::uint16_t>(e, 24, date);
  le::Write<std::uint16_t>(e, 26, static_cast<std::uint16_t>(cluster & 0xFFFF));
  le::Write<std::uint32_t>(e, 28, size);
  return e;
}

// The long-name entries of a name, in disk order (the last part first).
std::vector<DirEntry> LongName(const std::string& name, std::uint8_t first_byte_override = 0) {
  static constexpr std::size_t kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const std::size_t parts = (name.size() + 12) / 13;
  std::vector<DirEntry> out;
  for (std::size_t p = parts; p > 0; --p) {
    DirEntry e{};
    e[0] = first_byte_override ? first_byte_override : static_cast<std::uint8_t>(p | (p == parts ? 0x40 : 0));
    e[11] = 0x0F;
    for (std::size_t u = 0; u < 13; ++u) {
      const std::size_t i = (p - 1) * 13 + u;
      std::uint16_t unit = i < name.size() ? static_cast<std::uint8_t>(name[i]) : (i == name.size() ? 0 : 0xFFFF);
      le::Write<std::uint16_t>(e, kUnits[u], unit);
    }
    out.push_back(e);
  }
  return out;
}

LOGDRIVE_INFO SmallVolume() {
  LOGDRIVE_INFO v;
  v.fs_type = kFsFat32;
  v.sectors_per_cluster = 2;
  v.bytes_per_cluster = 1024;
  v.entries_per_cluster = 32;
  v.data_lba = 100;
  v.cluster_count = 200;
  return v;
}

}  // namespace

TEST(FatEntryTest, EntryTestFollowsNameRules) {
  const LOGDRIVE_INFO v = SmallVolume();
  auto valid = [&](const DirEntry& e) { return IsValidDirEntry(v, e, 2026); };
  EXPECT_EQ(valid(Entry("README  TXT")), 1);
  EXPECT_EQ(valid(Entry("README  T X")), 0) << "a blank followed by a non-blank in the extension";
  EXPECT_EQ(valid(Entry("READ ME TXT")), 0) << "embedded blank in the name";
  EXPECT_EQ(valid(Entry("MY DISK    ", 0x08, 0, 0)), 1) << "a volume label may hold blanks";
  EXPECT_EQ(valid(Entry(" EADME  TXT")), 0) << "leading blank";
  EXPECT_EQ(valid(Entry("ReADME  TXT")), 0) << "lower case";
  EXPECT_EQ(valid(Entry("README  TxT")), 0);
  EXPECT_EQ(valid(Entry("\xE5" "EADME  TXT")), 1) << "the deleted mark passes";
  EXPECT_EQ(valid(Entry("RE\xE5" "DME  TXT")), 1) << "in any position";
  EXPECT_EQ(valid(Entry("R\x90" "ADME  TXT")), 0) << "other high bytes do not";
  EXPECT_EQ(valid(Entry("README  TX\xE5")), 0) << "nor in the extension";
  // Walking live directories, code-page letters pass: "CAF\x82" is how an accented name is stored.
  const auto live = EntryContext::LiveDirectory;
  EXPECT_EQ(IsValidDirEntry(v, Entry("CAF\x82    TXT"), 2026, live), 1);
  EXPECT_EQ(IsValidDirEntry(v, Entry("MEN\x9A    T\x8AT"), 2026, live), 1);
  EXPECT_EQ(IsValidDirEntry(v, Entry("CAF\x82    TXT"), 2026, EntryContext::Search), 0);
  EXPECT_EQ(IsValidDirEntry(v, Entry("caf\x82    TXT"), 2026, live), 0) << "other rules still hold";
  EXPECT_EQ(valid(Entry("\x05" "EADME  TXT")), 1) << "0x05 is allowed";
  EXPECT_EQ(valid(Entry("A.B     TXT")), 1) << "dot is allowed";
  for (const char* bad : {"A*B     TXT", "A+B     TXT", "A?B     TXT", "A|B     TXT", "README  T:T", "A\x7F" "B     TXT"})
    EXPECT_EQ(valid(Entry(bad)), 0) << bad;
  DirEntry zeros{};
  EXPECT_EQ(valid(zeros), 0);
  DirEntry lfn = LongName("Some name")[0];
  EXPECT_EQ(IsLongNameEntry(lfn), 1);
  EXPECT_EQ(valid(lfn), 0);
  lfn[26] = 1;  // attribute 0x0F without the zero word is no long-name entry
  EXPECT_EQ(IsLongNameEntry(lfn), 0);
}

TEST(FatEntryTest, EntryTestFollowsDateTimeAndSizeRules) {
  const LOGDRIVE_INFO v = SmallVolume();
  auto dated = [&](std::uint16_t date, std::uint16_t time = Time(1, 2, 3)) {
    return IsValidDirEntry(v, Entry("FILE    TXT", 0x20, 5, 1, date, time), 2026);
  };
  EXPECT_EQ(dated(Date(2020, 2, 30)), 0);
  EXPECT_EQ(dated(Date(2021, 2, 29)), 1) << "no leap-year rule";
  EXPECT_EQ(dated(Date(2020, 4, 31)), 0);
  EXPECT_EQ(dated(Date(2020, 5, 31)), 1);
  EXPECT_EQ(dated(Date(1985, 1, 1)), 0);
  EXPECT_EQ(dated(Date(1990, 1, 1)), 1);
  EXPECT_EQ(dated(Date(2026, 12, 31)), 1);
  EXPECT_EQ(dated(Date(2027, 1, 1)), 0) << "after the current year";
  EXPECT_EQ(dated(Date(2020, 13, 1)), 0);
  EXPECT_EQ(dated(Date(2020, 1, 0)), 0);
  EXPECT_EQ(dated(Date(2020, 1, 1), Time(23, 59, 30)), 1) << "60 seconds pass";
  EXPECT_EQ(dated(Date(2020, 1, 1), Time(23, 59, 31)), 0);
  EXPECT_EQ(dated(Date(2020, 1, 1), Time(23, 60, 0)), 0);
  EXPECT_EQ(dated(Date(2020, 1, 1), Time(24, 0, 0)), 0);
  // In a live directory the year may be anything a clock can be set to; the rest still holds.
  auto live_dated = [&](std::uint16_t date) {
    return IsValidDirEntry(v, Entry("FILE    TXT", 0x20, 5, 1, date, Time(1, 2, 3)), 2026, EntryContext::LiveDirectory);
  };
  EXPECT_EQ(live_dated(Date(1980, 1, 1)), 1);
  EXPECT_EQ(live_dated(Date(2031, 6, 1)), 1);
  EXPECT_EQ(live_dated(Date(2020, 2, 30)), 0);
  EXPECT_EQ(IsValidDirEntry(v, Entry("FILE    TXT", 0x20, 5, 1, Date(CurrentUtcYear(), 1, 1))), 1)
      << "the clock's year";

  EXPECT_EQ(IsValidDirEntry(v, Entry("DIR        ", 0x10, 5, 0), 2026), 1);
  EXPECT_EQ(IsValidDirEntry(v, Entry("DIR        ", 0x10, 5, 512), 2026), 0) << "directory with a size";
  EXPECT_EQ(IsValidDirEntry(v, Entry("LABEL      ", 0x08, 0, 3), 2026), 0);
  // Clusters run from 2 to cluster_count + 1.
  EXPECT_EQ(IsValidDirEntry(v, Entry("FILE    TXT", 0x20, 201), 2026), 1);
  EXPECT_EQ(IsValidDirEntry(v, Entry("FILE    TXT", 0x20, 202), 2026), 0);
  EXPECT_EQ(IsValidDirEntry(v, Entry("FILE    TXT", 0x20, 0x10005), 2026), 0);
}

TEST(FatEntryTest, DecodesEveryField) {
  const DirEntry e = Entry("NOTES   DOC", 0x21, 0x0012ABCD, 0x01020304, Date(2019, 11, 28), Time(17, 33, 29));
  const FAT_DIR_ENTRY d = DecodeDirEntry(e);
  EXPECT_EQ(d.attributes, 0x21);
  EXPECT_STREQ(d.name, "NOTES   ");
  EXPECT_STREQ(d.extension, "DOC");
  EXPECT_EQ(d.first_cluster, 0x0012ABCDu);
  EXPECT_EQ(EntryFirstCluster(e), 0x0012ABCDu);
  EXPECT_EQ(d.size, 0x01020304u);
  EXPECT_EQ(d.year, 2019);
  EXPECT_EQ(d.month, 11);
  EXPECT_EQ(d.day, 28);
  EXPECT_EQ(d.hours, 17);
  EXPECT_EQ(d.minutes, 33);
  EXPECT_EQ(d.two_seconds, 29);
}

TEST(FatEntryTest, ChainsEndAtMarksAndAtTheVolumeEdge) {
  LOGDRIVE_INFO v = SmallVolume();  // clusters 2 .. 201
  std::vector<std::uint32_t> fat(202, 0);
  fat[5] = 6;
  fat[6] = 0x0FFFFFFF;
  fat[7] = 1;
  fat[8] = 202;
  fat[9] = 0x0FFFFFF7;
  fat[10] = 0xF0000000 | 201;  // the top four bits are not part of the number
  fat[11] = 0x0FFFFFF8;
  EXPECT_EQ(NextCluster(v, fat, 5), 6u);
  EXPECT_EQ(NextCluster(v, fat, 6), kEndOfChain);
  EXPECT_EQ(NextCluster(v, fat, 7), kEndOfChain) << "reserved value";
  EXPECT_EQ(NextCluster(v, fat, 8), kEndOfChain) << "past the last cluster";
  EXPECT_EQ(NextCluster(v, fat, 9), kEndOfChain) << "bad cluster";
  EXPECT_EQ(NextCluster(v, fat, 10), 201u) << "the last cluster is part of the volume";
  EXPECT_EQ(NextCluster(v, fat, 11), kEndOfChain);
  EXPECT_EQ(NextCluster(v, fat, 12), kEndOfChain) << "free";
  EXPECT_EQ(NextCluster(v, fat, 500), kEndOfChain);
  EXPECT_EQ(NextCluster(v, std::span<const std::uint32_t>(fat).first(6), 5), 6u);
  EXPECT_EQ(NextCluster(v, std::span<const std::uint32_t>(fat).first(6), 6), kEndOfChain)
      << "beyond the loaded table";
}

TEST(FatEntryTest, ShortNamesAndDeletedOnes) {
  EXPECT_EQ(BuildShortName(Entry("README  TXT")), "README.TXT");
  EXPECT_EQ(BuildShortName(Entry("MAKEFILE   ")), "MAKEFILE");
  EXPECT_EQ(BuildShortName(Entry("A       B  ")), "A.B");
  EXPECT_EQ(BuildShortName(Entry("\xE5" "EADME  TXT")), "DEADME.TXT");
}

TEST(FatEntryTest, LongNameAssembly) {
  const std::vector<DirEntry> thirteen = LongName("ABCDEFGHIJKLM");
  ASSERT_EQ(thirteen.size(), 1u);
  EXPECT_EQ(AssembleLongName(thirteen, 1), "ABCDEFGHIJKLM") << "no terminator unit";
  std::vector<DirEntry> two = LongName("Quarterly report 2021.xlsx");
  std::reverse(two.begin(), two.end());  // nearest the short entry first
  EXPECT_EQ(AssembleLongName(two, 2), "Quarterly report 2021.xlsx");
  EXPECT_EQ(AssembleLongName(two, 1), "Quarterly rep");
}

class FatLongNameTest : public fat_test::FatScanTest {
 protected:
  // A 504-sector image: data area at LBA 100, two sectors a cluster.
  void SetUp() override {
    FatScanTest::SetUp();
    image_.assign(504 * 512, 0);
    vol_template_ = SmallVolume();
  }
  std::uint64_t Lba(std::uint32_t cluster) { return 100 + (cluster - 2) * 2ull; }
  // Writes entries into consecutive slots from a slot of a cluster (slot may
  // be negative: slots of the sectors physically before the cluster).
  void Put(std::uint32_t cluster, int slot, const std::vector<DirEntry>& entries) {
    std::int64_t pos = static_cast<std::int64_t>(Lba(cluster) * 512) + slot * 32;
    for (const DirEntry& e : entries) {
      std::memcpy(image_.data() + pos, e.data(), 32);
      pos += 32;
    }
  }
  void Open() {
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), WriteFile("lfn.img", image_).string()), 1);
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, ListView_GetItemCount(ctx().phy_list) - 1));
  }
  std::vector<std::uint8_t> ClusterBuffer(std::uint32_t cluster) {
    return {image_.begin() + static_cast<std::ptrdiff_t>(Lba(cluster) * 512),
            image_.begin() + static_cast<std::ptrdiff_t>(Lba(cluster) * 512 + 1024)};
  }
  std::string NameAt(std::uint32_t cluster, std::size_t slot, std::vector<std::uint32_t> earlier = {}) {
    const std::vector<std::uint8_t> buf = ClusterBuffer(cluster);
    EntryPlace p{buf, slot, cluster, earlier};
    std::unique_ptr<INODE_RECD> r = MakeEntryRecord(ctx(), *drive_, vol_template_, p, 77);
    return r ? r->posix_name.value_or("<none>") : "<null>";
  }

  std::vector<std::uint8_t> image_;
  LOGDRIVE_INFO vol_template_;
};

TEST_F(FatLongNameTest, WalkCrossesSectorsAndClusters) {
  const std::string name = "A name long enough for three entries.txt";  // 40 characters
  std::vector<DirEntry> lfn = LongName(name);
  ASSERT_EQ(lfn.size(), 4u);
  // Within the cluster, across its two sectors: slots 13-16, entry at 17.
  std::vector<DirEntry> run = lfn;
  run.push_back(Entry("ANAMEL~1TXT"));
  Put(10, 13, run);
  // At slot 1 of cluster 20: one long-name slot in front, three in the
  // sector physically before the cluster (the last of cluster 19).
  Put(20, -3, run);
  // Cluster 30 (chain 7 -> 30): the rest is at the end of cluster 7, and
  // cluster 29, physically in front, holds other long-name slots.
  Put(30, -3, LongName("WRONG WRONG WRONG WRONG WRONG WRONG"));
  Put(30, 0, {lfn[3], Entry("ANAMEL~1TXT")});
  Put(8, -3, {lfn[0], lfn[1], lfn[2]});
  Open();

  EXPECT_EQ(NameAt(10, 17), name);
  EXPECT_EQ(NameAt(20, 1), name) << "the sector before the cluster";
  EXPECT_EQ(NameAt(30, 1, {3, 7}), name) << "the previous cluster of the chain";
  EXPECT_NE(NameAt(30, 1), name) << "without a chain: the sectors physically in front";

  const std::vector<std::uint8_t> buf = ClusterBuffer(20);
  EXPECT_EQ(CountLongNameEntries(ctx(), *drive_, vol_template_, EntryPlace{buf, 1, 20, {}}), 4u);
  EXPECT_EQ(CountLongNameEntries(ctx(), *drive_, vol_template_, EntryPlace{buf, 0, 20, {}}), 3u);
}

TEST_F(FatLongNameTest, UnreadableSectorEndsTheWalk) {
  std::vector<DirEntry> run = LongName("A name long enough for three entries.txt");
  run.push_back(Entry("ANAMEL~1TXT"));
  Put(20, -3, run);
  Open();
  static std::uint64_t bad_offset;
  bad_offset = (Lba(20) - 1) * 512;
  sys_SetReadFaultHook([](DevHandle, std::uint64_t offset, std::size_t length) {
    ReadFault f;
    f.fail = offset <= bad_offset && bad_offset < offset + length;
    return f;
  });
  const std::vector<std::uint8_t> buf = ClusterBuffer(20);
  EXPECT_EQ(CountLongNameEntries(ctx(), *drive_, vol_template_, EntryPlace{buf, 1, 20, {}}), 1u);
  EXPECT_EQ(drive_->read_errors, 1u);
  EXPECT_EQ(NameAt(20, 1), "A name long e") << "what was gathered still names it";
}

TEST_F(FatLongNameTest, DeletedEntriesAndRecordFields) {
  // Deleted: the short entry and its long-name slots all start with 0xE5.
  std::vector<DirEntry> run = LongName("Deleted long name.doc", 0xE5);
  run.push_back(Entry("\xE5" "ELETE~1DOC", 0x20, 44, 3000, Date(2022, 6, 1), Time(8, 30, 0)));
  run.push_back(Entry("\xE5" "EADME  TXT", 0x20, 45, 7));
  run.push_back(Entry("SUBDIR     ", 0x10, 46, 0));
  Put(12, 4, run);
  Open();

  const std::vector<std::uint8_t> buf = ClusterBuffer(12);
  std::unique_ptr<INODE_RECD> r = MakeEntryRecord(ctx(), *drive_, vol_template_, EntryPlace{buf, 6, 12, {}}, 12);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->posix_name, "Deleted long name.doc");
  EXPECT_EQ(PosixNameLen(*r), 21u);
  EXPECT_FALSE(r->short_name);
  EXPECT_EQ(r->record_flags, 0u);
  EXPECT_EQ(r->own_number, 44u);
  EXPECT_EQ(r->parent_number, 12u);
  EXPECT_EQ(r->data_size, 3000u);
  EXPECT_EQ(r->fat_date, Date(2022, 6, 1));
  EXPECT_EQ(r->fat_time, Time(8, 30, 0));

  EXPECT_EQ(NameAt(12, 7), "DEADME.TXT") << "the previous slot is a short entry: no long name";
  r = MakeEntryRecord(ctx(), *drive_, vol_template_, EntryPlace{buf, 8, 12, {}}, 12);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->posix_name, "SUBDIR");
  EXPECT_EQ(r->record_flags, kRecInUse | kRecDirectory);
}

TEST_F(FatLongNameTest, WalkStopsAtTheFirstSectorOfTheDisk) {
  Open();
  LOGDRIVE_INFO v = vol_template_;
  v.data_lba = 0;  // cluster 2 starts at LBA 0
  std::vector<std::uint8_t> buf(1024, 0);
  const DirEntry e = Entry("FILE    TXT");
  std::memcpy(buf.data(), e.data(), 32);
  EXPECT_EQ(CountLongNameEntries(ctx(), *drive_, v, EntryPlace{buf, 0, 2, {}}), 0u);
  EXPECT_EQ(drive_->read_errors, 0u);
}
