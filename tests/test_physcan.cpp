// "Scan Physical Drive": chunked reads, progress, the menu lock, Terminate
// Scan, and the retrova-cli verb that runs it.
#include <cstdio>

#include "app/main_window.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "platform/sysio.h"
#include "res/ids.h"
#include "res/resources.h"
#include "test_support.h"
#include "volume/logdrive.h"
#include "volume_images.h"

using namespace vimg;

namespace {

// What the search looked like at each read request.
struct ReadSeen {
  std::uint64_t lba, sectors;
  int bar_pos;
  std::string lba_field, status;
  bool phy_enabled, log_enabled, scan_menu_enabled, terminate_enabled;
  int scan_running;
};
std::vector<ReadSeen> g_reads;

ReadFault RecordRead(DevHandle, std::uint64_t offset, std::size_t length) {
  AppContext& c = App();
  const Menu* menu = c.main_dlg->menu.get();
  g_reads.push_back({offset / 512, length / 512, c.progress_bar->pos, GetDlgItemText(c.main_dlg, IDC_LBA),
                     GetDlgItemText(c.main_dlg, IDC_STATUS), c.phy_list->enabled, c.log_list->enabled,
                     Menu_FindCommand(menu, IDM_SCAN_PHYSICAL)->enabled,
                     Menu_FindCommand(menu, IDM_TERMINATE_SCAN)->enabled, c.scan_running});
  return {};
}

}  // namespace

class PhysicalScanTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    g_reads.clear();
  }
  void AddDisk(std::uint64_t sectors, const std::map<std::uint64_t, Sector>& content, const std::string& name) {
    const auto path = TempDir() / name;
    WriteImage(path, sectors, content);
    ASSERT_EQ(AddImageFile(ctx(), path.string()), 1);
  }
  void Select(int row) {
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, row, HitPart::Label);
    DrainQueue();
  }
  void Scan() {
    PostCommand(ctx().main_dlg, IDM_SCAN_PHYSICAL);
    DrainQueue();
  }
  std::vector<std::string> Lbas() {
    std::vector<std::string> out;
    for (int r = 0; r < ListView_GetItemCount(ctx().log_list); ++r)
      out.push_back(ListView_GetItemText(ctx().log_list, r, 0));
    return out;
  }
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }
};

TEST_F(PhysicalScanTest, WithoutASelectedDriveOnlyAsks) {
  OpenMainWindow();
  Scan();
  ASSERT_EQ(headless::Boxes().size(), 1u);
  EXPECT_EQ(headless::Boxes()[0].text, "Please CHOOSE a PHYSICAL drive to SCAN.");
  EXPECT_EQ(headless::Boxes()[0].title, kProductTitle);
  EXPECT_EQ(headless::Boxes()[0].icon, 0u);
  EXPECT_EQ(ctx().scan_running, 0);
}

TEST_F(PhysicalScanTest, ChunksRestPassProgressAndTheLockWhileItRuns) {
  // 6100 sectors: two 2048-sector chunks and a rest of 2004. A table in the
  // rest pass makes the search read a candidate there, so the progress can be
  // seen after the rest has begun.
  OpenMainWindow();
  AddDisk(6100, {{6048, Table({Entry{0x06, 1, 62, 0, 0, 62}})}}, "disk.img");
  Select(0);
  sys_SetReadFaultHook(RecordRead);
  Scan();
  sys_SetReadFaultHook(nullptr);

  ASSERT_GE(g_reads.size(), 4u);
  EXPECT_EQ(g_reads[0].lba, 0u);
  EXPECT_EQ(g_reads[0].sectors, 2048u);
  EXPECT_EQ(g_reads[1].lba, 2048u);
  EXPECT_EQ(g_reads[1].sectors, 2048u);
  EXPECT_EQ(g_reads[2].lba, 4096u);
  EXPECT_EQ(g_reads[2].sectors, 2004u);
  EXPECT_EQ(g_reads[3].lba, 6049u) << "the candidate of the table at 6048";
  // Steps at sectors 0, 1000 and 2000, then 3000 and 4000; none in the rest pass.
  EXPECT_EQ(g_reads[0].bar_pos, 0);
  EXPECT_EQ(g_reads[1].bar_pos, 3);
  EXPECT_EQ(g_reads[1].lba_field, "2,000");
  EXPECT_EQ(g_reads[2].bar_pos, 5);
  EXPECT_EQ(g_reads[3].bar_pos, 5);
  for (const ReadSeen& r : g_reads) {
    EXPECT_EQ(r.status, "Scanning Physical Drive " + (TempDir() / "disk.img").string().substr(0, 40));
    EXPECT_FALSE(r.phy_enabled);
    EXPECT_FALSE(r.log_enabled);
    EXPECT_FALSE(r.scan_menu_enabled);
    EXPECT_TRUE(r.terminate_enabled);
    EXPECT_EQ(r.scan_running, 1);
  }

  EXPECT_EQ(ctx().progress_bar->high, 7) << "6100 sectors: steps at 0 .. 6000 fit the range";
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(255, 0, 0));
  EXPECT_EQ(ctx().progress_bar->pos, 0);
  EXPECT_EQ(Field(IDC_LBA), "0");
  EXPECT_EQ(Field(IDC_T_REM), "00:00:00");
  EXPECT_EQ(Field(IDC_STATUS), "Idle...");
  EXPECT_TRUE(ctx().phy_list->enabled);
  EXPECT_TRUE(ctx().log_list->enabled);
  EXPECT_TRUE(Menu_FindCommand(ctx().main_dlg->menu.get(), IDM_SCAN_PHYSICAL)->enabled);
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_EQ(ctx().search_lba, 6100u);
  EXPECT_EQ(ctx().search_total, 6100u);
  EXPECT_EQ(Lbas(), (std::vector<std::string>{"6049"}));
}

TEST_F(PhysicalScanTest, TerminateAfterTheFirstChunkKeepsWhatItFoundSorted) {
  // The table at 0 lists 1827 first; the boot record met at 1008 comes second.
  // The volume at 3024 lies in the second chunk, which never runs.
  OpenMainWindow();
  AddDisk(5000,
          {{0, Table({Entry{0x0C, 1827, 630}})},
           {1008, Fat32Boot({.total = 500})},
           {1827, Fat32Boot({.total = 630})},
           {3024, Fat32Boot({.total = 500})}},
          "disk.img");
  Select(0);
  headless::PostCommandAfterSteps(0, IDD_MAIN, IDM_TERMINATE_SCAN);
  sys_SetReadFaultHook(RecordRead);
  Scan();
  sys_SetReadFaultHook(nullptr);
  EXPECT_EQ(Lbas(), (std::vector<std::string>{"1008", "1827"}));
  for (const ReadSeen& r : g_reads) EXPECT_LT(r.lba, 2048u) << "nothing after the first chunk was read";
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_TRUE(ctx().phy_list->enabled);
  EXPECT_TRUE(Menu_FindCommand(ctx().main_dlg->menu.get(), IDM_ABOUT)->enabled);
  EXPECT_EQ(Field(IDC_STATUS), "Idle...");
}

TEST_F(PhysicalScanTest, SearchingAgainGivesTheSameListAndOtherDrivesAreTheirOwn) {
  OpenMainWindow();
  AddDisk(5000, {{1008, Fat32Boot({.total = 500})}, {4032, Fat32Boot({.total = 500})}}, "a.img");
  AddDisk(3000, {{2016, Fat32Boot({.total = 500})}}, "b.img");
  Select(0);
  Scan();
  const std::vector<std::string> first = Lbas();
  EXPECT_EQ(first, (std::vector<std::string>{"1008", "4032"}));
  Scan();
  EXPECT_EQ(Lbas(), first);

  // Another drive: the operator agrees to lose the list, then searches it.
  headless::AnswerMessageBox(IDYES);
  ClickListRow(ctx().main_dlg, IDC_PHY_LIST, 1, HitPart::Label);
  DrainQueue();
  Scan();
  EXPECT_EQ(Lbas(), (std::vector<std::string>{"2016"}));
}

TEST_F(PhysicalScanTest, ACommandThatSlipsPastTheLockDoesNotRestartTheSearch) {
  OpenMainWindow();
  AddDisk(5000, {{1008, Fat32Boot({.total = 500})}, {4032, Fat32Boot({.total = 500})}}, "disk.img");
  Select(0);
  headless::PostCommandAfterSteps(0, IDD_MAIN, IDM_SCAN_PHYSICAL);
  sys_SetReadFaultHook(RecordRead);
  Scan();
  sys_SetReadFaultHook(nullptr);
  ASSERT_EQ(g_reads.size(), 3u) << "one pass: two chunks and the rest";
  EXPECT_EQ(Lbas(), (std::vector<std::string>{"1008", "4032"}));
}

// ---- retrova-cli volumes -----------------------------------------------------------

namespace {

struct CliResult {
  int status = -1;
  std::string out;
};

CliResult RunCli(const std::string& args) {
  CliResult r;
  const std::string cmd = std::string(RETROVA_CLI_PATH) + " " + args + " 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace

TEST_F(PhysicalScanTest, CliPrintsTheLogicalDriveListOfAnImageOrARow) {
  const auto a = TempDir() / "a.img";
  const auto b = TempDir() / "b.img";
  WriteImage(a, 5000, {{0, Table({Entry{0x0C, 63, 1197}})}, {63, Fat32Boot({.total = 1197})}});
  WriteImage(b, 3000, {{2016, NtfsBoot({.total = 800})}});

  CliResult r = RunCli("volumes " + a.string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "63\tFAT32   \t0.00 GB\t3\t1\n");

  r = RunCli("volumes " + b.string() + " --image " + a.string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "2016\tNTFS    \t0.00 GB\t4\t1\n");

  r = RunCli("volumes 999 --image " + a.string());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  r = RunCli("volumes " + (TempDir() / "missing.img").string());
  EXPECT_EQ(r.status, 2);
}

TEST_F(PhysicalScanTest, AVolumeClaimingMoreThanTheDriveHoldsIsScannedOnlyAsFarAsTheDrive) {
  // A 600 KB disk whose FAT32 boot record claims 2^32-1 sectors and 4 M FAT sectors:
  // the scans would size their tables and walks from the claim.
  OpenMainWindow();
  AddDisk(1200, {{0, Fat32Boot({.spc = 1, .fat_size = 4'000'000, .total = 0xFFFFFFFFu})}}, "claim.img");
  Select(0);
  Scan();
  ASSERT_EQ(ListView_GetItemCount(ctx().log_list), 1);
  auto* vol = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(ctx().log_list, 0));
  EXPECT_EQ(vol->total_sectors, 0xFFFFFFFFll) << "the record keeps what the boot record says";
  EXPECT_EQ(vol->cluster_count, 0) << "its data area starts beyond the drive";

  // A volume whose data area lies on the drive keeps the clusters the drive holds.
  CloseMainWindow();
  OpenMainWindow();
  AddDisk(1200, {{0, Fat32Boot({.spc = 1, .fat_size = 100, .total = 0xFFFFFFFFu})}}, "claim2.img");
  Select(0);
  Scan();
  vol = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(ctx().log_list, 0));
  EXPECT_EQ(vol->cluster_count, 1200 - (32 + 2 * 100));
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  PostCommand(ctx().main_dlg, IDM_SLOW_LOGICAL);
  PostCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
  DrainQueue();
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_EQ(ctx().phy_list->rows.size(), 1u);
  EXPECT_EQ(static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0))->read_errors, 0u)
      << "nothing beyond the drive was read";
}
