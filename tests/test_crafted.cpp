// Crafted volumes, one table: each case is a fuzz_copy input built with the
// fuzz targets' own volume builders (fuzz/fuzz_volumes.h), scanned as the
// operator would (fast, then slow where the case says) and copied into a
// folder that already holds the operator's files and links
// (fuzz/fuzz_sandbox.h). Every case must end, within a few seconds, with
// nothing written outside the folder and nothing there before changed.
//
// Covered elsewhere, not repeated here: EBR chains that loop or run on
// (test_partition), FAT directory loops and cycles, deep and cross-linked
// nesting (test_fat_scan), FAT file chains that loop or leave the volume
// (test_copy FatChainTest), names with "/" and ".." set on scanned records
// (test_copy), NTFS runs past the volume and $MFT record counts bounded by
// the run list (test_ntfs_copy, test_ntfs_scan), saved-scan counts near 2^64
// (test_savescan).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <iterator>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fuzz/fuzz_sandbox.h"
#include "fuzz/fuzz_volumes.h"
#include "platform/bytes.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"
#include "volume/mount.h"
#include "volume/partition.h"
#include "volume/search.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint8_t kNtfs = 1, kFlat = 2, kSlowToo = 4;  // fuzz_copy's mode bits
constexpr std::uint32_t kEoc = 0x0FFFFFFF;
constexpr std::uint16_t kDate2020 = ((2020 - 1980) << 9) | (1 << 5) | 1;

// A FAT32 volume of 512-byte clusters as fuzz_fat reads it: a header, FAT 1, the data area.
class FatInput {
 public:
  explicit FatInput(std::uint32_t clusters = 64) : clusters_(clusters), fat_(clusters + 2, 0), data_(clusters * 512ull) {
    fat_[0] = 0x0FFFFFF8;
    fat_[1] = kEoc;
    fat_[2] = kEoc;
  }
  FatInput& Fat(std::uint32_t c, std::uint32_t next) {
    fat_.at(c) = next;
    return *this;
  }
  FatInput& Entry(std::uint32_t c, std::size_t slot, const char* name11, std::uint8_t attr, std::uint32_t first,
                  std::uint32_t size = 0) {
    const std::span<std::uint8_t> e = Slot(c, slot);
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    for (std::size_t at : {16, 18, 24}) le::Write<std::uint16_t>(e, at, kDate2020);
    le::Write<std::uint16_t>(e, 20, static_cast<std::uint16_t>(first >> 16));
    le::Write<std::uint16_t>(e, 26, static_cast<std::uint16_t>(first));
    le::Write<std::uint32_t>(e, 28, size);
    return *this;
  }
  // The long name's entries from `slot` on, then its short entry.
  FatInput& Named(std::uint32_t c, std::size_t slot, const std::string& name, const char* short11, std::uint8_t attr,
                  std::uint32_t first, std::uint32_t size = 0) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(short11[i]));
    std::vector<std::uint16_t> units(name.begin(), name.end());
    units.push_back(0);
    while (units.size() % 13) units.push_back(0xFFFF);
    const std::size_t parts = units.size() / 13;
    for (std::size_t p = 0; p < parts; ++p) {  // the last part first
      const std::size_t part = parts - 1 - p;
      const std::span<std::uint8_t> e = Slot(c, slot + p);
      e[0] = static_cast<std::uint8_t>(part + 1 + (part + 1 == parts ? 0x40 : 0));
      e[11] = 0x0F;
      e[13] = sum;
      static constexpr std::array<std::size_t, 13> kAt = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
      for (std::size_t k = 0; k < 13; ++k) le::Write<std::uint16_t>(e, kAt[k], units[part * 13 + k]);
    }
    return Entry(c, slot + parts, short11, attr, first, size);
  }
  std::vector<std::uint8_t> Input(std::uint8_t mode) const {
    std::vector<std::uint8_t> in = {mode, 0};  // fuzz_copy's mode, then fuzz_fat's header: one sector a cluster
    in.push_back(static_cast<std::uint8_t>(clusters_ - 16));
    in.push_back(static_cast<std::uint8_t>((clusters_ - 16) >> 8));
    for (const std::uint8_t b : {2, 0, 0, 0, 0}) in.push_back(b);  // root cluster 2
    const std::size_t fat_bytes = ((clusters_ + 2) * 4 + 511) / 512 * 512;
    std::vector<std::uint8_t> fat(fat_bytes);
    for (std::size_t i = 0; i < fat_.size(); ++i) le::Write<std::uint32_t>(fat, 4 * i, fat_[i]);
    in.insert(in.end(), fat.begin(), fat.end());
    in.insert(in.end(), data_.begin(), data_.end());
    return in;
  }

 private:
  std::span<std::uint8_t> Slot(std::uint32_t c, std::size_t slot) {
    return std::span<std::uint8_t>(data_).subspan((c - 2) * 512ull + slot * 32, 32);
  }
  std::uint32_t clusters_;
  std::vector<std::uint32_t> fat_;
  std::vector<std::uint8_t> data_;
};

// A FAT32 volume with the input's own boot record (fuzz_fat's header bit 2):
// 2 reserved sectors, FATs of one sector at 2 and 3, data from 4; the boot
// record then says what the case claims.
std::vector<std::uint8_t> RawFat(std::uint32_t total_sectors, std::uint32_t fat_sectors, std::uint8_t mode,
                                 const std::function<void(std::span<std::uint8_t> fat, std::span<std::uint8_t> data)>& fill) {
  std::vector<std::uint8_t> img(64 * 512);
  const std::span<std::uint8_t> b(img);
  b[0] = 0xEB;
  b[1] = 0x58;
  b[2] = 0x90;
  std::memcpy(&b[3], "MSWIN4.1", 8);
  le::Write<std::uint16_t>(b, 11, 512);
  b[13] = 1;
  le::Write<std::uint16_t>(b, 14, 2);
  b[16] = 2;
  b[21] = 0xF8;
  le::Write<std::uint32_t>(b, 32, total_sectors);
  le::Write<std::uint32_t>(b, 36, fat_sectors);
  le::Write<std::uint32_t>(b, 44, 2);
  le::Write<std::uint16_t>(b, 50, 6);
  std::memcpy(&b[82], "FAT32   ", 8);
  le::Write<std::uint16_t>(b, 510, 0xAA55);
  fill(b.subspan(2 * 512, 512), b.subspan(4 * 512));
  std::memcpy(&img[3 * 512], &img[2 * 512], 512);
  std::vector<std::uint8_t> in = {mode, 4, 0, 0, 0, 0, 0, 0, 0};
  in.insert(in.end(), img.begin(), img.end());
  return in;
}

// The demo disk's NTFS $MFT (70 records; Docs is 64, Readme.txt 65, Docs'
// "Project plan.txt" 66 and "Small note.txt" 67, the deleted "Deleted
// memo.txt" 69) as fuzz_ntfs_scan's template volume takes it, edited.
class NtfsInput {
 public:
  NtfsInput() {
    std::ifstream f(Fixture("demo.img"), std::ios::binary);
    f.seekg((80325 + 32) * 512);
    mft_.resize(70 * 1024);
    f.read(reinterpret_cast<char*>(mft_.data()), static_cast<std::streamsize>(mft_.size()));
  }
  // Renames every $FILE_NAME of record n; the name may not be longer than the shortest one there.
  NtfsInput& Name(std::uint64_t n, const std::string& name) {
    return Edit(n, [&](std::span<std::uint8_t> rec) {
      ForEachAttribute(rec, 0x30, [&](std::span<std::uint8_t> a) {
        const std::span<std::uint8_t> v = a.subspan(le::U16(a, 20));
        EXPECT_LE(name.size(), v[64]) << "record " << n;
        v[64] = static_cast<std::uint8_t>(name.size());
        for (std::size_t i = 0; i < name.size(); ++i) le::Write<std::uint16_t>(v, 66 + 2 * i, static_cast<std::uint8_t>(name[i]));
      });
    });
  }
  NtfsInput& Parent(std::uint64_t n, std::uint64_t parent) {
    return Edit(n, [&](std::span<std::uint8_t> rec) {
      ForEachAttribute(rec, 0x30, [&](std::span<std::uint8_t> a) {
        le::Write<std::uint32_t>(a.subspan(le::U16(a, 20)), 0, static_cast<std::uint32_t>(parent));
      });
    });
  }
  // The sizes of record n's non-resident unnamed data (allocated, data, initialized).
  NtfsInput& DataSize(std::uint64_t n, std::uint64_t size) {
    return Edit(n, [&](std::span<std::uint8_t> rec) {
      ForEachAttribute(rec, 0x80, [&](std::span<std::uint8_t> a) {
        ASSERT_NE(a[8], 0) << "record " << n << " has resident data";
        for (std::size_t at : {40, 48, 56}) le::Write<std::uint64_t>(a, at, size);
      });
    });
  }
  // Record n's data run list, replaced (it must fit where the old one was).
  NtfsInput& Runs(std::uint64_t n, std::vector<std::uint8_t> pairs) {
    return Edit(n, [&](std::span<std::uint8_t> rec) {
      ForEachAttribute(rec, 0x80, [&](std::span<std::uint8_t> a) {
        const std::size_t at = le::U16(a, 32);
        ASSERT_LE(at + pairs.size(), a.size());
        std::copy(pairs.begin(), pairs.end(), a.begin() + static_cast<std::ptrdiff_t>(at));
      });
    });
  }
  std::vector<std::uint8_t> Input(std::uint8_t mode) const {
    // Eight sectors a cluster, the volume 2047 sectors longer than the $MFT's end.
    std::vector<std::uint8_t> in = {static_cast<std::uint8_t>(mode | kNtfs), 3, 0xFF, 0x07, 0, 0, 0, 0, 0};
    in.insert(in.end(), mft_.begin(), mft_.end());
    return in;
  }

 private:
  // Record n with its update sequence undone, edited, then sealed again.
  NtfsInput& Edit(std::uint64_t n, const std::function<void(std::span<std::uint8_t>)>& edit) {
    const std::span<std::uint8_t> rec = std::span<std::uint8_t>(mft_).subspan(n * 1024, 1024);
    const std::size_t usa = le::U16(rec, 4);
    for (std::size_t s = 0; s < 2; ++s) std::memcpy(&rec[s * 512 + 510], &rec[usa + 2 + 2 * s], 2);
    edit(rec);
    for (std::size_t s = 0; s < 2; ++s) {
      std::memcpy(&rec[usa + 2 + 2 * s], &rec[s * 512 + 510], 2);
      std::memcpy(&rec[s * 512 + 510], &rec[usa], 2);
    }
    return *this;
  }
  static void ForEachAttribute(std::span<std::uint8_t> rec, std::uint32_t type,
                               const std::function<void(std::span<std::uint8_t>)>& f) {
    for (std::size_t o = le::U16(rec, 20); o + 8 <= rec.size() && le::U32(rec, o) != 0xFFFFFFFF;) {
      const std::uint32_t len = le::U32(rec, o + 4);
      if (len == 0 || len > rec.size() - o) return;
      if (le::U32(rec, o) == type) f(rec.subspan(o, len));
      o += len;
    }
  }
  std::vector<std::uint8_t> mft_;
};

struct CraftedCase {
  const char* name;
  std::function<std::vector<std::uint8_t>()> input;  // fuzz_copy's: a mode byte, then the volume
  bool scans = true;                    // a tree (a Root at least) to copy from comes out
  std::size_t min_files = 0;            // plain files the copy adds, at least
  std::uint64_t max_bytes = 1u << 20;   // the bytes they take on disk, at most
  std::vector<std::string> copied = {}; // names of files the copy must add (anywhere in the folder)
};

const CraftedCase kCases[] = {
    {"fat_self_parent_directories",
     [] {
       // SUB names itself as "." and "..", and holds SELF (itself) and UP (the root); the root holds ME (itself).
       return FatInput()
           .Entry(2, 0, "SUB        ", 0x10, 4)
           .Entry(2, 1, "ME         ", 0x10, 2)
           .Entry(2, 2, "ROOTFILETXT", 0x20, 5, 10)
           .Fat(4, kEoc)
           .Entry(4, 0, ".          ", 0x10, 4)
           .Entry(4, 1, "..         ", 0x10, 4)
           .Entry(4, 2, "SELF       ", 0x10, 4)
           .Entry(4, 3, "UP         ", 0x10, 2)
           .Entry(4, 4, "INNER   TXT", 0x20, 5, 10)
           .Fat(5, kEoc)
           .Input(kSlowToo);
     },
     true, 2, 1u << 20, {"ROOTFILE.TXT", "INNER.TXT"}},
    {"fat_directory_and_file_chains_loop",
     [] {
       // The root's chain 2 -> 3 -> 2, SUB's 4 -> 4; BIG.BIN's 6 -> 7 -> 6 under a 200000-byte size.
       return FatInput()
           .Fat(2, 3)
           .Fat(3, 2)
           .Entry(2, 0, "SUB        ", 0x10, 4)
           .Entry(3, 0, "BIG     BIN", 0x20, 6, 200000)
           .Fat(4, 4)
           .Entry(4, 0, ".          ", 0x10, 4)
           .Entry(4, 1, "..         ", 0x10, 0)
           .Entry(4, 2, "LOOPED  TXT", 0x20, 8, 700)
           .Fat(6, 7)
           .Fat(7, 6)
           .Fat(8, 9)
           .Fat(9, 8)
           .Input(kSlowToo);
     },
     true, 1, 200000 + 700, {}},
    {"fat_long_names_that_are_paths",
     [] {
       return FatInput()
           .Named(2, 0, "..", "DOTDOT  TXT", 0x20, 5, 10)
           .Named(2, 2, ".", "DOT     TXT", 0x20, 5, 10)
           .Named(2, 4, "a/b", "AB      TXT", 0x20, 5, 10)
           .Named(2, 6, "../../../escaped", "ESCAPED TXT", 0x20, 5, 10)
           .Named(2, 9, "/", "SLASH   TXT", 0x20, 5, 10)
           .Named(2, 11, "..", "DOTDIR     ", 0x10, 4)
           .Fat(4, kEoc)
           .Entry(4, 0, ".          ", 0x10, 4)
           .Entry(4, 1, "..         ", 0x10, 0)
           .Named(4, 2, "../inside", "INSIDE  TXT", 0x20, 5, 10)
           .Fat(5, kEoc)
           .Input(0);
     },
     true, 1, 1u << 20, {}},
    {"fat_long_names_that_are_paths_flat",
     [] {
       return FatInput()
           .Named(2, 0, "..", "DOTDOT  TXT", 0x20, 5, 10)
           .Named(2, 2, "a/b", "AB      TXT", 0x20, 5, 10)
           .Named(2, 4, "../../../escaped", "ESCAPED TXT", 0x20, 5, 10)
           .Fat(5, kEoc)
           .Input(kFlat);
     },
     true, 1, 1u << 20, {}},
    {"fat_entries_and_chains_past_the_volume",
     [] {
       return FatInput()
           .Entry(2, 0, "FAR     BIN", 0x20, 0x0FFFFFF0, 4096)
           .Entry(2, 1, "FARDIR     ", 0x10, 70000)
           .Entry(2, 2, "RUNSOFF BIN", 0x20, 60, 40960)
           .Fat(60, 61)
           .Fat(61, 65)  // the volume's last cluster is 65: then 1000, outside
           .Fat(65, 1000)
           .Input(kSlowToo);
     },
     true, 0, 40960, {}},
    {"fat_boot_record_claims_four_billion_sectors",
     [] {
       // A 64-sector image whose volume claims 2^32 - 1 sectors; MANY fills
       // every cluster to the end with entries of files that claim 4 GiB.
       return RawFat(0xFFFFFFFF, 1, kSlowToo, [](std::span<std::uint8_t> fat, std::span<std::uint8_t> data) {
         le::Write<std::uint32_t>(fat, 0, 0x0FFFFFF8);
         le::Write<std::uint32_t>(fat, 4, kEoc);
         le::Write<std::uint32_t>(fat, 8, kEoc);
         auto entry = [&](std::uint32_t c, std::size_t slot, const char* name, std::uint8_t attr, std::uint32_t first,
                          std::uint32_t size) {
           const std::span<std::uint8_t> e = data.subspan((c - 2) * 512ull + slot * 32, 32);
           std::memcpy(e.data(), name, 11);
           e[11] = attr;
           le::Write<std::uint16_t>(e, 24, kDate2020);
           le::Write<std::uint16_t>(e, 26, static_cast<std::uint16_t>(first));
           le::Write<std::uint16_t>(e, 20, static_cast<std::uint16_t>(first >> 16));
           le::Write<std::uint32_t>(e, 28, size);
         };
         entry(2, 0, "MANY       ", 0x10, 4, 0);
         entry(2, 1, "HUGE    BIN", 0x20, 3, 0xFFFFFFFF);
         le::Write<std::uint32_t>(fat, 12, 0x0FFFFFEF);  // HUGE.BIN's chain leaves the volume at once
         for (std::uint32_t c = 4; c < 61; ++c) {
           le::Write<std::uint32_t>(fat, 4 * c, c + 1 < 61 ? c + 1 : kEoc);
           for (std::size_t s = 0; s < 16; ++s) {
             char name[12];
             std::snprintf(name, sizeof name, "F%02u%02zu   BIN", c, s);
             entry(c, s, name, 0x20, 3, 0xFFFFFFFF);
           }
         }
       });
     },
     // Each of the 913 files takes at most the volume's 60 clusters (its
     // chain refused, the copy reads on from its first cluster to the
     // volume's end), 64 KiB with the file system's blocks; not 4 GiB.
     true, 900, 913 * 65536, {}},
    {"fat_boot_record_claims_fats_larger_than_the_drive",
     [] {
       return RawFat(0x00FFFFFF, 0x7FFFFFFF, kSlowToo, [](std::span<std::uint8_t> fat, std::span<std::uint8_t>) {
         le::Write<std::uint32_t>(fat, 8, kEoc);
       });
     },
     true, 0, 0, {}},
    {"ntfs_directory_its_own_parent",
     [] { return NtfsInput().Parent(64, 64).Input(kSlowToo); }, true, 1, 1u << 20, {"Readme.txt"}},
    {"ntfs_directories_each_others_parent",
     [] { return NtfsInput().Parent(64, 11).Parent(11, 64).Input(kSlowToo); }, true, 1, 1u << 20, {"Readme.txt"}},
    {"ntfs_names_that_are_paths",
     [] {
       // Docs is named "..", Readme.txt "..", Small note.txt "a/b" (both its
       // names), Deleted memo.txt "" and "Project plan.txt" ".".
       return NtfsInput().Name(64, "..").Name(65, "..").Name(67, "a/b").Name(69, "").Name(66, ".").Input(0);
     },
     true, 2, 1u << 20, {"a_b"}},
    {"ntfs_names_that_are_paths_flat",
     [] { return NtfsInput().Name(65, "../../x").Name(67, "/").Input(kFlat); }, true, 2, 1u << 20, {".._.._x"}},
    {"ntfs_huge_sizes_and_runs",
     [] {
       // Project plan.txt claims 2^62 bytes in one run of 2^31 - 1 clusters;
       // the deleted Lost chapter.txt 2^40 bytes in a run from cluster 270 of 277 on.
       return NtfsInput()
           .DataSize(66, 1ull << 62)
           .Runs(66, {0x14, 0xFF, 0xFF, 0xFF, 0x7F, 0x05, 0x00})
           .DataSize(68, 1ull << 40)
           .Runs(68, {0x21, 0x40, 0x0E, 0x01, 0x00})
           .Input(kSlowToo);
     },
     true, 1, 4u << 20, {"Readme.txt"}},
};

// gtest shows a case (in failures and in ctest's test names) by its name.
void PrintTo(const CraftedCase& c, std::ostream* os) { *os << c.name; }

class CraftedVolumeTest : public RetrovaTest, public ::testing::WithParamInterface<CraftedCase> {
 protected:
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  void Run(int command) {
    PostCommand(ctx().main_dlg, static_cast<std::uint32_t>(command));
    DrainQueue();
    EXPECT_EQ(ctx().scan_running, 0);
  }
  // Whether a plain file named `name` is anywhere under dir.
  static bool Holds(const fs::path& dir, const std::string& name) {
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (e.is_regular_file() && e.path().filename() == name) return true;
    return false;
  }
};

TEST_P(CraftedVolumeTest, ScansAndCopiesEndAndStayInsideTheDestination) {
  const CraftedCase& c = GetParam();
  const auto started = std::chrono::steady_clock::now();
  const std::vector<std::uint8_t> in = c.input();
  const std::uint8_t mode = in.at(0);
  const fuzz::Volume v = fuzz::BuildVolume(std::span<const std::uint8_t>(in).subspan(1), mode & kNtfs);
  const fs::path image = WriteFile("crafted.img", v.image);
  fs::resize_file(image, v.file_size);

  OpenMainWindow();
  ASSERT_EQ(AddImageFile(ctx(), image.string()), 1);
  ClickListRow(ctx().main_dlg, IDC_PHY_LIST, ListView_GetItemCount(ctx().phy_list) - 1, HitPart::Label);
  DrainQueue();
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx().phy_list));
  ASSERT_NE(drive, nullptr);
  LOGDRIVE_INFO* vol = MountLogDrive(0, v.boot);
  ASSERT_NE(vol, nullptr);
  ASSERT_EQ(vol->fs_type, (mode & kNtfs) ? kFsNtfs : kFsFat32);
  if (!(mode & kNtfs)) FitVolumeToDrive(*vol, *drive);
  AddLOGDrive(ctx(), vol);
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  DrainQueue();

  Run(IDM_FAST_LOGICAL);
  if (mode & kSlowToo) Run(IDM_SLOW_LOGICAL);
  // Bounded by the volume, not by what its records claim.
  EXPECT_LT(TreeView_GetCount(ctx().dir_tree), 4096u);
  ASSERT_EQ(ctx().root_item != nullptr, c.scans);

  if (c.scans) {
    fuzz::Sandbox sandbox(TempDir() / "copy");
    ASSERT_TRUE(sandbox.ok() && sandbox.Prepare());
    ClickTreeItem(ctx().main_dlg, IDC_DIR_TREE, ctx().root_item, HitPart::CheckBox);
    DrainQueue();
    headless::AnswerFolder(sandbox.dest().string());
    Run((mode & kFlat) ? IDM_COPY_FLAT : IDM_COPY_DIRS);
    EXPECT_EQ(sandbox.Violation(), "");
    EXPECT_GE(sandbox.new_files(), c.min_files);
    EXPECT_LE(sandbox.new_bytes(), c.max_bytes);
    for (const std::string& name : c.copied) EXPECT_TRUE(Holds(sandbox.dest(), name)) << name;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

INSTANTIATE_TEST_SUITE_P(Crafted, CraftedVolumeTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CraftedCase>& i) { return std::string(i.param.name); });

}  // namespace
