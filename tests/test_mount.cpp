// Volume records from boot records and from partition entries alone.
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume_images.h"

using namespace vimg;

TEST(MountTests, Fat32GeometryFromTheBootRecord) {
  Sector s = Fat32Boot({.oem = "MSWIN4.1", .spc = 8, .reserved = 32, .fat_size = 1000, .root_cluster = 2,
                        .total = 1000000});
  const LOGDRIVE_INFO* v = MountLogDrive(63, s);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->oem_index, 1u);
  EXPECT_EQ(std::make_tuple(v->fat_lba, v->data_lba, v->root_lba, v->backup_boot_lba),
            std::make_tuple(std::int64_t{95}, std::int64_t{2095}, std::int64_t{2095}, std::int64_t{69}));
  EXPECT_EQ(v->cluster_count, (1000000 - (2095 - 63)) / 8);
  EXPECT_EQ(v->mount_flags, 1);

  Put32(s, 44, 5);
  EXPECT_EQ(MountLogDrive(63, s)->root_lba, 2119);
  PutText(s, 54, "FAT16   ");  // the FAT32 type string at 82 wins
  EXPECT_EQ(FsTypeFromBootRecord(s), 3u);
}

TEST(MountTests, NtfsRecordSize) {
  const LOGDRIVE_INFO* v = MountLogDrive(2048, NtfsBoot({.spc = 8, .total = 409599, .record_clusters = 246}));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->mft_record_size, 1024u);
  EXPECT_EQ(v->mft_records_per_cluster, 4u);
  EXPECT_EQ(v->mft_lba, 2048 + 4 * 8);
  EXPECT_EQ(v->backup_boot_lba, 2048 + 409599);

  v = MountLogDrive(63, NtfsBoot({.spc = 1, .total = 1000, .record_clusters = 1}));
  EXPECT_EQ(v->mft_record_size, 512u);
  EXPECT_EQ(v->mft_records_per_cluster, 1u);
  // Sizes that are zero or do not fit the field, and wrapping sums, stay sane.
  EXPECT_EQ(MountLogDrive(63, NtfsBoot({.spc = 128, .record_clusters = 0x7FFFFFFF}))->mft_record_size, 1024u);
  EXPECT_EQ(MountLogDrive(63, NtfsBoot({.spc = 8, .record_clusters = 0}))->mft_record_size, 1024u);
  EXPECT_NE(MountLogDrive(63, NtfsBoot({.spc = 128, .total = UINT64_MAX, .mft_cluster = UINT64_MAX})),
            nullptr);
}

TEST(MountTests, Fat16TotalsAndUnrecognisedTypeStrings) {
  const LOGDRIVE_INFO* v = MountLogDrive(63, Fat16Boot("FAT16   ", 0, 100000, 4, 100, 1));
  EXPECT_EQ(v->total_sectors, 100000) << "the 32-bit total when the 16-bit one is 0";
  EXPECT_EQ(std::make_tuple(v->fat_lba, v->root_lba, v->data_lba),
            std::make_tuple(std::int64_t{64}, std::int64_t{264}, std::int64_t{296}));
  // Areas larger than the volume: no data clusters rather than a negative count.
  EXPECT_EQ(MountLogDrive(63, Fat16Boot("FAT16   ", 100, 0, 4, 1000, 1))->cluster_count, 0);

  v = MountLogDrive(63, Fat16Boot("FAT     ", 0, 100000));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->fs_type, 8u);
  EXPECT_STREQ(v->fs_name, "");
  EXPECT_EQ(v->total_sectors, 0);
}

TEST(MountTests, OnlyTheFourKnownOemNamesAreMounted) {
  for (const char* oem : {"MSWIN4.1", "MSDOS5.0", "Dell 4.1"})
    EXPECT_NE(MountLogDrive(63, Fat32Boot({.oem = oem})), nullptr) << oem;
  for (const char* oem : {"MSWIN4.0", "MSDOS5.1", "mkfs.fat"})
    EXPECT_EQ(MountLogDrive(63, Fat32Boot({.oem = oem})), nullptr) << oem;
}

TEST(MountTests, DefaultClusterSizes) {
  const std::vector<std::tuple<std::uint64_t, int, std::uint32_t>> cases = {
      {20000, 1, 8}, {100000, 2, 4}, {16001, 1, 4}, {67108853, 3, 32},
      {67108854, 3, 64},  // the last limit is 67108854
      {67108854, 4, 8},   {1000, 6, 8}};
  for (const auto& [sectors, type, spc] : cases)
    EXPECT_EQ(ClusterSizeForVolume(sectors, type), spc) << sectors << " sectors, type " << type;
}

class BuildFromEntryTest : public VolumeImageTest {
 protected:
  PHYDRIVE_INFO& Disk(std::uint64_t sectors, const std::map<std::uint64_t, Sector>& content) {
    OpenMainWindow();
    AddDisk(sectors, content);
    return Drive(0);
  }
  static std::vector<std::uint8_t> EntryBytes(const Entry& e) {
    Sector s{};
    PutEntry(s, 0, e);
    return {s.begin() + 446, s.begin() + 462};
  }
  static constexpr Sector kMediaByte{0xF8};
};

TEST_F(BuildFromEntryTest, FatSizeIsFoundByTheMediaByteOfTheSecondFat) {
  // FAT32, 200000 sectors, 4 per cluster, 32 reserved: the estimate is 390.
  PHYDRIVE_INFO& d = Disk(300000, {{95 + 390, kMediaByte}, {95 + 300, kMediaByte}});
  EXPECT_EQ(EstimateFatSectors(ctx(), d, 3, 4, 200000, 32, 95), 390u) << "the estimate is confirmed";
  EXPECT_EQ(EstimateFatSectors(ctx(), d, 3, 8, 200000, 32, 95), 300u) << "else the first media byte after F";
  EXPECT_EQ(EstimateFatSectors(ctx(), d, 3, 4, 200000, 32, 5000), 390u) << "none found: the estimate";
  EXPECT_EQ(EstimateFatSectors(ctx(), d, 4, 8, 200000, 32, 95), 0u);
  // Near the end of the drive nothing past it is read.
  EXPECT_EQ(EstimateFatSectors(ctx(), d, 2, 4, 200000, 1, 299990), 195u);
  EXPECT_EQ(d.read_errors, 0u);
}

TEST_F(BuildFromEntryTest, RecordsBuiltFromEntriesAlone) {
  PHYDRIVE_INFO& d = Disk(200000, {{63 + 32 + 200, kMediaByte}});
  const LOGDRIVE_INFO* v = BuildLogDriveFromEntry(ctx(), d, EntryBytes({0x0C, 63, 100000}), 63);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v->oem_name, "MSDOS5.0");
  EXPECT_STREQ(v->fs_name, "FAT32");
  EXPECT_EQ(v->mount_flags, 0);
  EXPECT_EQ(v->hidden_sectors, 63) << "head 1: the sectors per track";
  EXPECT_EQ(v->sectors_per_cluster, 4u);
  EXPECT_EQ(v->backup_boot_lba, 69);
  // The first FAT after the usual 32 reserved sectors, sized by the second one's media byte.
  EXPECT_EQ(v->fat_lba, 95);
  EXPECT_EQ(v->fat_sectors, 200);
  EXPECT_EQ(v->data_lba, 495);
  EXPECT_EQ(v->root_lba, 495);

  v = BuildLogDriveFromEntry(ctx(), d, EntryBytes({0x07, 16065, 40000}), 16065);
  EXPECT_STREQ(v->oem_name, "NTFS    ");
  EXPECT_STREQ(v->fs_name, "NTFS");
  EXPECT_EQ(v->hidden_sectors, 16065);
  EXPECT_EQ(v->total_sectors, 39999) << "the backup's sector is not counted";
  EXPECT_EQ(v->cluster_count, 39999);
  EXPECT_EQ(v->ntfs_record_clusters, 2u);
  EXPECT_EQ(v->mft_lba, 0) << "no $MFT to be found";

  v = BuildLogDriveFromEntry(ctx(), d, EntryBytes({0x12, 63, 40000}), 63);
  EXPECT_EQ(v->fs_type, 5u);
  EXPECT_STREQ(v->fs_name, "");
}
