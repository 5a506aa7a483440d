// Copying marked FAT32 files out and verifying them first, on the copy
// fixture (broken FAT 1 chain, cross-linked files, a deleted multi-cluster
// file, a one-cluster loop) and the demo volume, against icat's MD5s.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/main_window.h"
#include "app/shell.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "recover/copy.h"
#include "recover/fat_copy.h"
#include "recover/output.h"
#include "recover/verify.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "test_fat_support.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

namespace fs = std::filesystem;
using namespace fat_test;

namespace {

std::string Md5Of(const fs::path& p) {
  std::string out;
  FILE* f = ::popen(("md5sum '" + p.string() + "'").c_str(), "r");
  if (!f) return out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, f)) out += buf;
  ::pclose(f);
  return out.substr(0, 32);
}

struct Md5Line {
  std::string md5, path;
  std::uint64_t size = 0;
};

// "md5  size  path" lines.
std::vector<Md5Line> ReadMd5s(const std::string& fixture) {
  std::vector<Md5Line> out;
  std::istringstream in(FixtureText(fixture));
  for (std::string line; std::getline(in, line);) {
    const std::size_t a = line.find("  "), b = line.find("  ", a + 2);
    if (a == std::string::npos || b == std::string::npos) continue;
    out.push_back({line.substr(0, a), line.substr(b + 2), std::stoull(line.substr(a + 2, b - a - 2))});
  }
  return out;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

class CopyTest : public RetrovaTest {
 protected:
  void OpenVolume(const fs::path& image, std::int64_t start_lba = 2048) {
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), image.string()), 1);
    const int row = ListView_GetItemCount(ctx().phy_list) - 1;
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, row));
    ListView_SetItemState(ctx().phy_list, row, LVIS_SELECTED, LVIS_SELECTED);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_EQ(ReadSectors(ctx(), *drive_, static_cast<std::uint64_t>(start_lba), boot), 1);
    vol_ = MountLogDrive(static_cast<std::uint64_t>(start_lba), boot);
    ASSERT_NE(vol_, nullptr);
    ListView_InsertItem(ctx().log_list, 0, "volume", 0, vol_);
    ListView_SetItemState(ctx().log_list, 0, LVIS_SELECTED, LVIS_SELECTED);
    Run(IDM_FAST_LOGICAL);
    ASSERT_NE(ctx().root_item, nullptr);
    dest_ = TempDir() / "dest";
    fs::create_directories(dest_);
  }
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  void Run(int command) {
    PostCommand(ctx().main_dlg, static_cast<std::uint32_t>(command));
    for (int guard = 0; guard < 100000 && DispatchNext(); ++guard) {
    }
  }
  void Tick(TreeItem* item) {
    ClickTreeItem(ctx().main_dlg, IDC_DIR_TREE, item, HitPart::CheckBox);
    DrainQueue();
  }
  TreeItem* Child(TreeItem* parent, const std::string& name) {
    for (TreeItem* c = parent->first_child; c; c = c->next_sibling)
      if (GetItemRecord(ctx(), c)->posix_name.value_or("") == name) return c;
    return nullptr;
  }
  FILE_INODE* File(TreeItem* dir, const std::string& name) {
    const INODE_RECD* r = GetItemRecord(ctx(), dir);
    for (FILE_INODE* f = r->files_head; f; f = f->next_in_dir)
      if (f->name == name) return f;
    return nullptr;
  }
  void CopyAll(int command) {
    Tick(ctx().root_item);
    headless::AnswerFolder(dest_.string());
    Run(command);
  }

  PHYDRIVE_INFO* drive_ = nullptr;
  LOGDRIVE_INFO* vol_ = nullptr;
  fs::path dest_;
};

TEST_F(CopyTest, WithDirectoriesEveryLiveFileMatchesIcat) {
  OpenVolume(Fixture("fat/copy.img"));
  const auto facts = ReadFacts("fat/copy.facts.txt");
  CopyAll(IDM_COPY_DIRS);
  for (const Md5Line& m : ReadMd5s("fat/copy.md5.txt")) {
    const fs::path out = dest_ / "Root" / m.path;
    ASSERT_TRUE(fs::exists(out)) << m.path;
    // icat follows FAT 1 only; the copy takes the intact chain of FAT 2.
    const std::string want = m.path == "BROKEN1.BIN" ? "f6ae2bec313f6243b4bfe42a55f9cb70" : m.md5;
    EXPECT_EQ(Md5Of(out), want) << m.path;
  }
  // The deleted file, its entries cleared, comes out of consecutive clusters.
  EXPECT_EQ(File(ctx().root_item, "DELMULTI.BIN")->own_number, facts.at("delmulti_first"));
  EXPECT_EQ(Md5Of(dest_ / "Root" / "DELMULTI.BIN"), "35e915c8012abdb5d27c30af035400a0");
}

TEST_F(CopyTest, AfterTheCopyMarksTicksAndStatus) {
  OpenVolume(Fixture("fat/copy.img"));
  CopyAll(IDM_COPY_FLAT);
  EXPECT_EQ(CountMarkedFiles(ctx()), 0u);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_M_FILES), "0");
  for (TreeItem* it = ctx().root_item; it; it = it->first_child) EXPECT_FALSE(TreeView_GetCheckState(it));
  const std::string status = GetDlgItemText(ctx().main_dlg, IDC_STATUS);
  EXPECT_TRUE(status.starts_with("Copied 12 files, skipped 0, failed 0")) << status;
  // Flat: the files of every directory in the destination itself.
  EXPECT_TRUE(fs::exists(dest_ / "DEEPFILE.TXT"));
  EXPECT_FALSE(fs::exists(dest_ / "Root"));
  EXPECT_EQ(ctx().progress_bar2->pos, 0);
  EXPECT_EQ(ctx().scan_running, 0);
}

TEST_F(CopyTest, RefusesWithoutMarksAndDriveAndWhenCancelled) {
  OpenVolume(Fixture("fat/copy.img"));
  Run(IDM_COPY_DIRS);
  ASSERT_FALSE(headless::Boxes().empty());
  EXPECT_EQ(headless::Boxes().back().text, "No files have been marked.");
  Run(IDM_VERIFY);
  EXPECT_EQ(headless::Boxes().back().text, "No files have been marked.");
  Tick(ctx().root_item);
  headless::AnswerFolder(std::nullopt);
  Run(IDM_COPY_DIRS);
  EXPECT_TRUE(fs::is_empty(dest_)) << "cancelled: nothing written";
  EXPECT_GT(CountMarkedFiles(ctx()), 0u);
  ListView_SetItemState(ctx().log_list, 0, 0, LVIS_SELECTED);
  const std::size_t boxes = headless::Boxes().size();
  Run(IDM_COPY_FLAT);
  ASSERT_EQ(headless::Boxes().size(), boxes + 1);
  EXPECT_TRUE(headless::Boxes().back().text.starts_with("No drive is selected"));
}

TEST_F(CopyTest, UntickedDirectoryIsNotEnteredAndNamesCollide) {
  OpenVolume(Fixture("fat/copy.img"));
  Tick(ctx().root_item);
  TreeItem* sub = Child(ctx().root_item, "SUB");
  ASSERT_NE(sub, nullptr);
  Tick(sub);  // unticks SUB and DEEP below it, unmarking their files
  // DEEP ticked with a marked file, under an unticked SUB.
  TreeView_SetCheckState(ctx().dir_tree, Child(sub, "DEEP"), true);
  File(Child(sub, "DEEP"), "DEEPFILE.TXT")->mark_state = kMarkMarked;
  // An existing folder and file of the same names are left alone.
  fs::create_directories(dest_ / "Root");
  std::ofstream(dest_ / "Root" / "mine") << "operator's own";
  headless::AnswerFolder(dest_.string());
  Run(IDM_COPY_DIRS);
  EXPECT_EQ(ReadAll(dest_ / "Root" / "mine"), "operator's own");
  const fs::path root = dest_ / ("Root." + std::to_string(kRootNumber));
  EXPECT_TRUE(fs::exists(root / "README.TXT"));
  EXPECT_FALSE(fs::exists(root / "SUB"));
  EXPECT_TRUE(File(Child(sub, "DEEP"), "DEEPFILE.TXT")->mark_state == kMarkMarked) << "not visited: still marked";
  EXPECT_TRUE(TreeView_GetCheckState(Child(sub, "DEEP")));
}

TEST_F(CopyTest, VerifyFlagsCrossLinksAndDeletedChainsInRed) {
  OpenVolume(Fixture("fat/copy.img"));
  Tick(ctx().root_item);
  // Flagged by an earlier verify and fine now: unflagged.
  File(ctx().root_item, "README.TXT")->verify_result = 2;
  Run(IDM_VERIFY);
  std::map<std::string, std::uint32_t> result;
  for (FILE_INODE* f = GetItemRecord(ctx(), ctx().root_item)->files_head; f; f = f->next_in_dir)
    result[f->name] = f->verify_result;
  EXPECT_EQ(result["CROSSA.BIN"], 2u);
  EXPECT_EQ(result["CROSSB.BIN"], 2u);
  EXPECT_EQ(result["DELMULTI.BIN"], 2u) << "cleared entries: no chain in either FAT";
  EXPECT_EQ(result["BROKEN1.BIN"], 0u) << "FAT 2 holds its chain";
  EXPECT_EQ(result["LOOPONE.TXT"], 0u);
  EXPECT_EQ(result["README.TXT"], 0u);
  EXPECT_EQ(result["TWO.BIN"], 0u);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_STATUS), "Idle...");
  EXPECT_EQ(ctx().usage_map, nullptr);
  EXPECT_TRUE(!vol_->fat1_table && !vol_->fat2_table);
  EXPECT_EQ(CountMarkedFiles(ctx()) > 0, true) << "marks stay";
  // The file list draws the flagged rows red.
  for (int row = 0; row < ListView_GetItemCount(ctx().file_list); ++row) {
    auto* f = static_cast<FILE_INODE*>(ListView_GetItemData(ctx().file_list, row));
    if (!f || f->name != "CROSSA.BIN") continue;
    CustomDraw cd;
    cd.stage = DrawStage::ItemPrePaint;
    cd.item_data = f;
    DrawFileListItem(cd);
    EXPECT_EQ(cd.text_colour, RGB(255, 0, 0));
  }
  // Unmarked files sharing a cluster do not count.
  File(ctx().root_item, "CROSSA.BIN")->mark_state = kMarkUnmarked;
  Run(IDM_VERIFY);
  EXPECT_EQ(File(ctx().root_item, "CROSSB.BIN")->verify_result, 0u);
}

TEST_F(CopyTest, ContiguousCopyStopsAtTheVolumeEnd) {
  OpenVolume(Fixture("fat/copy.img"));
  FILE_INODE f = *File(ctx().root_item, "DELMULTI.BIN");  // 2000 bytes, four clusters
  f.own_number = static_cast<std::uint32_t>(LastCluster(*vol_) - 1);
  const OutputDir dir = OutputDir::Open(dest_.string(), false);
  CopyResult r;
  EXPECT_EQ(CopyFat32File(ctx(), *drive_, *vol_, f, dir, r), 0);
  EXPECT_EQ(r.outcome, CopyOutcome::Failed);
  EXPECT_EQ(r.bytes, 1024u) << "the last two clusters, nothing past them";
  const std::string out = ReadAll(dest_ / r.output_name);
  ASSERT_EQ(out.size(), 2000u);
  EXPECT_EQ(out.substr(1024), std::string(976, '\0'));
}

TEST_F(CopyTest, ShortWriteFailsTheFile) {
  OpenVolume(Fixture("fat/copy.img"));
  FILE_INODE f = *File(ctx().root_item, "TWO.BIN");
  const OutputDir dir = OutputDir::Open(dest_.string(), false);
  // A file-size limit stands in for a full disk: writes past it fail.
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  auto* old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 600;
  ::setrlimit(RLIMIT_FSIZE, &small);
  CopyResult r;
  const int ok = CopyFat32File(ctx(), *drive_, *vol_, f, dir, r);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(r.outcome, CopyOutcome::Failed);
}

TEST(FatChainTest, LastTwoClustersLoopsAndSizes) {
  LOGDRIVE_INFO vol;
  vol.cluster_count = 100;  // data clusters 2 .. 101
  vol.bytes_per_cluster = 512;
  std::vector<std::uint32_t> fat(128, 0);
  fat[100] = 101;
  fat[101] = 0x0FFFFFFF;
  FILE_INODE f;
  f.own_number = 100;
  f.data_size = 1024;
  EXPECT_EQ(CheckFatChain(vol, fat, f), 1) << "clusters cluster_count and cluster_count + 1 are data clusters";
  EXPECT_EQ(FatChainClusters(vol, fat, f), (std::vector<std::uint32_t>{100, 101}));
  f.data_size = 1536;
  EXPECT_EQ(CheckFatChain(vol, fat, f), 0) << "the chain ends before the size";
  f.data_size = 600;
  fat[101] = 102;  // past the volume
  EXPECT_EQ(CheckFatChain(vol, fat, f), 0);
  // A loop: bounded by the clusters the size needs.
  fat[5] = 5;
  f.own_number = 5;
  f.data_size = 1ull << 40;
  EXPECT_EQ(CheckFatChain(vol, fat, f), 0);
  EXPECT_LE(FatChainClusters(vol, fat, f).size(), 102u);
  f.data_size = 100;
  EXPECT_EQ(CheckFatChain(vol, fat, f), 1);
  EXPECT_EQ(FatChainClusters(vol, fat, f).size(), 1u);
}

TEST(UsageMapTest, SaturatesAndCoversEveryCluster) {
  LOGDRIVE_INFO vol;
  vol.cluster_count = 1000;
  UsageMap map;
  ASSERT_TRUE(map.Allocate(vol));
  for (int i = 0; i < 256; ++i) map.Add(1001);  // the last FAT32 data cluster
  EXPECT_EQ(map.Count(1001), 255) << "256 users must not count as none";
  map.Add(1u << 31);  // out of range: ignored
  EXPECT_EQ(map.Count(1u << 31), 0);
  EXPECT_EQ(map.size(), 1002u) << "every FAT32 data cluster number indexes it";
}

TEST(DestinationTest, PartitionsAndStackedDevicesOfTheDrive) {
  const fs::path sys = fs::temp_directory_path() / ("retrova_sys_" + std::to_string(::getpid()));
  fs::remove_all(sys);
  // sda (8:0) with sda1 (8:1); dm-0 (253:0) stacked on sda1; sdb (8:16) apart.
  auto node = [&](const std::string& dir, const std::string& dev) {
    fs::create_directories(sys / "devices" / dir);
    std::ofstream(sys / "devices" / dir / "dev") << dev << "\n";
  };
  node("sda", "8:0");
  node("sda/sda1", "8:1");
  std::ofstream(sys / "devices/sda/sda1/partition") << "1\n";
  node("dm-0", "253:0");
  fs::create_directories(sys / "devices/dm-0/slaves");
  fs::create_directory_symlink("../../sda/sda1", sys / "devices/dm-0/slaves/sda1");
  node("sdb", "8:16");
  fs::create_directories(sys / "block");
  for (auto [link, target] : {std::pair{"8:0", "sda"}, {"8:1", "sda/sda1"}, {"253:0", "dm-0"}, {"8:16", "sdb"}})
    fs::create_directory_symlink("../devices/" + std::string(target), sys / "block" / link);
  const std::string b = (sys / "block").string();
  EXPECT_TRUE(DeviceOnDrive(makedev(8, 0), makedev(8, 0), b));
  EXPECT_TRUE(DeviceOnDrive(makedev(8, 1), makedev(8, 0), b));
  EXPECT_TRUE(DeviceOnDrive(makedev(253, 0), makedev(8, 0), b));
  EXPECT_TRUE(DeviceOnDrive(makedev(253, 0), makedev(8, 1), b));
  EXPECT_FALSE(DeviceOnDrive(makedev(8, 16), makedev(8, 0), b));
  EXPECT_FALSE(DeviceOnDrive(makedev(0, 42), makedev(8, 0), b));
  fs::remove_all(sys);
  // An image drive: the folder holding the image is fine.
  PHYDRIVE_INFO image;
  image.device_path = Fixture("fat/copy.img").string();
  EXPECT_EQ(DestinationConflict(Fixture("fat/copy.img").parent_path().string(), image), "");
}

TEST_F(CopyTest, DemoVolumeMatchesIcat) {
  OpenVolume(Fixture("demo.img"), 63);
  CopyAll(IDM_COPY_DIRS);
  const auto lines = ReadMd5s("demo.md5-63.txt");
  ASSERT_FALSE(lines.empty());
  for (const Md5Line& m : lines) {
    const fs::path out = dest_ / "Root" / m.path;
    ASSERT_TRUE(fs::exists(out)) << m.path;
    EXPECT_EQ(Md5Of(out), m.md5) << m.path;  // this list's middle column is the inode
  }
}

// retrova-cli recover and verify on the copy fixture.

TEST_F(CopyTest, CliRecoverAndVerify) {
  const std::string image = "'" + Fixture("fat/copy.img").string() + "'";
  const fs::path dest = TempDir() / "cli out";
  CliRun run = RunCli("recover " + image + " 2048 '" + dest.string() + "' --path Root/SUB", "2>&1");
  ASSERT_EQ(run.status, 0) << run.out;
  // Root is ticked with its ticked child (its own files stay unmarked): its folder is made.
  EXPECT_NE(run.out.find("Root/SUB/DEEP/DEEPFILE.TXT\tRoot/SUB/DEEP/DEEPFILE.TXT\tcopied\t700\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("copied 3, skipped 0, failed 0, bytes 2012"), std::string::npos) << run.out;
  EXPECT_EQ(Md5Of(dest / "Root/SUB/Sub file with a long name.txt"), "1c2658f6d4043bfb1dfa632767a85c0e");
  EXPECT_FALSE(fs::exists(dest / "Root/README.TXT"));

  run = RunCli("recover " + image + " 2048 '" + dest.string() + "' --flat --path Root/NOPE", "2>&1");
  EXPECT_EQ(run.status, 2) << run.out;

  run = RunCli("verify " + image + " 2048", "2>&1");
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("Root/CROSSB.BIN\t2\tcross-linked\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Root/BROKEN1.BIN\t0\tok\n"), std::string::npos) << run.out;
  run = RunCli("verify " + image + " 2048 --path Root/SUB", "2>&1");
  EXPECT_EQ(run.status, 0) << run.out;
}

TEST_F(CopyTest, TerminateEndsTheFileBeingCopiedAndTheWalkGoesOn) {
  OpenVolume(Fixture("fat/basic.img"));
  Tick(ctx().root_item);
  headless::AnswerFolder(dest_.string());
  // The 3 MiB file takes thousands of cluster steps; the others a few.
  headless::PostCommandAfterSteps(2000, IDD_MAIN, IDM_TERMINATE_SCAN);
  Run(IDM_COPY_DIRS);
  const fs::path big = dest_ / "Root" / "Large Video Recording.mp4";
  ASSERT_TRUE(fs::exists(big));
  EXPECT_LT(fs::file_size(big), 3145745u) << "ended where it was";
  EXPECT_TRUE(fs::exists(dest_ / "Root" / "Documents" / "LETTER.TXT")) << "the walk went on";
  EXPECT_NE(GetDlgItemText(ctx().main_dlg, IDC_STATUS).find("failed 1"), std::string::npos);
  EXPECT_EQ(ctx().progress_bar2->pos, 0);
  EXPECT_EQ(ctx().progress_bar2->bar_colour, RGB(253, 95, 53));
}

TEST_F(CopyTest, NamesFromTheDiskStayInsideTheDestination) {
  OpenVolume(Fixture("fat/copy.img"));
  // A damaged or crafted directory: ".." as a folder, "/" and ".." in file names.
  TreeItem* sub = Child(ctx().root_item, "SUB");
  GetItemRecord(ctx(), sub)->posix_name = "..";
  File(sub, "Sub file with a long name.txt")->name = "../../escaped";
  File(Child(sub, "DEEP"), "Second.txt")->name = "..";
  Tick(ctx().root_item);
  headless::AnswerFolder(dest_.string());
  Run(IDM_COPY_DIRS);
  EXPECT_FALSE(fs::exists(dest_.parent_path() / "escaped"));
  EXPECT_FALSE(fs::exists(dest_ / "escaped"));
  EXPECT_EQ(Md5Of(dest_ / "Root" / "_.." / ".._.._escaped"), "1c2658f6d4043bfb1dfa632767a85c0e");
  EXPECT_EQ(fs::file_size(dest_ / "Root" / "_.." / "DEEP" / "_.."), 12u);
}
