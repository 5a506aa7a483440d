// Stored images of the volume, directory, file and run records, and the
// volume-relative reads.
#include <cstring>
#include <tuple>

#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "scan/records.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

using Field = std::tuple<std::size_t, std::size_t, std::uint64_t>;  // offset, width, value

template <std::size_t N>
std::uint64_t At(const std::array<std::uint8_t, N>& b, std::size_t off, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(b[off + i]) << (8 * i);
  return v;
}

// Each field holds its value; every byte not named by a field (reserved and
// pointer slots) is zero.
template <std::size_t N>
void ExpectFields(const std::array<std::uint8_t, N>& b, const std::vector<Field>& fields) {
  std::vector<bool> covered(N, false);
  for (auto [off, width, value] : fields) {
    EXPECT_EQ(At(b, off, width), value) << "field at " << off;
    for (std::size_t i = 0; i < width; ++i) covered[off + i] = true;
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!covered[i]) {
      EXPECT_EQ(b[i], 0) << "byte " << i << " should be zero";
    }
  }
}

}  // namespace

TEST(StoredRecords, LogicalDriveEveryFieldAtItsOffset) {
  LOGDRIVE_INFO d;
  std::uint32_t fat[4] = {};
  d.fat1_table = d.fat2_table = fat;
  d.cluster_map = fat;
  std::memcpy(d.oem_name, "MSDOS5.0", 8);
  std::memcpy(d.fs_name, "FAT32   ", 8);
  std::uint32_t* u32s[] = {&d.ntfs_record_clusters, &d.ntfs_index_clusters, &d.root_cluster,
                           &d.fs_type,              &d.oem_index,           &d.sectors_per_cluster,
                           &d.mft_record_size,      &d.bytes_per_sector,    &d.bytes_per_cluster,
                           &d.entries_per_cluster,  &d.fat_entries_per_sector, &d.mft_records_per_cluster};
  const std::size_t u32_offsets[] = {130, 134, 138, 142, 146, 154, 158, 162, 166, 170, 174, 178};
  std::int64_t* i64s[] = {&d.fat_bytes,   &d.mount_flags,  &d.fat_sectors,     &d.start_lba,      &d.total_sectors,
                          &d.backup_boot_lba, &d.fat_lba,  &d.reserved_sectors, &d.hidden_sectors, &d.root_lba,
                          &d.mft_lba,     &d.mftmirr_lba,  &d.mftmirr_cluster, &d.data_lba,       &d.cluster_count,
                          &d.files_found, &d.dirs_found,   &d.spare_count};
  const std::size_t i64_offsets[] = {182, 198, 206, 214, 222, 230, 238, 246, 254, 262, 270, 278, 286, 294, 302, 310, 318, 326};
  std::uint64_t oem = 0, fs = 0;
  std::memcpy(&oem, d.oem_name, 8);  // little-endian host: the names' bytes as numbers
  std::memcpy(&fs, d.fs_name, 8);
  std::vector<Field> fields = {{112, 8, oem}, {121, 8, fs}};
  for (std::size_t i = 0; i < std::size(u32s); ++i) {
    *u32s[i] = static_cast<std::uint32_t>(0x11111101 + i);
    fields.emplace_back(u32_offsets[i], 4, *u32s[i]);
  }
  for (std::size_t i = 0; i < std::size(i64s); ++i) {
    *i64s[i] = static_cast<std::int64_t>(0x0102030405060700ULL + i);
    fields.emplace_back(i64_offsets[i], 8, static_cast<std::uint64_t>(*i64s[i]));
  }
  d.spare_count = -2;  // signed fields keep their sign
  std::get<2>(fields.back()) = ~1ULL;

  const auto b = LogDriveToBytes(d);
  ASSERT_EQ(b.size(), 334u);
  ExpectFields(b, fields);
  LOGDRIVE_INFO back;
  ASSERT_TRUE(LogDriveFromBytes(b, back));
  EXPECT_EQ(back.fat1_table, nullptr);
  EXPECT_EQ(LogDriveToBytes(back), b);
  EXPECT_EQ(back.spare_count, -2);
  EXPECT_STREQ(back.fs_name, "FAT32   ");
  EXPECT_FALSE(LogDriveFromBytes(std::span(b).first(333), back));
}

TEST(StoredRecords, DirectoryRecordEveryFieldAtItsOffset) {
  INODE_RECD r;
  r.posix_name = "Long Name.txt";
  r.short_name = "LONGNA~1.TXT";
  r.resident_data = {1, 2, 3};
  r.link_state = 3;
  r.record_flags = 0x0A0B0C0D;
  r.fat_date = 0x1234;
  r.fat_time = 0x5678;
  r.data_nonresident = 1;
  r.run_list.resize(2);
  r.file_count = 0x1000000000000001ULL;
  r.record_lba = 0x2000000000000002ULL;
  r.data_size = 0x3000000000000003ULL;
  r.own_number = 0x4000000000000004ULL;
  r.parent_number = ~0ULL;
  r.header_record_number = 0x6000000000000006ULL;
  r.data_size_kb = 0x7000000000000007ULL;
  r.write_time = 0x8000000000000008ULL;
  FILE_INODE f;
  r.files_head = r.files_tail = &f;
  r.next_pending = &r;

  const auto b = InodeRecdToBytes(r);
  ASSERT_EQ(b.size(), 976u);
  // Pointer slots 0, 4, 8 and 960..975 stay zero.
  ExpectFields(b, {{12, 4, 3},  {16, 4, 0x0A0B0C0D}, {20, 2, 0x1234}, {22, 2, 0x5678}, {28, 4, 13}, {32, 4, 12},
                   {36, 4, 3},  {44, 4, 2},          {48, 4, 1},      {52, 8, r.file_count},       {60, 8, r.record_lba},
                   {68, 8, r.data_size},             {76, 8, r.own_number},           {84, 8, ~0ULL},
                   {92, 8, r.header_record_number},  {100, 8, r.data_size_kb},        {108, 8, r.write_time}});
  INODE_RECD back;
  std::uint32_t pl = 0, sl = 0, rl = 0, rc = 0;
  ASSERT_TRUE(InodeRecdFromBytes(b, back, &pl, &sl, &rl, &rc));
  EXPECT_EQ(std::tuple(pl, sl, rl, rc), std::tuple(13u, 12u, 3u, 2u));
  EXPECT_EQ(back.parent_number, ~0ULL);
  EXPECT_EQ(back.files_head, nullptr);
}

TEST(StoredRecords, FileRecordAndRunEntryEveryFieldAtItsOffset) {
  FILE_INODE f;
  f.name = "a.txt";
  f.fat_date = 0x0021;
  f.fat_time = 0x0842;
  f.name_size = 6;
  f.mark_state = 1;
  f.record_flags = 0x55;
  f.verify_result = 2;
  f.own_number = 0xDEADBEEF;
  f.write_time = 0x0102030405060708ULL;
  f.data_size = 0x1122334455667788ULL;
  f.record_lba = 0x99AABBCCDDEEFF00ULL;
  f.parent_number = 0x0F0E0D0C0B0A0908ULL;
  f.next_in_dir = f.next_pending_file = &f;
  const auto b = FileInodeToBytes(f);
  ASSERT_EQ(b.size(), 68u);
  ExpectFields(b, {{4, 2, 0x0021},       {6, 2, 0x0842},        {8, 4, 6},           {12, 4, 1},
                   {16, 4, 0x55},        {20, 4, 2},            {24, 4, 0xDEADBEEF}, {28, 8, f.write_time},
                   {36, 8, f.data_size}, {44, 8, f.record_lba}, {52, 8, f.parent_number}});
  FILE_INODE back;
  ASSERT_TRUE(FileInodeFromBytes(b, back));
  EXPECT_EQ(FileInodeToBytes(back), b);

  const auto rb = RunEntryToBytes(RUN_ENTRY{0x10, 0x20, -5, 0x40});
  ExpectFields(rb, {{0, 8, 0x10}, {8, 8, 0x20}, {16, 8, static_cast<std::uint64_t>(-5)}, {24, 8, 0x40}});
  RUN_ENTRY eb;
  ASSERT_TRUE(RunEntryFromBytes(rb, eb));
  EXPECT_EQ(eb.lcn_delta, -5);
}

// ---- Volume-relative reads ----------------------------------------------------

class VolumeReadTest : public RetrovaTest {
 protected:
  // An image whose every sector starts with its own LBA.
  void MakeImage(std::uint64_t sectors) {
    std::vector<std::uint8_t> bytes(sectors * 512, 0);
    for (std::uint64_t s = 0; s < sectors; ++s)
      for (int i = 0; i < 8; ++i) bytes[s * 512 + i] = static_cast<std::uint8_t>(s >> (8 * i));
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), WriteFile("vol.img", bytes).string()), 1);
    drive = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0));
  }
  static std::uint64_t LbaOf(std::span<const std::uint8_t> sector) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(sector[i]) << (8 * i);
    return v;
  }
  PHYDRIVE_INFO* drive = nullptr;
};

TEST_F(VolumeReadTest, ClustersAndVolumeSectorsMapToTheRightSectors) {
  MakeImage(200);
  LOGDRIVE_INFO vol;
  vol.start_lba = 63;
  vol.sectors_per_cluster = 4;
  vol.bytes_per_cluster = 2048;
  vol.data_lba = 100;
  std::vector<std::uint8_t> buf(2048, 0xEE);
  ASSERT_EQ(ReadFatCluster(ctx(), *drive, vol, 2, buf), 1);
  EXPECT_EQ(LbaOf(buf), 100u);
  ASSERT_EQ(ReadFatCluster(ctx(), *drive, vol, 3, buf), 1);
  EXPECT_EQ(LbaOf(buf), 104u);
  EXPECT_EQ(LbaOf(std::span(buf).subspan(1536)), 107u) << "a whole cluster is read";
  ASSERT_EQ(ReadCluster(ctx(), *drive, vol, 0, buf), 1);
  EXPECT_EQ(LbaOf(buf), 63u) << "cluster 0 is the volume's boot record";
  EXPECT_EQ(ReadFatCluster(ctx(), *drive, vol, 1, buf), 0) << "no cluster 1 in the data area";
  std::vector<std::uint8_t> small(1024);
  EXPECT_EQ(ReadCluster(ctx(), *drive, vol, 0, small), 0) << "a cluster never overruns the buffer";
  EXPECT_EQ(ReadCluster(ctx(), *drive, vol, UINT64_MAX / 4, buf), 0) << "a cluster whose sector would wrap";

  // Volume sectors count from the volume's start and never overrun the buffer.
  std::vector<std::uint8_t> two(1024, 0xEE);
  EXPECT_EQ(ReadVolumeSectors(ctx(), *drive, vol, 1, 3, two), 0);
  EXPECT_EQ(two[0], 0xEE) << "nothing read";
  ASSERT_EQ(ReadVolumeSectors(ctx(), *drive, vol, 1, 2, two), 1);
  EXPECT_EQ(LbaOf(two), 64u);
  EXPECT_EQ(LbaOf(std::span(two).subspan(512)), 65u);
}

TEST_F(VolumeReadTest, FatClusterOffsetIsComputedIn64Bits) {
  // Cluster 0x02000003 with 128 sectors per cluster lies 2^32 + 128 sectors into the data area.
  LOGDRIVE_INFO vol;
  vol.sectors_per_cluster = 128;
  vol.bytes_per_cluster = 65536;
  vol.data_lba = 0;
  const std::uint64_t lba = (1ULL << 32) + 128;
  OpenMainWindow();
  ASSERT_EQ(AddImageFile(ctx(), MakeSparseFile("big.img", lba * 512 + 65536).string()), 1);
  auto* big = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0));
  ASSERT_EQ(WriteSectors(*big, lba, std::vector<std::uint8_t>(512, 0xA5)), 1);
  std::vector<std::uint8_t> buf(65536);
  ASSERT_EQ(ReadFatCluster(ctx(), *big, vol, 0x02000003u, buf), 1);
  EXPECT_EQ(buf[0], 0xA5) << "a 32-bit product would have read sector 128";
}
