// FAT32 entries: the entry test, decoding, chains, short and long names.
#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>

#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "platform/bytes.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

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
    for (std::size_t u = 0, i = (p - 1) * 13; u < 13; ++u, ++i) {
      const int unit = i < name.size() ? static_cast<std::uint8_t>(name[i]) : (i == name.size() ? 0 : 0xFFFF);
      le::Write<std::uint16_t>(e, kUnits[u], static_cast<std::uint16_t>(unit));
    }
    out.push_back(e);
  }
  return out;
}

// Clusters 2 .. 201 of two sectors each, the data area at LBA 100.
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
  const auto search = EntryContext::Search, live = EntryContext::LiveDirectory;
  struct Case { const char* name11; int valid; EntryContext where = EntryContext::Search; std::uint8_t attr = 0x20; };
  for (const Case& c : std::initializer_list<Case>{
           {"README  TXT", 1}, {"README  T X", 0},  // a blank followed by a non-blank in the extension
           {"READ ME TXT", 0}, {" EADME  TXT", 0}, {"MY DISK    ", 1, search, 0x08},  // a label may hold blanks
           {"ReADME  TXT", 0}, {"README  TxT", 0}, {"\xE5" "EADME  TXT", 1}, {"RE\xE5" "DME  TXT", 1},
           {"R\x90" "ADME  TXT", 0}, {"README  TX\xE5", 0}, {"\x05" "EADME  TXT", 1}, {"A.B     TXT", 1},
           {"A*B     TXT", 0}, {"A+B     TXT", 0}, {"A?B     TXT", 0}, {"A|B     TXT", 0}, {"README  T:T", 0},
           {"A\x7F" "B     TXT", 0},
           // Walking live directories, code-page letters pass: how accented names are stored.
           {"CAF\x82    TXT", 1, live}, {"MEN\x9A    T\x8AT", 1, live}, {"CAF\x82    TXT", 0},
           {"caf\x82    TXT", 0, live}}) {
    const DirEntry e = Entry(c.name11, c.attr, c.attr == 0x08 ? 0 : 5, c.attr == 0x08 ? 0 : 10);
    EXPECT_EQ(IsValidDirEntry(v, e, 2026, c.where), c.valid) << c.name11;
  }
  EXPECT_EQ(IsValidDirEntry(v, DirEntry{}, 2026), 0);
  DirEntry lfn = LongName("Some name")[0];
  EXPECT_EQ(IsLongNameEntry(lfn), 1);
  EXPECT_EQ(IsValidDirEntry(v, lfn, 2026), 0);
  lfn[26] = 1;  // attribute 0x0F without the zero word is no long-name entry
  EXPECT_EQ(IsLongNameEntry(lfn), 0);
}

TEST(FatEntryTest, EntryTestFollowsDateTimeAndSizeRules) {
  const LOGDRIVE_INFO v = SmallVolume();
  const auto search = EntryContext::Search, live = EntryContext::LiveDirectory;
  struct Case { std::uint16_t date, time; int valid; EntryContext where = EntryContext::Search; };
  const std::uint16_t t = Time(1, 2, 3), jan1 = Date(2020, 1, 1);
  for (const Case& c : std::initializer_list<Case>{
           {Date(2020, 2, 30), t, 0}, {Date(2021, 2, 29), t, 1},  // no leap-year rule
           {Date(2020, 4, 31), t, 0}, {Date(2020, 5, 31), t, 1}, {Date(1985, 1, 1), t, 0}, {Date(1990, 1, 1), t, 1},
           {Date(2026, 12, 31), t, 1}, {Date(2027, 1, 1), t, 0},  // after the current year
           {Date(2020, 13, 1), t, 0}, {Date(2020, 1, 0), t, 0}, {jan1, Time(23, 59, 30), 1},  // 60 seconds pass
           {jan1, Time(23, 59, 31), 0}, {jan1, Time(23, 60, 0), 0}, {jan1, Time(24, 0, 0), 0},
           // In a live directory the year may be anything a clock can be set to; the rest still holds.
           {Date(1980, 1, 1), t, 1, live}, {Date(2031, 6, 1), t, 1, live}, {Date(2020, 2, 30), t, 0, live}})
    EXPECT_EQ(IsValidDirEntry(v, Entry("FILE    TXT", 0x20, 5, 1, c.date, c.time), 2026, c.where), c.valid)
        << std::hex << c.date << " " << c.time << (c.where == search ? "" : " live");
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

TEST(FatEntryTest, DecodesFieldsAndBuildsNames) {
  const DirEntry e = Entry("NOTES   DOC", 0x21, 0x0012ABCD, 0x01020304, Date(2019, 11, 28), Time(17, 33, 29));
  const FAT_DIR_ENTRY d = DecodeDirEntry(e);
  EXPECT_STREQ(d.name, "NOTES   ");
  EXPECT_STREQ(d.extension, "DOC");
  EXPECT_EQ(std::tie(d.attributes, d.first_cluster, d.size), std::make_tuple(0x21, 0x0012ABCDu, 0x01020304u));
  EXPECT_EQ(std::make_tuple(d.year, d.month, d.day, d.hours, d.minutes, d.two_seconds),
            std::make_tuple(2019, 11, 28, 17, 33, 29));
  EXPECT_EQ(EntryFirstCluster(e), 0x0012ABCDu);

  EXPECT_EQ(BuildShortName(Entry("README  TXT")), "README.TXT");
  EXPECT_EQ(BuildShortName(Entry("MAKEFILE   ")), "MAKEFILE");
  EXPECT_EQ(BuildShortName(Entry("A       B  ")), "A.B");
  EXPECT_EQ(BuildShortName(Entry("\xE5" "EADME  TXT")), "DEADME.TXT");

  const std::vector<DirEntry> thirteen = LongName("ABCDEFGHIJKLM");
  ASSERT_EQ(thirteen.size(), 1u);
  EXPECT_EQ(AssembleLongName(thirteen, 1), "ABCDEFGHIJKLM") << "no terminator unit";
  std::vector<DirEntry> two = LongName("Quarterly report 2021.xlsx");
  std::reverse(two.begin(), two.end());  // nearest the short entry first
  EXPECT_EQ(AssembleLongName(two, 2), "Quarterly report 2021.xlsx");
  EXPECT_EQ(AssembleLongName(two, 1), "Quarterly rep");
}

TEST(FatEntryTest, ChainsEndAtMarksAndAtTheVolumeEdge) {
  const LOGDRIVE_INFO v = SmallVolume();
  std::vector<std::uint32_t> fat(202, 0);
  fat[5] = 6;
  fat[6] = 0x0FFFFFFF;
  fat[7] = 1;                  // reserved value
  fat[8] = 202;                // past the last cluster
  fat[9] = 0x0FFFFFF7;         // bad cluster
  fat[10] = 0xF0000000 | 201;  // the top four bits are not part of the number; 201 is the last cluster
  fat[11] = 0x0FFFFFF8;
  EXPECT_EQ(NextCluster(v, fat, 5), 6u);
  EXPECT_EQ(NextCluster(v, fat, 10), 201u);
  for (std::uint32_t c : {6, 7, 8, 9, 11, 12, 500}) EXPECT_EQ(NextCluster(v, fat, c), kEndOfChain) << c;
  const auto loaded = std::span<const std::uint32_t>(fat).first(6);
  EXPECT_EQ(NextCluster(v, loaded, 5), 6u);
  EXPECT_EQ(NextCluster(v, loaded, 6), kEndOfChain) << "beyond the loaded table";
}

class FatLongNameTest : public RetrovaTest {
 protected:
  std::uint64_t Lba(std::uint32_t cluster) { return 100 + (cluster - 2) * 2ull; }
  // Writes entries into consecutive slots from a slot of a cluster (slot may
  // be negative: slots of the sectors physically before the cluster).
  void Put(std::uint32_t cluster, int slot, const std::vector<DirEntry>& entries) {
    std::int64_t pos = static_cast<std::int64_t>(Lba(cluster) * 512) + slot * 32;
    for (const DirEntry& e : entries) std::memcpy(image_.data() + pos, e.data(), 32), pos += 32;
  }
  void Open() {
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), WriteFile("lfn.img", image_).string()), 1);
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0));
  }
  std::vector<std::uint8_t> ClusterBuffer(std::uint32_t cluster) {
    const auto at = image_.begin() + static_cast<std::ptrdiff_t>(Lba(cluster) * 512);
    return {at, at + 1024};
  }
  std::size_t Count(std::uint32_t cluster, std::size_t slot, const LOGDRIVE_INFO& v) {
    const std::vector<std::uint8_t> buf = ClusterBuffer(cluster);
    return CountLongNameEntries(ctx(), *drive_, v, EntryPlace{buf, slot, cluster, {}});
  }
  std::unique_ptr<INODE_RECD> Record(std::uint32_t cluster, std::size_t slot, std::vector<std::uint32_t> earlier = {}) {
    const std::vector<std::uint8_t> buf = ClusterBuffer(cluster);
    return MakeEntryRecord(ctx(), *drive_, vol_, EntryPlace{buf, slot, cluster, earlier}, cluster);
  }
  std::string NameAt(std::uint32_t cluster, std::size_t slot, std::vector<std::uint32_t> earlier = {}) {
    const auto r = Record(cluster, slot, std::move(earlier));
    return r ? r->posix_name.value_or("<none>") : "<null>";
  }

  std::vector<std::uint8_t> image_ = std::vector<std::uint8_t>(504 * 512, 0);
  LOGDRIVE_INFO vol_ = SmallVolume();
  PHYDRIVE_INFO* drive_ = nullptr;
  const std::string name_ = "A name long enough for three entries.txt";  // 40 characters, 4 entries
};

TEST_F(FatLongNameTest, WalkCrossesSectorsAndClusters) {
  std::vector<DirEntry> lfn = LongName(name_), run = lfn;
  run.push_back(Entry("ANAMEL~1TXT"));
  Put(10, 13, run);  // within the cluster, across its two sectors: slots 13-16, entry at 17
  // At slot 1 of cluster 20: one long-name slot in front, three in the
  // sector physically before the cluster (the last of cluster 19).
  Put(20, -3, run);
  // Cluster 30 (chain 7 -> 30): the rest is at the end of cluster 7, and
  // cluster 29, physically in front, holds other long-name slots.
  Put(30, -3, LongName("WRONG WRONG WRONG WRONG WRONG WRONG"));
  Put(30, 0, {lfn[3], Entry("ANAMEL~1TXT")});
  Put(8, -3, {lfn[0], lfn[1], lfn[2]});
  Open();

  EXPECT_EQ(NameAt(10, 17), name_);
  EXPECT_EQ(NameAt(20, 1), name_) << "the sector before the cluster";
  EXPECT_EQ(NameAt(30, 1, {3, 7}), name_) << "the previous cluster of the chain";
  EXPECT_NE(NameAt(30, 1), name_) << "without a chain: the sectors physically in front";
  EXPECT_EQ(Count(20, 1, vol_), 4u);
  EXPECT_EQ(Count(20, 0, vol_), 3u);
}

TEST_F(FatLongNameTest, UnreadableSectorOrTheDisksStartEndsTheWalk) {
  std::vector<DirEntry> run = LongName(name_);
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
  EXPECT_EQ(Count(20, 1, vol_), 1u);
  EXPECT_EQ(drive_->read_errors, 1u);
  EXPECT_EQ(NameAt(20, 1), "A name long e") << "what was gathered still names it";
  sys_SetReadFaultHook(nullptr);

  LOGDRIVE_INFO at_zero = vol_;
  at_zero.data_lba = 0;  // cluster 2 starts at LBA 0: nothing in front to read
  std::vector<std::uint8_t> buf(1024, 0);
  std::memcpy(buf.data(), Entry("FILE    TXT").data(), 32);
  const std::uint64_t errors = drive_->read_errors;
  EXPECT_EQ(CountLongNameEntries(ctx(), *drive_, at_zero, EntryPlace{buf, 0, 2, {}}), 0u);
  EXPECT_EQ(drive_->read_errors, errors);
}

TEST_F(FatLongNameTest, DeletedEntriesAndRecordFields) {
  // Deleted: the short entry and its long-name slots all start with 0xE5.
  std::vector<DirEntry> run = LongName("Deleted long name.doc", 0xE5);
  run.push_back(Entry("\xE5" "ELETE~1DOC", 0x20, 44, 3000, Date(2022, 6, 1), Time(8, 30, 0)));
  run.push_back(Entry("\xE5" "EADME  TXT", 0x20, 45, 7));
  run.push_back(Entry("SUBDIR     ", 0x10, 46, 0));
  Put(12, 4, run);
  Open();

  std::unique_ptr<INODE_RECD> r = Record(12, 6);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->posix_name, "Deleted long name.doc");
  EXPECT_EQ(PosixNameLen(*r), 21u);
  EXPECT_FALSE(r->short_name);
  EXPECT_EQ(std::tie(r->record_flags, r->own_number, r->parent_number, r->data_size),
            std::make_tuple(0u, 44u, 12u, 3000u));
  EXPECT_EQ(std::tie(r->fat_date, r->fat_time), std::make_tuple(Date(2022, 6, 1), Time(8, 30, 0)));

  EXPECT_EQ(NameAt(12, 7), "DEADME.TXT") << "the previous slot is a short entry: no long name";
  r = Record(12, 8);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->posix_name, "SUBDIR");
  EXPECT_EQ(r->record_flags, kRecInUse | kRecDirectory);
}
