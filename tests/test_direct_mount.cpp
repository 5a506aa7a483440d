// A volume mounted at its start sector without the partition search: the
// same record the search lists there, from a few sectors read; and how far a
// volume's claim reaches past its drive.
#include <array>
#include <string>

#include "app/status.h"
#include "res/ids.h"
#include "volume/direct_mount.h"
#include "volume/logdrive.h"
#include "volume_images.h"

using namespace vimg;

namespace {

std::uint64_t g_bytes_read = 0;

ReadFault CountRead(DevHandle, std::uint64_t, std::size_t length) {
  g_bytes_read += length;
  return ReadFault{};
}

class DirectMountTest : public VolumeImageTest {
 protected:
  void SetUp() override {
    VolumeImageTest::SetUp();
    OpenMainWindow();
  }
  void TearDown() override {
    sys_SetReadFaultHook(nullptr);
    VolumeImageTest::TearDown();
  }
  void AddFixture(const std::string& name) {
    ASSERT_EQ(AddImageFile(ctx(), Fixture(name).string()), 1);
    Select(ListView_GetItemCount(ctx().phy_list) - 1);
  }
};

}  // namespace

TEST_F(DirectMountTest, MountsWhatTheSearchListsAtThatSectorFromAFewSectors) {
  // Tables walked at LBA 0 and along the chain, boot records alone, backups,
  // records built from entries, EXTD rows.
  for (const char* name : {"legacy.img", "modern.img", "zeroed_mbr.img", "fat32_backup.img", "entry_only.img",
                           "ebr_loop.img", "fat12_fat16.img", "demo.img", "fat/basic.img"}) {
    SCOPED_TRACE(name);
    AddFixture(name);
    PHYDRIVE_INFO& drive = Drive(ListView_GetItemCount(ctx().phy_list) - 1);
    Scan();
    std::map<std::int64_t, std::array<std::uint8_t, kLogDriveInfoSize>> searched;
    for (int r = 0; r < ListView_GetItemCount(ctx().log_list); ++r) searched[Row(r)->start_lba] = LogDriveToBytes(*Row(r));
    ASSERT_FALSE(searched.empty());

    int mounted = 0;
    for (const auto& [lba, bytes] : searched) {
      ClearLogicalDriveList(ctx());
      g_bytes_read = 0;
      sys_SetReadFaultHook(CountRead);
      LOGDRIVE_INFO* rec = MountVolumeAt(ctx(), drive, static_cast<std::uint64_t>(lba));
      sys_SetReadFaultHook(nullptr);
      // nullptr leaves the volume to the search (a backup on a backup position).
      if (!rec) continue;
      ++mounted;
      EXPECT_EQ(LogDriveToBytes(*rec), bytes) << "LBA " << lba;
      ASSERT_EQ(ListView_GetItemCount(ctx().log_list), 1);
      EXPECT_EQ(Row(0), rec);
      // A few sectors, and the second-FAT probes of a record built from an entry.
      EXPECT_LE(g_bytes_read, 1u << 20) << "LBA " << lba << ": no whole-drive read";
      // Asked again: the listed row, not a second one.
      EXPECT_EQ(MountVolumeAt(ctx(), drive, static_cast<std::uint64_t>(lba)), rec);
      EXPECT_EQ(ListView_GetItemCount(ctx().log_list), 1);
    }
    EXPECT_GT(mounted, 0);
    ClearLogicalDriveList(ctx());
  }
}

TEST_F(DirectMountTest, NothingAtZerosOrPastTheDrive) {
  AddDisk(4 * kCyl, {{63, Fat32Boot({.total = 4 * kCyl - 63})}});
  Select(0);
  PHYDRIVE_INFO& drive = Drive(0);
  EXPECT_EQ(MountVolumeAt(ctx(), drive, 64), nullptr);
  EXPECT_EQ(MountVolumeAt(ctx(), drive, 4 * kCyl), nullptr);
  EXPECT_EQ(MountVolumeAt(ctx(), drive, UINT64_MAX), nullptr);
  EXPECT_EQ(ListView_GetItemCount(ctx().log_list), 0);
  ASSERT_NE(MountVolumeAt(ctx(), drive, 63), nullptr);
  EXPECT_EQ(Row(0)->start_lba, 63);
}

TEST_F(DirectMountTest, ChainWalkIsBounded) {
  // An EBR linking to itself: the walk ends, the logical volume is still found.
  const std::uint64_t ebr = kCyl;
  AddDisk(3 * kCyl, {{0, Table({{.type = 0x05, .start = static_cast<std::uint32_t>(ebr), .count = 2 * kCyl}})},
                     {ebr, Table({{.type = 0x0C, .start = 63, .count = kCyl - 63},
                                  {.type = 0x05, .start = 0, .count = kCyl}})},
                     {ebr + 63, Fat32Boot({.total = kCyl - 63})}});
  Select(0);
  LOGDRIVE_INFO* rec = MountVolumeAt(ctx(), Drive(0), ebr + 63);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->fs_type, kFsFat32);
  EXPECT_EQ(MountVolumeAt(ctx(), Drive(0), ebr + 5), nullptr);
}

TEST(SectorsPastDriveEndTest, CountsTheClaimBeyondTheLastSector) {
  PHYDRIVE_INFO drive;
  drive.total_sectors = 1000;
  struct Case {
    std::int64_t start, total;
    std::uint64_t past;
  };
  for (const Case c : {Case{0, 1000, 0}, Case{100, 900, 0}, Case{100, 901, 1}, Case{100, 5000, 4100},
                       Case{1000, 50, 50}, Case{5000, 50, 50}, Case{100, INT64_MAX, INT64_MAX - 900},
                       Case{INT64_MAX, INT64_MAX, INT64_MAX}, Case{-5, 10, 0}}) {
    LOGDRIVE_INFO vol;
    vol.start_lba = c.start;
    vol.total_sectors = c.total;
    EXPECT_EQ(SectorsPastDriveEnd(vol, drive), c.past) << c.start << "+" << c.total;
  }
}
