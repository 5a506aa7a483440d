// The fast and slow FAT32 scans on the fixture volumes, against the oracle's
// listing, and on crafted damage: loops, cycles, lost and orphaned directories.
#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fat/dir_walk.h"
#include "fat/fat.h"
#include "platform/bytes.h"
#include "platform/text.h"
#include "res/ids.h"
#include "scan/logical_scan.h"
#include "scan/tree.h"
#include "test_fat_support.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

using namespace fat_test;

namespace {

// One line of the scan tree; the path is below Root ("Documents/LETTER.TXT").
struct TreeLine {
  std::string path;
  bool dir = false, in_use = false;
  std::uint64_t size = 0, own_number = 0, parent_number = 0;
};

// A directory's files, then its subdirectories, depth first.
void Collect(const AppContext& c, const TreeItem* item, std::string path, std::vector<TreeLine>& out) {
  auto line = [&](const auto& x, const std::string& name, bool dir) {
    out.push_back({path.empty() ? name : path + "/" + name, dir, (x.record_flags & kRecInUse) != 0,
                   x.data_size, x.own_number, x.parent_number});
  };
  const INODE_RECD* r = GetItemRecord(c, item);
  const FILE_INODE* f = r->files_head;
  for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir) line(*f, Latin1ToUtf8(f->name), false);
  for (const TreeItem* ch = item->first_child; ch; ch = ch->next_sibling) {
    const INODE_RECD* cr = GetItemRecord(c, ch);
    line(*cr, Latin1ToUtf8(cr->posix_name.value_or("")), true);
    Collect(c, ch, out.back().path, out);
  }
}

std::vector<TreeLine> ScanTree(const AppContext& c) {
  std::vector<TreeLine> out;
  if (c.root_item) Collect(c, c.root_item, "", out);
  return out;
}

std::map<std::string, TreeLine> ByPath(const std::vector<TreeLine>& lines) {
  std::map<std::string, TreeLine> m;
  for (const TreeLine& l : lines) m.emplace(l.path, l);
  return m;
}

// Every oracle entry is in the tree with its kind, state and (files) size.
void ExpectTreeHasOracle(const std::map<std::string, TreeLine>& tree, const std::vector<OracleLine>& oracle) {
  for (const OracleLine& o : oracle) {
    const auto it = tree.find(o.path);
    if (it == tree.end()) {
      ADD_FAILURE() << "missing: " << o.path;
      continue;
    }
    EXPECT_EQ(it->second.dir, o.dir) << o.path;
    EXPECT_EQ(it->second.in_use, !o.deleted) << o.path;
    EXPECT_TRUE(o.dir || it->second.size == o.size) << o.path << " " << it->second.size;
  }
}

}  // namespace

// A main window with an image as drive 0 and the FAT32 volume at start_lba
// as the selected row of the logical-drive list.
class FatScanTest : public RetrovaTest {
 protected:
  void OpenVolume(const std::filesystem::path& image, std::int64_t start_lba = 2048) {
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), image.string()), 1);
    const int row = ListView_GetItemCount(ctx().phy_list) - 1;
    auto* drive = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, row));
    ListView_SetItemState(ctx().phy_list, row, LVIS_SELECTED, LVIS_SELECTED);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_EQ(ReadSectors(ctx(), *drive, static_cast<std::uint64_t>(start_lba), boot), 1);
    vol_ = MountLogDrive(static_cast<std::uint64_t>(start_lba), boot);
    ASSERT_NE(vol_, nullptr);
    ListView_InsertItem(ctx().log_list, 0, "volume", 0, vol_);
    ListView_SetItemState(ctx().log_list, 0, LVIS_SELECTED, LVIS_SELECTED);
  }
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  void Scan(int command) {
    PostCommand(ctx().main_dlg, static_cast<std::uint32_t>(command));
    for (int guard = 0; guard < 100000 && DispatchNext(); ++guard) {
    }
  }
  void ExpectIdleAfterScan() {
    EXPECT_EQ(ctx().scan_running, 0);
    EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_STATUS), "Idle...");
    EXPECT_TRUE(ctx().phy_list->enabled && ctx().log_list->enabled && ctx().file_list->enabled &&
                ctx().dir_tree->enabled);
    EXPECT_TRUE(!vol_->fat1_table && !vol_->fat2_table && !vol_->cluster_map) << "the scan's tables are freed";
    EXPECT_EQ(ctx().scanned_logdrive, vol_);
    EXPECT_EQ(ctx().progress_bar->pos, 0);
    EXPECT_TRUE(Menu_FindCommand(ctx().main_dlg->menu.get(), IDM_SAVE_SCAN)->enabled);
  }

  LOGDRIVE_INFO* vol_ = nullptr;
};

TEST_F(FatScanTest, FastScanListsWhatTheOracleLists) {
  OpenVolume(Fixture("fat/basic.img"));
  Scan(IDM_FAST_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<TreeLine> lines = ScanTree(ctx());
  const auto tree = ByPath(lines);
  const std::vector<OracleLine> oracle = ReadOracle("fat/basic.fls.txt");
  ExpectTreeHasOracle(tree, oracle);
  EXPECT_EQ(lines.size(), oracle.size()) << "nothing beyond what the oracle lists";

  // Counters: Root and every directory; every file, the label included.
  const auto dirs = std::count_if(lines.begin(), lines.end(), [](const TreeLine& l) { return l.dir; });
  EXPECT_EQ(vol_->dirs_found, dirs + 1);
  EXPECT_EQ(vol_->files_found, static_cast<std::int64_t>(lines.size()) - dirs);
  for (const auto& [id, n] : {std::pair{IDC_T_FILES, vol_->files_found}, std::pair{IDC_T_DIRS, vol_->dirs_found}})
    EXPECT_EQ(GetDlgItemText(ctx().main_dlg, id), FormatThousands(static_cast<std::uint64_t>(n)));
  EXPECT_EQ(ctx().progress_bar->high, 5000);
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(255, 0, 0));

  // The root spans several clusters: its entries carry the cluster they were
  // read from, not the root's first cluster.
  std::set<std::uint64_t> root_parents;
  for (const TreeLine& l : lines)
    if (l.path.find('/') == std::string::npos) root_parents.insert(l.parent_number);
  EXPECT_GE(root_parents.size(), 3u);
  EXPECT_TRUE(root_parents.count(vol_->root_cluster));
}

TEST_F(FatScanTest, FastScanStopsAtLoopsAndCycles) {
  OpenVolume(Fixture("fat/damaged.img"));
  const auto facts = ReadFacts("fat/damaged.facts.txt");
  Scan(IDM_FAST_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<TreeLine> lines = ScanTree(ctx());
  const auto tree = ByPath(lines);

  // The loop back to LOOPDIR's first cluster ends the chain: each file once.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.path.starts_with("LOOPDIR/"); }), 40);
  // BACK names A, a directory being walked: listed, not entered. The
  // overwritten entry is a file now; the destroyed directory is empty.
  ASSERT_TRUE(tree.count("A/B/C/BACK"));
  EXPECT_EQ(tree.at("A/B/C/BACK").own_number, facts.at("a_first"));
  for (const char* p : {"A/B/C/INNER.TXT", "OVERWRIT.TXT", "LOST1/LOST2"}) EXPECT_TRUE(tree.count(p)) << p;
  for (const TreeLine& l : lines)
    EXPECT_FALSE(l.path.starts_with("A/B/C/BACK/") || l.path.starts_with("LOST1/LOST2/")) << l.path;

  // What the oracle lists as allocated is there, except below BACK, which it enters.
  std::vector<OracleLine> oracle = ReadOracle("fat/damaged.fls.txt");
  std::erase_if(oracle, [](const OracleLine& o) { return o.path.starts_with("A/B/C/BACK/"); });
  ExpectTreeHasOracle(tree, oracle);
}

TEST_F(FatScanTest, SlowScanFindsRootAndOrphanDirectoriesAndNoScanStartsInsideIt) {
  OpenVolume(Fixture("fat/damaged.img"));
  const auto facts = ReadFacts("fat/damaged.facts.txt");
  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<TreeLine> lines = ScanTree(ctx());
  const auto tree = ByPath(lines);

  // ROOTLOST's root entry is gone; its own "." and ".." still place it.
  const std::string lost_root = "ROOT" + std::to_string(facts.at("rootlost_first"));
  ASSERT_TRUE(tree.count(lost_root));
  EXPECT_EQ(tree.at(lost_root).parent_number, 0u);
  EXPECT_EQ(tree.at(lost_root + "/KEPT1.TXT").size, 700u);
  EXPECT_EQ(tree.at(lost_root + "/Kept file with a long name.txt").size, 800u);

  // LOST3's parent cluster is destroyed: an orphan, the last child of Root.
  const std::string orphan = "ORPH" + std::to_string(facts.at("lost3_first"));
  TreeItem* last = ctx().root_item->first_child;
  while (last && last->next_sibling) last = last->next_sibling;
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(GetItemRecord(ctx(), last)->posix_name, orphan);
  EXPECT_EQ(tree.at(orphan).parent_number, facts.at("lost3_first")) << "slot 0 is its own \".\" entry";
  EXPECT_EQ(tree.at(orphan + "/ORPHAN.TXT").size, 1000u);
  EXPECT_EQ(tree.at(orphan + "/Orphaned long name.txt").size, 10u);

  // A, walked from its ROOT directory: BACK is listed but not entered again.
  const std::string a = "ROOT" + std::to_string(facts.at("a_first"));
  ASSERT_TRUE(tree.count(a + "/B/C/BACK"));
  EXPECT_FALSE(tree.count(a + "/B/C/BACK/B"));
  // The looping FAT is never read: LOOPDIR's first run is its ROOT directory,
  // its later clusters start with short entries and come back as orphans.
  EXPECT_TRUE(tree.count("ROOT" + std::to_string(facts.at("loopdir_first")) + "/F00.TXT"));
  std::set<std::string> loop_files;
  for (const TreeLine& l : lines) {
    const std::string name = l.path.substr(l.path.rfind('/') + 1);
    if (name.size() == 7 && name[0] == 'F' && name.ends_with(".TXT")) loop_files.insert(name);
  }
  // An orphan is read from slot 2, like a directory's first cluster: the two
  // first files of each of the two later clusters are not seen.
  EXPECT_EQ(loop_files.size(), 40u - 2 * 2);

  // The slow scan leaves the menu enabled; its pump would dispatch these.
  headless::PostCommandAfterSteps(100, 0, IDM_FAST_LOGICAL);
  headless::PostCommandAfterSteps(200, 0, IDM_SLOW_LOGICAL);
  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  EXPECT_EQ(ScanTree(ctx()).size(), lines.size());
}

TEST_F(FatScanTest, SlowScanRebuildsTheSubdirectoriesOfTheRoot) {
  OpenVolume(Fixture("fat/basic.img"));
  Scan(IDM_FAST_LOGICAL);
  const std::vector<TreeLine> fast = ScanTree(ctx());
  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<TreeLine> slow = ScanTree(ctx());
  const auto slow_tree = ByPath(slow);

  // Each live directory of the root becomes ROOT<first cluster>; a tree that
  // is stored contiguously comes back whole.
  std::map<std::string, std::string> renamed;  // fast top-level name -> slow name
  for (const TreeLine& l : fast)
    if (l.dir && l.in_use && l.path.find('/') == std::string::npos)
      renamed[l.path] = "ROOT" + std::to_string(l.own_number);
  ASSERT_EQ(renamed.size(), 3u);
  for (const auto& [name, slow_name] : renamed) EXPECT_TRUE(slow_tree.count(slow_name)) << name;
  std::map<std::string, std::uint64_t> fast_names;
  for (const TreeLine& l : fast) {
    if (!l.dir) fast_names[l.path.substr(l.path.rfind('/') + 1)] = l.size;
    if (!l.path.starts_with("Documents/")) continue;
    const auto it = slow_tree.find(renamed["Documents"] + l.path.substr(9));
    ASSERT_TRUE(it != slow_tree.end()) << l.path;
    EXPECT_EQ(it->second.size, l.size) << l.path;
  }

  // The fragmented directories: every file the slow scan lists, in whichever
  // run it was found, is one the fast scan lists, with its size. Root's own
  // files are never found directly: its clusters come back as an orphan at best.
  std::size_t photo_files = 0;
  for (const TreeLine& l : slow) {
    if (l.dir) continue;
    EXPECT_NE(l.path.find('/'), std::string::npos) << l.path;
    const std::string name = l.path.substr(l.path.rfind('/') + 1);
    ASSERT_TRUE(fast_names.count(name)) << l.path;
    EXPECT_EQ(fast_names[name], l.size) << l.path;
    photo_files += name.starts_with("Holiday picture");
  }
  EXPECT_GE(photo_files, 10u);
  EXPECT_TRUE(slow_tree.count("ORPH" + std::to_string(vol_->root_cluster)));
}

TEST_F(FatScanTest, TerminateKeepsWhatWasFoundAndOtherFileSystemsAreNotScanned) {
  OpenVolume(Fixture("fat/basic.img"));
  Scan(IDM_FAST_LOGICAL);
  const std::size_t full = ScanTree(ctx()).size();

  // Deep inside the walk: the whole scan stops, the tree stays.
  headless::PostCommandAfterSteps(40, 0, IDM_TERMINATE_SCAN);
  Scan(IDM_FAST_LOGICAL);
  ExpectIdleAfterScan();
  const std::vector<TreeLine> part = ScanTree(ctx());
  EXPECT_GT(part.size(), 10u);
  EXPECT_LT(part.size(), full);
  const auto dirs = std::count_if(part.begin(), part.end(), [](const TreeLine& l) { return l.dir; });
  EXPECT_EQ(vol_->dirs_found, dirs + 1) << "directories in the tree are counted";

  // The slow scan, in pass 1: no ORPH directory is looked for.
  headless::PostCommandAfterSteps(30000, 0, IDM_TERMINATE_SCAN);
  Scan(IDM_SLOW_LOGICAL);
  ExpectIdleAfterScan();
  for (const TreeLine& l : ScanTree(ctx())) EXPECT_FALSE(l.path.starts_with("ORPH")) << l.path;

  ResetScanTree(ctx());
  vol_->fs_type = kFsFat16;
  Scan(IDM_FAST_LOGICAL);
  Scan(IDM_SLOW_LOGICAL);
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(ctx().scan_running, 0);
}

TEST_F(FatScanTest, FastScanGreysTheMenusWhileItRuns) {
  OpenVolume(Fixture("fat/basic.img"));
  static Menu* menu;
  static int reads_seen_greyed;
  menu = ctx().main_dlg->menu.get();
  reads_seen_greyed = 0;
  sys_SetReadFaultHook([](DevHandle, std::uint64_t, std::size_t) {
    reads_seen_greyed += !Menu_FindCommand(menu, IDM_SAVE_SCAN)->enabled;
    return ReadFault{};
  });
  Scan(IDM_FAST_LOGICAL);
  EXPECT_GT(reads_seen_greyed, 0);
  reads_seen_greyed = 0;
  Scan(IDM_SLOW_LOGICAL);
  EXPECT_EQ(reads_seen_greyed, 0) << "the slow scan leaves the menu alone";
  sys_SetReadFaultHook(nullptr);
}

// A volume written cluster by cluster in the test: 512-byte clusters, FATs
// at 32, data from 32 + 2 x fat_sectors.
class CraftedFatTest : public FatScanTest {
 protected:
  static constexpr std::uint32_t kClusters = 5000;
  static constexpr std::uint32_t kFatSectors = (kClusters + 2) * 4 / 512 + 1;
  static constexpr std::uint32_t kDataLba = 32 + 2 * kFatSectors;
  static constexpr std::uint16_t kDate2020 = ((2020 - 1980) << 9) | (1 << 5) | 1;

  CraftedFatTest() : image_((kDataLba + kClusters) * 512ull, 0) {
    std::memcpy(image_.data() + 3, "MSWIN4.1", 8);
    std::memcpy(image_.data() + 82, "FAT32   ", 8);
    image_[13] = 1;
    le::Write<std::uint16_t>(image_, 14, 32);
    le::Write<std::uint32_t>(image_, 32, kDataLba + kClusters);
    le::Write<std::uint32_t>(image_, 36, kFatSectors);
    le::Write<std::uint32_t>(image_, 44, 2);
    SetFat(2, 0x0FFFFFFF);
  }
  void SetFat(std::uint32_t c, std::uint32_t v) {
    for (std::uint32_t copy = 0; copy < 2; ++copy)
      le::Write<std::uint32_t>(image_, (32 + copy * kFatSectors) * 512ull + 4ull * c, v);
  }
  // Writes a short entry into slot s of cluster c.
  void PutEntry(std::uint32_t c, std::size_t s, const char* name11, std::uint8_t attr, std::uint32_t first,
                std::uint16_t date = kDate2020) {
    const std::size_t at = (kDataLba + (c - 2)) * 512ull + s * 32;
    std::memcpy(image_.data() + at, name11, 11);
    image_[at + 11] = attr;
    le::Write<std::uint16_t>(image_, at + 20, static_cast<std::uint16_t>(first >> 16));
    le::Write<std::uint16_t>(image_, at + 24, date);
    le::Write<std::uint16_t>(image_, at + 26, static_cast<std::uint16_t>(first & 0xFFFF));
  }
  // Root -> "D" at cluster 3 -> ...: a directory a level, each naming the next under every name given.
  void Chain(std::uint32_t levels, std::initializer_list<const char*> names) {
    PutEntry(2, 0, "D          ", 0x10, 3);
    for (std::uint32_t c = 3; c < 3 + levels; ++c) {
      SetFat(c, 0x0FFFFFFF);
      PutEntry(c, 0, ".          ", 0x10, c);
      PutEntry(c, 1, "..         ", 0x10, c == 3 ? 0 : c - 1);
      std::size_t slot = 2;
      for (const char* n : names)
        if (c + 1 < 3 + levels) PutEntry(c, slot++, n, 0x10, c + 1);
    }
  }
  void Open() { OpenVolume(WriteFile("crafted.img", image_), 0); }

  std::vector<std::uint8_t> image_;
};

TEST_F(CraftedFatTest, DeepNestingEndsAtTheDepthBound) {
  Chain(3000, {"D          "});
  Open();
  Scan(IDM_FAST_LOGICAL);
  EXPECT_EQ(ctx().scan_running, 0);
  // Opened down to the bound; the next level is listed but not opened.
  EXPECT_EQ(vol_->dirs_found, static_cast<std::int64_t>(kMaxDirDepth) + 1);
  EXPECT_EQ(vol_->files_found, 0);
  Scan(IDM_SLOW_LOGICAL);
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_EQ(GetItemRecord(ctx(), ctx().root_item->first_child)->posix_name, "ROOT3");
}

TEST_F(CraftedFatTest, CrossLinkedDirectoriesDoNotMultiplyTheWork) {
  Chain(40, {"X          ", "Y          "});  // 2^40 paths
  Open();
  for (int command : {IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL}) {
    Scan(command);
    EXPECT_EQ(ctx().scan_running, 0);
    EXPECT_LT(TreeView_GetCount(ctx().dir_tree), 4u * (kClusters + 2) + 2048);
  }
}

TEST_F(CraftedFatTest, ChainIntoTheLastClusterIsFollowed) {
  const std::uint32_t last = kClusters + 1;  // cluster_count + 1
  SetFat(2, last);
  SetFat(last, 0x0FFFFFFF);
  PutEntry(2, 0, "FIRST   TXT", 0x20, 0);
  PutEntry(last, 0, "LAST    TXT", 0x20, 0);
  Open();
  ASSERT_EQ(LastCluster(*vol_), last);
  Scan(IDM_FAST_LOGICAL);
  const auto tree = ByPath(ScanTree(ctx()));
  EXPECT_TRUE(tree.count("FIRST.TXT") && tree.count("LAST.TXT"));
}

TEST_F(CraftedFatTest, AccentedNamesAndOddClockDatesInLiveDirectoriesAreListedByTheFastScan) {
  // "CAFÉ" stored in code page 850 (0x90), as a directory holding a file "MENÜ.TXT" (0x9A),
  // and a photo dated 1980-01-01 by a camera whose clock was never set.
  Chain(1, {});
  std::memcpy(image_.data() + kDataLba * 512ull, "CAF\x90       ", 11);
  PutEntry(3, 2, "MEN\x9A    TXT", 0x20, 0);
  PutEntry(3, 3, "DSC00001JPG", 0x20, 0, (0 << 9) | (1 << 5) | 1);
  Open();
  Scan(IDM_FAST_LOGICAL);
  EXPECT_EQ(vol_->dirs_found, 2);
  EXPECT_EQ(vol_->files_found, 2) << "both files inside the accented directory are found";
  TreeItem* cafe = ctx().root_item->first_child;
  ASSERT_NE(cafe, nullptr);
  EXPECT_EQ(cafe->text, "CAF\x90");
  ASSERT_NE(GetItemRecord(ctx(), cafe)->files_head, nullptr);
  EXPECT_EQ(GetItemRecord(ctx(), cafe)->files_head->name, "MEN\x9A.TXT");
}

// Directories naming the next level's directories several times each: the
// paths multiply with the depth, the distinct directories do not. Each is
// opened once; every further entry naming it is listed, not opened.
TEST_F(CraftedFatTest, DirectoriesNamedManyTimesAreOpenedOnce) {
  constexpr std::uint32_t kWidth = 7, kLevels = 40;  // 7 directories a level, 16 slots a cluster
  auto cluster_of = [](std::uint32_t level, std::uint32_t i) { return 3 + level * kWidth + i; };
  auto name = [](std::uint32_t i, std::uint32_t copy) {
    std::string n = "D" + std::to_string(i) + "_" + std::to_string(copy);
    return n + std::string(11 - n.size(), ' ');
  };
  for (std::uint32_t i = 0; i < kWidth; ++i) PutEntry(2, i, name(i, 0).c_str(), 0x10, cluster_of(0, i));
  for (std::uint32_t level = 0; level < kLevels; ++level) {
    for (std::uint32_t i = 0; i < kWidth; ++i) {
      const std::uint32_t c = cluster_of(level, i);
      SetFat(c, 0x0FFFFFFF);
      PutEntry(c, 0, ".          ", 0x10, c);
      PutEntry(c, 1, "..         ", 0x10, level == 0 ? 0 : cluster_of(level - 1, 0));
      if (level + 1 == kLevels) continue;
      std::size_t slot = 2;
      for (std::uint32_t copy = 0; copy < 2; ++copy)
        for (std::uint32_t j = 0; j < kWidth; ++j) PutEntry(c, slot++, name(j, copy).c_str(), 0x10, cluster_of(level + 1, j));
    }
  }
  Open();
  // Root, the first level, and every entry of the levels above the last.
  constexpr std::int64_t kListed = 1 + kWidth + (kLevels - 1) * kWidth * 2 * kWidth;
  Scan(IDM_FAST_LOGICAL);
  EXPECT_EQ(vol_->dirs_found, kListed);
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), static_cast<std::size_t>(kListed));
  // The first path down reaches the last level; a second name for a directory is an empty leaf.
  const auto tree = ByPath(ScanTree(ctx()));
  std::string path = "D0_0";
  for (std::uint32_t level = 1; level < kLevels; ++level) path += "/D0_0";
  EXPECT_TRUE(tree.count(path));
  EXPECT_TRUE(tree.count("D0_0/D0_1"));
  EXPECT_FALSE(tree.count("D0_0/D0_1/D0_0"));

  // The slow scan adds the root's cluster as an orphan, read from slot 2,
  // naming the rest of the first level again.
  Scan(IDM_SLOW_LOGICAL);
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_EQ(vol_->dirs_found, kListed + 1 + kWidth - 2);
}

// A deleted directory found first, over the clusters a live one uses now,
// must not leave the live one unopened.
TEST_F(CraftedFatTest, ADeletedDirectoryReadFirstDoesNotHideALiveOne) {
  PutEntry(2, 0, "\xE5OLD       ", 0x10, 3);
  PutEntry(2, 1, "LIVE       ", 0x10, 3);
  PutEntry(2, 2, "AGAIN      ", 0x10, 3);
  SetFat(3, 0x0FFFFFFF);
  PutEntry(3, 0, ".          ", 0x10, 3);
  PutEntry(3, 1, "..         ", 0x10, 0);
  PutEntry(3, 2, "INSIDE  TXT", 0x20, 0);
  Open();
  Scan(IDM_FAST_LOGICAL);
  const auto tree = ByPath(ScanTree(ctx()));
  EXPECT_TRUE(tree.count("DOLD/INSIDE.TXT"));
  EXPECT_TRUE(tree.count("LIVE/INSIDE.TXT"));
  ASSERT_TRUE(tree.count("AGAIN"));
  EXPECT_FALSE(tree.count("AGAIN/INSIDE.TXT")) << "a live directory is opened once";
  EXPECT_EQ(vol_->files_found, 2);
}
