// The partition search end to end over the committed fixture images (see
// tests/fixtures/README.md). Each logical-drive list is checked against two
// things: the partition table as The Sleuth Kit's mmls reads it (every volume
// it lists appears at its start, with its type and size), and the rows the
// search itself adds beyond a partition table: the "EXTD" row at each EBR
// reached through an extended chain, a backup boot record met away from a
// backup position (mounted as a volume of its own), volumes found by their
// boot records alone.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "disk/phydrive.h"
#include "platform/controls.h"
#include "platform/window.h"
#include "res/ids.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

constexpr std::int64_t kCyl = 255 * 63;  // sectors per cylinder of an image (255 heads, 63 sectors)

constexpr std::int64_t kMounted = 1;        // from the volume's own boot record
constexpr std::int64_t kFromBackup = 0x43;  // from a backup boot record at a backup position
constexpr std::int64_t kBuilt = 0;          // from the partition entry alone

struct Row {
  std::int64_t lba = 0;
  std::uint32_t fs_type = 0;
  std::string name;  // fs_name without its padding
  std::int64_t total = 0;
  std::int64_t flags = 0;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << "{lba " << r.lba << ", fs_type " << r.fs_type << ", \"" << r.name << "\", total " << r.total
            << ", mount_flags 0x" << std::hex << r.flags << std::dec << "}";
}

bool operator==(const Row& a, const Row& b) {
  return a.lba == b.lba && a.fs_type == b.fs_type && a.name == b.name && a.total == b.total && a.flags == b.flags;
}

// One volume of an mmls listing (tables, the extended container and gaps are
// not volumes).
struct MmlsVolume {
  std::int64_t start = 0, length = 0;
  int type = 0;  // partition type byte, from "(0x0c)"
};

std::vector<MmlsVolume> ParseMmls(const std::string& text) {
  std::vector<MmlsVolume> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::string slot, group;
    long long start = 0, end = 0, length = 0;
    if (!(f >> slot >> group >> start >> end >> length)) continue;
    if (slot.empty() || slot.back() != ':' || group == "Meta" || group.find('-') == 0) continue;
    const auto open = line.rfind("(0x");
    if (open == std::string::npos) continue;
    out.push_back({start, length, static_cast<int>(std::stoi(line.substr(open + 1), nullptr, 16))});
  }
  return out;
}

// What a volume of the partition table becomes when it is listed: its file
// system from the type byte, and its size as the boot record states it (an
// NTFS volume leaves its last sector, the backup, out of its own count).
Row RowForPartition(const MmlsVolume& v, std::int64_t flags) {
  Row r{v.start, 0, "", v.length, flags};
  switch (v.type) {
    case 0x01: r.fs_type = 1, r.name = "FAT12"; break;
    case 0x04: case 0x06: case 0x0E: r.fs_type = 2, r.name = "FAT16"; break;
    case 0x0B: case 0x0C: r.fs_type = 3, r.name = "FAT32"; break;
    case 0x07: r.fs_type = 4, r.name = "NTFS", r.total = v.length - 1; break;
    default: ADD_FAILURE() << "no expectation for partition type " << v.type;
  }
  return r;
}

Row Extd(std::int64_t lba, std::int64_t total) { return {lba, 6, "EXTD", total, kBuilt}; }

std::string Trimmed(const char* s, std::size_t n) {
  std::string out(s, strnlen(s, n));
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string SizeText(std::int64_t total) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f GB", static_cast<double>(total) / 2097152.0);
  return buf;
}

class FixtureVolumesTest : public RetrovaTest {
 protected:
  // Opens the image, runs "Scan Physical Drive" on it and reads back the list.
  std::vector<Row> Search(const std::string& image) {
    OpenMainWindow();
    EXPECT_EQ(AddImageFile(ctx(), Fixture(image + ".img").string()), 1);
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, 0, HitPart::Label);
    DrainQueue();
    return Rescan();
  }

  std::vector<Row> Rescan() {
    PostCommand(ctx().main_dlg, IDM_SCAN_PHYSICAL);
    DrainQueue();
    std::vector<Row> rows;
    const int n = ListView_GetItemCount(ctx().log_list);
    for (int i = 0; i < n; ++i) {
      const auto* d = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx().log_list, i));
      if (d == nullptr) {
        ADD_FAILURE() << "row " << i << " has no record";
        continue;
      }
      // What the row shows is what its record holds.
      EXPECT_EQ(ListView_GetItemText(ctx().log_list, i, 0), std::to_string(d->start_lba)) << "row " << i;
      EXPECT_EQ(ListView_GetItemText(ctx().log_list, i, 1), std::string(d->fs_name)) << "row " << i;
      EXPECT_EQ(ListView_GetItemText(ctx().log_list, i, 2), SizeText(d->total_sectors)) << "row " << i;
      rows.push_back({d->start_lba, d->fs_type, Trimmed(d->fs_name, sizeof d->fs_name), d->total_sectors,
                      d->mount_flags});
    }
    return rows;
  }

  // The list must hold exactly: each volume of the image's mmls listing at
  // its start (mount_flags as given in `flags`, default mounted; none for a
  // start in `absent`), plus `extra`, in ascending start order.
  void ExpectVolumes(const std::string& image, const std::vector<Row>& extra,
                     const std::map<std::int64_t, std::int64_t>& flags = {},
                     const std::set<std::int64_t>& absent = {}) {
    const auto got = Search(image);
    std::map<std::int64_t, Row> want;
    for (const auto& v : ParseMmls(FixtureText(image + ".mmls.txt"))) {
      if (absent.count(v.start)) continue;
      const auto f = flags.find(v.start);
      want[v.start] = RowForPartition(v, f == flags.end() ? kMounted : f->second);
    }
    for (const auto& r : extra) {
      EXPECT_FALSE(want.count(r.lba)) << image << ": extra row at a partition's start " << r.lba;
      want[r.lba] = r;
    }

    for (std::size_t i = 1; i < got.size(); ++i)
      EXPECT_LT(got[i - 1].lba, got[i].lba) << image << ": rows " << i - 1 << " and " << i << " out of order";
    std::set<std::int64_t> seen;
    for (const auto& r : got) {
      seen.insert(r.lba);
      const auto w = want.find(r.lba);
      if (w == want.end()) {
        ADD_FAILURE() << image << ": unexpected row " << r;
      } else {
        EXPECT_EQ(r, w->second) << image << ": row at " << r.lba;
      }
    }
    for (const auto& [lba, r] : want)
      if (!seen.count(lba)) ADD_FAILURE() << image << ": missing row " << r;
  }
};

}  // namespace

// Cylinder-aligned MBR: FAT32 at 63, then an extended partition from cylinder
// 5 whose chain holds an NTFS (EBR at 80325) and a FAT32 (EBR at 96390). The
// chain walked from the MBR lists each EBR itself, built from the entry that
// led to it; the backups (FAT32 at +6, NTFS on each cylinder's last sector)
// map back to listed volumes. An EBR met by the scan passes its link start
// unchanged (16065: inside the first FAT32, a zero sector), which ends there.
TEST_F(FixtureVolumesTest, LegacyLayoutListsEachVolumeOnceAndEachEbrOfTheChain) {
  ExpectVolumes("legacy", {Extd(5 * kCyl, 6 * kCyl), Extd(6 * kCyl, 5 * kCyl)});
  // The list is emptied at the start of a search: a second one gives the same.
  const auto first = Rescan();
  EXPECT_EQ(Rescan(), first);
}

// sfdisk's 1 MiB-aligned layout: the start sectors in its CHS fields (33)
// fail the table test, so the volumes come from their boot records. Neither
// backup sits at a backup position, so each is mounted as a volume of its own:
// the FAT32's at 2048 + 6, the NTFS's on the disk's last sector.
TEST_F(FixtureVolumesTest, AlignedLayoutIsFoundByBootRecordsAndListsOffPositionBackups) {
  ExpectVolumes("modern", {{2054, 3, "FAT32", 69632, kMounted}, {92159, 4, "NTFS", 18431, kMounted}});
}

// The legacy disk with its MBR wiped: the primary FAT32 is found by its boot
// record, the logical volumes by the EBRs the scan meets (a table away from
// LBA 0 offers its entries at the EBR's LBA + start). No chain is entered
// from the start of the extended partition, so there are no "EXTD" rows.
TEST_F(FixtureVolumesTest, WipedMbrStillYieldsEveryVolume) {
  ExpectVolumes("zeroed_mbr", {{63, 3, "FAT32", 80262, kMounted},
                               {5 * kCyl + 63, 4, "NTFS", 16001, kMounted},
                               {6 * kCyl + 63, 3, "FAT32", 80262, kMounted}});
}

// A damaged first sector: the entry's backup probe finds the copy on the
// volume's last sector (the last of cylinder 0) or at +6, and the volume is
// mounted from it at the start the backup maps back to.
TEST_F(FixtureVolumesTest, NtfsWithDamagedBootRecordIsMountedFromItsBackup) {
  ExpectVolumes("ntfs_backup", {}, {{63, kFromBackup}});
}

TEST_F(FixtureVolumesTest, Fat32WithDamagedBootRecordIsMountedFromItsBackup) {
  ExpectVolumes("fat32_backup", {}, {{63, kFromBackup}});
}

// Boot record and backup both gone: the records come from the entries alone
// (an NTFS one counts the entry's sectors less the backup's).
TEST_F(FixtureVolumesTest, VolumesWithoutAnyBootRecordAreBuiltFromTheirEntries) {
  ExpectVolumes("entry_only", {}, {{63, kBuilt}, {5 * kCyl, kBuilt}});
}

TEST_F(FixtureVolumesTest, Fat12AndFat16AreListed) { ExpectVolumes("fat12_fat16", {}); }

// EBRs on cylinders 1, 2 and 3; the third links back to the second. The walk
// ends; each EBR gets its row once (built from its leading entry), and the
// third EBR's link, offered as a volume at 64260 (the end of the disk), is not
// a volume.
TEST_F(FixtureVolumesTest, LoopingExtendedChainEnds) {
  ExpectVolumes("ebr_loop", {Extd(kCyl, 3 * kCyl), Extd(2 * kCyl, kCyl), Extd(3 * kCyl, kCyl)});
}

// "MSWIN4.0" is one digit away from an accepted name: the FAT32 at 63 gets no
// row, neither from its boot record, nor its backup, nor its entry. The FAT16
// beside it ("MSWIN4.1") is listed.
TEST_F(FixtureVolumesTest, UnacceptedOemNameYieldsNoRowAtAll) {
  ExpectVolumes("oem_name", {}, {}, {63});
}

TEST_F(FixtureVolumesTest, DemoImageListsItsTwoVolumes) { ExpectVolumes("demo", {}); }
