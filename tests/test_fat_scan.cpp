// The fast and slow FAT32 scans on the fixture volumes, against the oracle's
// listing, and on crafted damage: loops, cycles, lost and orphaned directories.
#include <algorithm>
#include <cstring>
#include <set>

#include "app/main_window.h"
#include "fat/dir_walk.h"
#include "scan/logical_scan.h"
#include "test_fat_support.h"

using namespace fat_test;

namespace {

// The oracle names a deleted 8.3 entry with "_" for its first character;
// the scans put "D" there.
std::string DeletedName(const std::string& oracle_path) {
  std::string p = oracle_path;
  const std::size_t slash = p.rfind('/');
  const std::size_t first = slash == std::string::npos ? 0 : slash + 1;
  if (p.size() > first && p[first] == '_') p[first] = 'D';
  return p;
}

const char kLabelSuffix[] = "     (Volume Label Entry)";

// Every oracle entry is in the tree with the same path, kind and (files) size;
// deleted ones are marked not in use. Returns how many oracle entries there were.
std::size_t ExpectTreeHasOracle(const std::map<std::string, TreeLine>& tree, const std::vector<OracleLine>& oracle,
                                const std::string& label) {
  for (const OracleLine& o : oracle) {
    std::string path = o.deleted ? DeletedName(o.path) : o.path;
    if (path.size() > sizeof kLabelSuffix && path.ends_with(kLabelSuffix)) path = label;
    const auto it = tree.find(path);
    if (it == tree.end()) {
      ADD_FAILURE() << "missing: " << path;
      continue;
    }
    EXPECT_EQ(it->second.dir, o.dir) << path;
    EXPECT_EQ(it->second.in_use, !o.deleted) << path;
    if (!o.dir) {
      EXPECT_EQ(it->second.size, o.size) << path;
    }
  }
  return oracle.size();
}

void RunCommand(Dialog* dlg, int id) {
  PostCommand(dlg, static_cast<std::uint32_t>(id));
  for (int guard = 0; guard < 100000 && DispatchNext(); ++guard) {
  }
}

}  // namespace

class FatFixtureScanTest : public FatScanTest {
 protected:
  void FastScan() { RunCommand(ctx().main_dlg, IDM_FAST_LOGICAL); }
  void SlowScan() { RunCommand(ctx().main_dlg, IDM_SLOW_LOGICAL); }
  void ExpectIdleAfterScan() {
    EXPECT_EQ(ctx().scan_running, 0);
    EXPECT_EQ(Field(IDC_STATUS), "Idle...");
    EXPECT_TRUE(ctx().phy_list->enabled && ctx().log_list->enabled && ctx().file_list->enabled &&
                ctx().dir_tree->enabled);
    EXPECT_EQ(vol_->fat1_table, nullptr);
    EXPECT_EQ(vol_->fat2_table, nullptr);
    EXPECT_EQ(vol_->cluster_map, nullptr);
    EXPECT_EQ(ctx().scanned_logdrive, vol_);
    EXPECT_EQ(ctx().progress_bar->pos, 0);
    const MenuItem* save = Menu_FindCommand(ctx().main_dlg->menu.get(), IDM_SAVE_SCAN);
    ASSERT_NE(save, nullptr);
    EXPECT_TRUE(save->enabled);
  }
  // The top-level directory item of Root named name, or null.
  TreeItem* RootChild(const std::string& name) {
    for (TreeItem* c = ctx().root_item ? ctx().root_item->first_child : nullptr; c; c = c->next_sibling)
      if (GetItemRecord(ctx(), c)->posix_name == name) return c;
    return nullptr;
  }
};

TEST_F(FatFixtureScanTest, FastScanListsWhatTheOracleLists) {
  OpenVolume(Fixture("fat/basic.img"));
  FastScan();
  ExpectIdleAfterScan();

  const std::vector<TreeLine> lines = ScanTree(ctx());
  const auto tree = ByPath(lines);
  const std::vector<OracleLine> oracle = ReadOracle(FixtureText("fat/basic.fls.txt"));
  ExpectTreeHasOracle(tree, oracle, "RETROVA");
  EXPECT_EQ(lines.size(), oracle.size()) << "nothing beyond what the oracle lists";

  // Counters: Root and every directory; every file, the label included.
  const auto dirs = std::count_if(lines.begin(), lines.end(), [](const TreeLine& l) { return l.dir; });
  EXPECT_EQ(vol_->dirs_found, dirs + 1);
  EXPECT_EQ(vol_->files_found, static_cast<std::int64_t>(lines.size()) - dirs);
  EXPECT_EQ(Field(IDC_T_FILES), FormatThousands(static_cast<std::uint64_t>(vol_->files_found)));
  EXPECT_EQ(Field(IDC_T_DIRS), FormatThousands(static_cast<std::uint64_t>(vol_->dirs_found)));
  EXPECT_EQ(ctx().progress_bar->high, 5000);
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(255, 0, 0));

  // The volume label is a file of Root; the deleted directory is listed with
  // its first cluster's entries.
  EXPECT_FALSE(tree.at("RETROVA").dir);
  EXPECT_FALSE(tree.at("Old Stuff").in_use);
  EXPECT_FALSE(tree.at("Old Stuff/Another old file with long name.txt").in_use);

  // The root spans several clusters: its entries carry the cluster they were
  // read from, not the root's first cluster.
  std::set<std::uint64_t> root_parents;
  for (const TreeLine& l : lines)
    if (l.path.find('/') == std::string::npos) root_parents.insert(l.parent_number);
  EXPECT_GE(root_parents.size(), 3u);
  EXPECT_TRUE(root_parents.count(vol_->root_cluster));
}

TEST_F(FatFixtureScanTest, FastScanStopsAtLoopsAndCycles) {
  OpenVolume(Fixture("fat/damaged.img"));
  const auto facts = ReadFacts(FixtureText("fat/damaged.facts.txt"));
  FastScan();
  ExpectIdleAfterScan();
  const std::vector<TreeLine> lines = ScanTree(ctx());
  const auto tree = ByPath(lines);

  // The loop back to LOOPDIR's first cluster ends the chain: each file once.
  std::size_t loop_files = 0;
  for (const TreeLine& l : lines) loop_files += l.path.starts_with("LOOPDIR/");
  EXPECT_EQ(loop_files, 40u);
  // BACK names A, a directory being walked: listed, not entered.
  ASSERT_TRUE(tree.count("A/B/C/BACK"));
  EXPECT_EQ(tree.at("A/B/C/BACK").own_number, facts.at("a_first"));
  for (const TreeLine& l : lines) EXPECT_FALSE(l.path.starts_with("A/B/C/BACK/")) << l.path;
  EXPECT_TRUE(tree.count("A/B/C/INNER.TXT"));
  // The overwritten entry is a file now; the destroyed directory is empty.
  EXPECT_TRUE(tree.count("OVERWRIT.TXT"));
  EXPECT_TRUE(tree.count("LOST1/LOST2"));
  for (const TreeLine& l : lines) EXPECT_FALSE(l.path.starts_with("LOST1/LOST2/")) << l.path;

  // What the oracle lists as allocated is there, except below BACK, which it enters.
  std::vector<OracleLine> oracle = ReadOracle(FixtureText("fat/damaged.fls.txt"));
  std::erase_if(oracle, [](const OracleLine& o) { return o.path.starts_with("A/B/C/BACK/"); });
  ExpectTreeHasOracle(tree, oracle, "RETROVA");
}

TEST_F(FatFixtureScanTest, SlowScanFindsRootAndOrphanDirectories) {
  OpenVolume(Fixture("fat/damaged.img"));
  const auto facts = ReadFacts(FixtureText("fat/damaged.facts.txt"));
  SlowScan();
  ExpectIdleAfterScan();
  const auto tree = ByPath(ScanTree(ctx()));

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
  const std::string loop = "ROOT" + std::to_string(facts.at("loopdir_first"));
  EXPECT_TRUE(tree.count(loop + "/F00.TXT"));
  std::set<std::string> loop_files;
  for (const auto& [path, line] : tree)
    if (path.size() > 7 && path.ends_with(".TXT") && path[path.size() - 8] == '/' && path[path.size() - 7] == 'F')
      loop_files.insert(path.substr(path.size() - 7));
  // An orphan is read from slot 2, like a directory's first cluster: the two
  // first files of each of the two later clusters are not seen.
  EXPECT_EQ(loop_files.size(), 40u - 2 * 2);
}

TEST_F(FatFixtureScanTest, SlowScanRebuildsTheSubdirectoriesOfTheRoot) {
  OpenVolume(Fixture("fat/basic.img"));
  FastScan();
  const std::vector<TreeLine> fast = ScanTree(ctx());
  SlowScan();
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
  for (const TreeLine& l : fast) {
    if (!l.path.starts_with("Documents/")) continue;
    const std::string p = renamed["Documents"] + l.path.substr(9);
    ASSERT_TRUE(slow_tree.count(p)) << p;
    EXPECT_EQ(slow_tree.at(p).size, l.size) << p;
  }

  // The fragmented directories: every file the slow scan lists under them,
  // in whichever run it was found, is one the fast scan lists, with its size.
  std::map<std::string, std::uint64_t> fast_names;
  for (const TreeLine& l : fast)
    if (!l.dir) fast_names[l.path.substr(l.path.rfind('/') + 1)] = l.size;
  std::size_t photo_files = 0;
  for (const TreeLine& l : slow) {
    if (l.dir) continue;
    const std::string name = l.path.substr(l.path.rfind('/') + 1);
    ASSERT_TRUE(fast_names.count(name)) << l.path;
    EXPECT_EQ(fast_names[name], l.size) << l.path;
    photo_files += name.starts_with("Holiday picture");
  }
  EXPECT_GE(photo_files, 10u);
  // Root's own files are never found directly: its clusters are no
  // directory below the root, so they come back as an orphan at best.
  for (const TreeLine& l : slow)
    if (!l.dir) {
      EXPECT_NE(l.path.find('/'), std::string::npos) << l.path;
    }
  EXPECT_TRUE(slow_tree.count("ORPH" + std::to_string(vol_->root_cluster)));
}

TEST_F(FatFixtureScanTest, TerminateKeepsWhatWasFound) {
  OpenVolume(Fixture("fat/basic.img"));
  FastScan();
  const std::size_t full = ScanTree(ctx()).size();

  // Deep inside the walk: the whole scan stops, the tree stays.
  headless::PostCommandAfterSteps(40, 0, IDM_TERMINATE_SCAN);
  FastScan();
  ExpectIdleAfterScan();
  const std::vector<TreeLine> part = ScanTree(ctx());
  EXPECT_GT(part.size(), 10u);
  EXPECT_LT(part.size(), full);
  const auto dirs = std::count_if(part.begin(), part.end(), [](const TreeLine& l) { return l.dir; });
  EXPECT_EQ(vol_->dirs_found, dirs + 1) << "directories in the tree are counted";

  // The slow scan, in pass 1: no ORPH directory is looked for.
  headless::PostCommandAfterSteps(30000, 0, IDM_TERMINATE_SCAN);
  SlowScan();
  ExpectIdleAfterScan();
  for (const TreeLine& l : ScanTree(ctx())) EXPECT_FALSE(l.path.starts_with("ORPH")) << l.path;
}

TEST_F(FatFixtureScanTest, NoScanStartsInsideARunningScan) {
  OpenVolume(Fixture("fat/damaged.img"));
  SlowScan();
  const std::size_t alone = ScanTree(ctx()).size();
  // The slow scan leaves the menu enabled; its pump would dispatch these.
  headless::PostCommandAfterSteps(100, 0, IDM_FAST_LOGICAL);
  headless::PostCommandAfterSteps(200, 0, IDM_SLOW_LOGICAL);
  SlowScan();
  ExpectIdleAfterScan();
  EXPECT_EQ(ScanTree(ctx()).size(), alone);
}

TEST_F(FatFixtureScanTest, OtherFileSystemsAreNotScanned) {
  OpenVolume(Fixture("fat/basic.img"));
  vol_->fs_type = kFsFat16;
  FastScan();
  SlowScan();
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(ctx().scan_running, 0);
}

TEST_F(FatFixtureScanTest, FastScanGreysTheMenusWhileItRuns) {
  OpenVolume(Fixture("fat/basic.img"));
  static Menu* menu;
  static int reads_seen_greyed;
  menu = ctx().main_dlg->menu.get();
  reads_seen_greyed = 0;
  sys_SetReadFaultHook([](DevHandle, std::uint64_t, std::size_t) {
    const MenuItem* save = Menu_FindCommand(menu, IDM_SAVE_SCAN);
    if (save && !save->enabled) ++reads_seen_greyed;
    return ReadFault{};
  });
  FastScan();
  EXPECT_GT(reads_seen_greyed, 0);
  reads_seen_greyed = 0;
  SlowScan();
  EXPECT_EQ(reads_seen_greyed, 0) << "the slow scan leaves the menu alone";
  sys_SetReadFaultHook(nullptr);
}

// ---- Crafted volumes -------------------------------------------------------------

// A volume written cluster by cluster in the test: 512-byte clusters, FATs
// at 32, data from 32 + 2 x fat_sectors.
class CraftedFatTest : public FatScanTest {
 protected:
  static constexpr std::uint32_t kClusters = 5000;
  static constexpr std::uint32_t kFatSectors = (kClusters + 2) * 4 / 512 + 1;
  static constexpr std::uint32_t kDataLba = 32 + 2 * kFatSectors;

  CraftedFatTest() : image_((kDataLba + kClusters) * 512ull, 0) {
    std::array<std::uint8_t, 512> boot{};
    boot[13] = 1;
    le::Write<std::uint16_t>(boot, 14, 32);
    le::Write<std::uint32_t>(boot, 32, kDataLba + kClusters);
    le::Write<std::uint32_t>(boot, 36, kFatSectors);
    le::Write<std::uint32_t>(boot, 44, 2);
    std::memcpy(image_.data(), boot.data(), boot.size());
    SetFat(2, 0x0FFFFFFF);
  }
  void SetFat(std::uint32_t c, std::uint32_t v) {
    for (std::uint32_t copy = 0; copy < 2; ++copy)
      le::Write<std::uint32_t>(image_, (32 + copy * kFatSectors) * 512ull + 4ull * c, v);
  }
  // Writes a short entry into slot s of cluster c.
  void PutEntry(std::uint32_t c, std::size_t s, const char* name11, std::uint8_t attr, std::uint32_t first) {
    const std::size_t at = (kDataLba + (c - 2)) * 512ull + s * 32;
    std::memcpy(image_.data() + at, name11, 11);
    image_[at + 11] = attr;
    le::Write<std::uint16_t>(image_, at + 20, static_cast<std::uint16_t>(first >> 16));
    le::Write<std::uint16_t>(image_, at + 24, static_cast<std::uint16_t>(((2020 - 1980) << 9) | (1 << 5) | 1));
    le::Write<std::uint16_t>(image_, at + 26, static_cast<std::uint16_t>(first & 0xFFFF));
  }
  void MakeDir(std::uint32_t c, std::uint32_t parent) {
    SetFat(c, 0x0FFFFFFF);
    PutEntry(c, 0, ".          ", 0x10, c);
    PutEntry(c, 1, "..         ", 0x10, parent == 2 ? 0 : parent);
  }
  void Open() { OpenVolume(WriteFile("crafted.img", image_), 0); }

  std::vector<std::uint8_t> image_;
};

TEST_F(CraftedFatTest, DeepNestingEndsAtTheDepthBound) {
  // Root -> D at 3 -> D at 4 -> ... 3000 levels, each one cluster.
  const std::uint32_t levels = 3000;
  PutEntry(2, 0, "D          ", 0x10, 3);
  for (std::uint32_t c = 3; c < 3 + levels; ++c) {
    MakeDir(c, c - 1);
    if (c + 1 < 3 + levels) PutEntry(c, 2, "D          ", 0x10, c + 1);
  }
  Open();
  RunCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
  EXPECT_EQ(ctx().scan_running, 0);
  // Opened down to the bound; the next level is listed but not opened.
  EXPECT_EQ(vol_->dirs_found, static_cast<std::int64_t>(kMaxDirDepth) + 1);
  EXPECT_EQ(vol_->files_found, 0);

  RunCommand(ctx().main_dlg, IDM_SLOW_LOGICAL);
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_EQ(GetItemRecord(ctx(), ctx().root_item->first_child)->posix_name, "ROOT3");
}

TEST_F(CraftedFatTest, CrossLinkedDirectoriesDoNotMultiplyTheWork) {
  // Forty levels, each directory naming the next twice: 2^40 paths.
  const std::uint32_t levels = 40;
  PutEntry(2, 0, "D          ", 0x10, 3);
  for (std::uint32_t c = 3; c < 3 + levels; ++c) {
    MakeDir(c, c - 1);
    if (c + 1 < 3 + levels) {
      PutEntry(c, 2, "X          ", 0x10, c + 1);
      PutEntry(c, 3, "Y          ", 0x10, c + 1);
    }
  }
  Open();
  RunCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_LT(TreeView_GetCount(ctx().dir_tree), 4u * (kClusters + 2) + 2048);
  RunCommand(ctx().main_dlg, IDM_SLOW_LOGICAL);
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_LT(TreeView_GetCount(ctx().dir_tree), 4u * (kClusters + 2) + 2048);
}

TEST_F(CraftedFatTest, ChainIntoTheLastClusterIsFollowed) {
  // The root continues in the volume's last cluster, cluster_count + 1.
  const std::uint32_t last = kClusters + 1;
  SetFat(2, last);
  SetFat(last, 0x0FFFFFFF);
  PutEntry(2, 0, "FIRST   TXT", 0x20, 0);
  PutEntry(last, 0, "LAST    TXT", 0x20, 0);
  Open();
  ASSERT_EQ(LastCluster(*vol_), last);
  RunCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
  const auto tree = ByPath(ScanTree(ctx()));
  EXPECT_TRUE(tree.count("FIRST.TXT"));
  EXPECT_TRUE(tree.count("LAST.TXT"));
}

TEST_F(CraftedFatTest, AccentedNamesAndOddClockDatesInLiveDirectoriesAreListedByTheFastScan) {
  // "CAFÉ" stored in code page 850 (0x90), as a directory holding a file "MENÜ.TXT" (0x9A),
  // and a photo dated 1980-01-01 by a camera whose clock was never set.
  PutEntry(2, 0, "CAF\x90       ", 0x10, 3);
  MakeDir(3, 2);
  PutEntry(3, 2, "MEN\x9A    TXT", 0x20, 0);
  PutEntry(3, 3, "DSC00001JPG", 0x20, 0);
  const std::size_t at = (kDataLba + 1) * 512ull + 3 * 32;
  le::Write<std::uint16_t>(image_, at + 24, static_cast<std::uint16_t>((0 << 9) | (1 << 5) | 1));
  Open();
  RunCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
  EXPECT_EQ(vol_->dirs_found, 2);
  EXPECT_EQ(vol_->files_found, 2) << "both files inside the accented directory are found";
  TreeItem* cafe = ctx().root_item->first_child;
  ASSERT_NE(cafe, nullptr);
  EXPECT_EQ(cafe->text, "CAF\x90");
  ASSERT_NE(GetItemRecord(ctx(), cafe)->files_head, nullptr);
  EXPECT_EQ(GetItemRecord(ctx(), cafe)->files_head->name, "MEN\x9A.TXT");
}
