// The partition search end to end over the committed fixture images (layouts
// and what each exercises: tests/fixtures/README.md), checked against mmls plus
// the rows the search adds beyond a table ("EXTD" per chained EBR, off-position
// backups, volumes found by boot records alone).
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/controls.h"
#include "platform/window.h"
#include "res/ids.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

constexpr std::int64_t kCyl = 255 * 63;

constexpr std::int64_t kMounted = 1;        // from the volume's own boot record
constexpr std::int64_t kFromBackup = 0x43;  // from a backup boot record at a backup position
constexpr std::int64_t kBuilt = 0;          // from the partition entry alone
constexpr std::int64_t kAbsent = -1;        // an mmls volume that must get no row

struct Row {
  std::int64_t lba = 0;
  std::uint32_t fs_type = 0;
  std::string name;  // fs_name without its padding
  std::int64_t total = 0, flags = 0;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << "{lba " << r.lba << ", fs_type " << r.fs_type << ", \"" << r.name << "\", total " << r.total
            << ", mount_flags 0x" << std::hex << r.flags << std::dec << "}";
}

// The volumes of an mmls listing (tables, extended containers and gaps are
// not), as rows: file system from the type byte; an NTFS volume leaves its
// last sector, the backup, out of its own count.
std::map<std::int64_t, Row> MmlsRows(const std::string& text, const std::map<std::int64_t, std::int64_t>& flags) {
  std::map<std::int64_t, Row> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    std::string slot, group;
    long long start = 0, end = 0, length = 0;
    const auto open = line.rfind("(0x");
    if (!(f >> slot >> group >> start >> end >> length) || slot.back() != ':' || group == "Meta" ||
        group.find('-') == 0 || open == std::string::npos)
      continue;
    const auto flag = flags.find(start);
    Row r{start, 0, "", length, flag == flags.end() ? kMounted : flag->second};
    switch (std::stoi(line.substr(open + 1), nullptr, 16)) {
      case 0x01: r.fs_type = 1, r.name = "FAT12"; break;
      case 0x04: case 0x06: case 0x0E: r.fs_type = 2, r.name = "FAT16"; break;
      case 0x0B: case 0x0C: r.fs_type = 3, r.name = "FAT32"; break;
      case 0x07: r.fs_type = 4, r.name = "NTFS", r.total = length - 1; break;
      default: ADD_FAILURE() << "no expectation for " << line;
    }
    if (r.flags != kAbsent) out[start] = r;
  }
  return out;
}

Row Extd(std::int64_t lba, std::int64_t total) { return {lba, 6, "EXTD", total, kBuilt}; }

class FixtureVolumesTest : public RetrovaTest {
 protected:
  std::vector<Row> Rescan() {
    PostCommand(ctx().main_dlg, IDM_SCAN_PHYSICAL);
    DrainQueue();
    std::vector<Row> rows;
    for (int i = 0; i < ListView_GetItemCount(ctx().log_list); ++i) {
      const auto* d = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx().log_list, i));
      char size[64];
      std::snprintf(size, sizeof size, "%.2f GB", static_cast<double>(d->total_sectors) / 2097152.0);
      EXPECT_EQ(ListView_GetItemText(ctx().log_list, i, 0), std::to_string(d->start_lba)) << "row " << i;
      EXPECT_EQ(ListView_GetItemText(ctx().log_list, i, 1), std::string(d->fs_name)) << "row " << i;
      EXPECT_EQ(ListView_GetItemText(ctx().log_list, i, 2), size) << "row " << i;
      std::string name(d->fs_name, strnlen(d->fs_name, sizeof d->fs_name));
      name.erase(name.find_last_not_of(' ') + 1);
      rows.push_back({d->start_lba, d->fs_type, name, d->total_sectors, d->mount_flags});
    }
    return rows;
  }

  // The list must be exactly the mmls volumes (mount_flags from `flags`,
  // default kMounted) plus `extra`, in ascending start order, and read
  // nothing it cannot.
  void ExpectVolumes(const std::string& image, const std::vector<Row>& extra,
                     const std::map<std::int64_t, std::int64_t>& flags = {}) {
    OpenMainWindow();
    EXPECT_EQ(AddImageFile(ctx(), Fixture(image + ".img").string()), 1);
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, 0, HitPart::Label);
    DrainQueue();
    const std::vector<Row> got = Rescan();
    std::map<std::int64_t, Row> want = MmlsRows(FixtureText(image + ".mmls.txt"), flags);
    for (const auto& r : extra) {
      EXPECT_FALSE(want.count(r.lba)) << image << ": extra row at a partition's start " << r.lba;
      want[r.lba] = r;
    }
    std::vector<Row> want_rows;
    for (const auto& [lba, r] : want) want_rows.push_back(r);
    EXPECT_EQ(got, want_rows) << image;
    EXPECT_EQ(static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0))->read_errors, 0u) << image;
  }
};

}  // namespace

TEST_F(FixtureVolumesTest, LegacyLayoutListsEachVolumeOnceAndEachEbrOfTheChain) {
  ExpectVolumes("legacy", {Extd(5 * kCyl, 6 * kCyl), Extd(6 * kCyl, 5 * kCyl)});
  const auto first = Rescan();
  EXPECT_EQ(Rescan(), first) << "the list is emptied at the start of a search";
}

TEST_F(FixtureVolumesTest, AlignedLayoutIsFoundByBootRecordsAndListsOffPositionBackups) {
  ExpectVolumes("modern", {{2054, 3, "FAT32", 69632, kMounted}, {92159, 4, "NTFS", 18431, kMounted}});
}

TEST_F(FixtureVolumesTest, WipedMbrStillYieldsEveryVolume) {
  ExpectVolumes("zeroed_mbr", {{63, 3, "FAT32", 80262, kMounted},
                               {5 * kCyl + 63, 4, "NTFS", 16001, kMounted},
                               {6 * kCyl + 63, 3, "FAT32", 80262, kMounted}});
}

TEST_F(FixtureVolumesTest, NtfsWithDamagedBootRecordIsMountedFromItsBackup) {
  ExpectVolumes("ntfs_backup", {}, {{63, kFromBackup}});
}

TEST_F(FixtureVolumesTest, Fat32WithDamagedBootRecordIsMountedFromItsBackup) {
  ExpectVolumes("fat32_backup", {}, {{63, kFromBackup}});
}

TEST_F(FixtureVolumesTest, VolumesWithoutAnyBootRecordAreBuiltFromTheirEntries) {
  ExpectVolumes("entry_only", {}, {{63, kBuilt}, {5 * kCyl, kBuilt}});
}

TEST_F(FixtureVolumesTest, Fat12AndFat16AreListed) { ExpectVolumes("fat12_fat16", {}); }

TEST_F(FixtureVolumesTest, LoopingExtendedChainEnds) {
  ExpectVolumes("ebr_loop", {Extd(kCyl, 3 * kCyl), Extd(2 * kCyl, kCyl), Extd(3 * kCyl, kCyl)});
}

TEST_F(FixtureVolumesTest, UnacceptedOemNameYieldsNoRowAtAll) { ExpectVolumes("oem_name", {}, {{63, kAbsent}}); }

TEST_F(FixtureVolumesTest, DemoImageListsItsTwoVolumes) { ExpectVolumes("demo", {}); }
