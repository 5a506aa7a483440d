// "Scan Physical Drive": chunked reads, progress, the menu lock, Terminate
// Scan, and the retrova-cli verb that runs it.
#include <cstdio>

#include "platform/frontend.h"
#include "platform/sysio.h"
#include "res/resources.h"
#include "volume_images.h"

using namespace vimg;

namespace {


// What the search looked like at each read request.
struct ReadSeen {
  std::uint64_t lba, sectors;
  int bar_pos;
  std::string lba_field, status;
  bool locked;  // lists and "Scan Physical Drive" disabled, Terminate enabled, scan flagged running
};
std::vector<ReadSeen> g_reads;

ReadFault RecordRead(DevHandle, std::uint64_t offset, std::size_t length) {
  AppContext& c = App();
  const Menu* menu = c.main_dlg->menu.get();
  g_reads.push_back({offset / 512, length / 512, c.progress_bar->pos, GetDlgItemText(c.main_dlg, IDC_LBA),
                     GetDlgItemText(c.main_dlg, IDC_STATUS),
                     !c.phy_list->enabled && !c.log_list->enabled && !Menu_FindCommand(menu, IDM_SCAN_PHYSICAL)->enabled &&
                         Menu_FindCommand(menu, IDM_TERMINATE_SCAN)->enabled && c.scan_running == 1});
  return {};
}


}  // namespace

class PhysicalScanTest : public VolumeImageTest {
 protected:
  void SetUp() override {
    VolumeImageTest::SetUp();
    g_reads.clear();
  }
  // Searches drive 0 with every read recorded; `command` arrives at the search's first step.
  void RecordedScan(int command = 0) {
    Select(0);
    if (command) headless::PostCommandAfterSteps(0, IDD_MAIN, command);
    sys_SetReadFaultHook(RecordRead);
    Scan();
    sys_SetReadFaultHook(nullptr);
  }
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }
  bool Enabled(int command) { return Menu_FindCommand(ctx().main_dlg->menu.get(), command)->enabled; }
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
  // rest makes the search read a candidate there, after the rest has begun.
  OpenMainWindow();
  AddDisk(6100, {{6048, Table({Entry{0x06, 1, 62, 0, 0, 62}})}});
  RecordedScan();

  // Progress steps at sectors 0, 1000 and 2000, then 3000 and 4000; none in the rest pass.
  const std::vector<std::array<std::uint64_t, 3>> chunks = {{0, 2048, 0}, {2048, 2048, 3}, {4096, 2004, 5}};
  ASSERT_GE(g_reads.size(), 4u);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(g_reads[i].lba, chunks[i][0]) << "read " << i;
    EXPECT_EQ(g_reads[i].sectors, chunks[i][1]) << "read " << i;
    EXPECT_EQ(g_reads[i].bar_pos, static_cast<int>(chunks[i][2])) << "read " << i;
  }
  EXPECT_EQ(g_reads[3].lba, 6049u) << "the candidate of the table at 6048";
  EXPECT_EQ(g_reads[3].bar_pos, 5);
  EXPECT_EQ(g_reads[1].lba_field, "2,000");
  for (const ReadSeen& r : g_reads) {
    EXPECT_EQ(r.status, "Scanning Physical Drive " + (TempDir() / "disk.img").string().substr(0, 40));
    EXPECT_TRUE(r.locked);
  }

  EXPECT_EQ(ctx().progress_bar->high, 7) << "6100 sectors: steps at 0 .. 6000 fit the range";
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(255, 0, 0));
  EXPECT_EQ(ctx().progress_bar->pos, 0);
  EXPECT_EQ(Field(IDC_LBA), "0");
  EXPECT_EQ(Field(IDC_T_REM), "00:00:00");
  EXPECT_EQ(Field(IDC_STATUS), "Idle...");
  EXPECT_TRUE(ctx().phy_list->enabled && ctx().log_list->enabled);
  EXPECT_TRUE(Enabled(IDM_SCAN_PHYSICAL));
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_EQ(ctx().search_lba, 6100u);
  EXPECT_EQ(ctx().search_total, 6100u);
  EXPECT_EQ(Lbas(), (std::vector<std::int64_t>{6049}));
}

TEST_F(PhysicalScanTest, TerminateAfterTheFirstChunkKeepsWhatItFoundSorted) {
  // The table at 0 lists 1827 before the boot record at 1008 is met; the
  // volume at 3024 lies in the second chunk, which never runs.
  OpenMainWindow();
  AddDisk(5000,
          {{0, Table({Entry{0x0C, 1827, 630}})},
           {1008, Fat32Boot({.total = 500})},
           {1827, Fat32Boot({.total = 630})},
           {3024, Fat32Boot({.total = 500})}});
  RecordedScan(IDM_TERMINATE_SCAN);
  EXPECT_EQ(Lbas(), (std::vector<std::int64_t>{1008, 1827}));
  for (const ReadSeen& r : g_reads) EXPECT_LT(r.lba, 2048u) << "nothing after the first chunk was read";
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_TRUE(ctx().phy_list->enabled);
  EXPECT_TRUE(Enabled(IDM_ABOUT));
  EXPECT_EQ(Field(IDC_STATUS), "Idle...");
}

TEST_F(PhysicalScanTest, ACommandThatSlipsPastTheLockDoesNotRestartTheSearch) {
  OpenMainWindow();
  AddDisk(5000, {{1008, Fat32Boot({.total = 500})}, {4032, Fat32Boot({.total = 500})}}, "a.img");
  AddDisk(3000, {{2016, Fat32Boot({.total = 500})}}, "b.img");
  RecordedScan(IDM_SCAN_PHYSICAL);
  ASSERT_EQ(g_reads.size(), 3u) << "one pass: two chunks and the rest";
  EXPECT_EQ(Lbas(), (std::vector<std::int64_t>{1008, 4032}));

  // Another drive: the operator agrees to lose the list; the new one is that drive's alone.
  headless::AnswerMessageBox(IDYES);
  Select(1);
  Scan();
  EXPECT_EQ(Lbas(), (std::vector<std::int64_t>{2016}));
}

TEST_F(PhysicalScanTest, CliPrintsTheLogicalDriveListOfAnImageOrARow) {
  const auto a = TempDir() / "a.img";
  const auto b = TempDir() / "b.img";
  WriteImage(a, 5000, {{0, Table({Entry{0x0C, 63, 1197}})}, {63, Fat32Boot({.total = 1197})}});
  WriteImage(b, 3000, {{2016, NtfsBoot({.total = 800})}});

  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {a.string(), 0, "63\tFAT32   \t0.00 GB\t3\t1\n"},
      {b.string() + " --image " + a.string(), 0, "2016\tNTFS    \t0.00 GB\t4\t1\n"},
      {"999 --image " + a.string(), 2, ""},
      {(TempDir() / "missing.img").string(), 2, ""}};
  for (const auto& [args, status, out] : cases) {
    const CliRun r = RunCli("volumes " + args);
    EXPECT_EQ(r.status, status) << args;
    EXPECT_EQ(r.out, out) << args;
  }
}

TEST_F(PhysicalScanTest, AVolumeClaimingMoreThanTheDriveHoldsIsScannedOnlyAsFarAsTheDrive) {
  // A 600 KB disk whose FAT32 boot record claims 2^32-1 sectors and 4 M FAT sectors:
  // the scans would size their tables and walks from the claim.
  OpenMainWindow();
  AddDisk(1200, {{0, Fat32Boot({.spc = 1, .fat_size = 4'000'000, .total = 0xFFFFFFFFu})}}, "claim.img");
  Select(0);
  Scan();
  ASSERT_EQ(ListView_GetItemCount(ctx().log_list), 1);
  EXPECT_EQ(Row(0)->total_sectors, 0xFFFFFFFFll) << "the record keeps what the boot record says";
  EXPECT_EQ(Row(0)->cluster_count, 0) << "its data area starts beyond the drive";

  // A volume whose data area lies on the drive keeps the clusters the drive holds.
  CloseMainWindow();
  OpenMainWindow();
  AddDisk(1200, {{0, Fat32Boot({.spc = 1, .fat_size = 100, .total = 0xFFFFFFFFu})}}, "claim2.img");
  Select(0);
  Scan();
  EXPECT_EQ(Row(0)->cluster_count, 1200 - (32 + 2 * 100));
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  PostCommand(ctx().main_dlg, IDM_SLOW_LOGICAL);
  PostCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
  DrainQueue();
  EXPECT_EQ(ctx().scan_running, 0);
  EXPECT_EQ(ctx().phy_list->rows.size(), 1u);
  EXPECT_EQ(Drive(0).read_errors, 0u) << "nothing beyond the drive was read";
}
