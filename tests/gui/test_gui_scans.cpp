// The scans as the operator runs them in the window: the partition search
// from F12, a double click and the menu, with live progress and "Terminate
// Scan"; the FAT32 and NTFS fast and slow scans filling the tree and the counters;
// a screenshot of a scanned volume.
//
// The samples are taken by a QTimer: it can fire only inside the pump's
// processEvents, so every sample taken while a scan runs is also proof that
// the window was serviced at that moment.
#include <QAction>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <set>

#include "disk/drive_list.h"
#include "app/status.h"
#include "gui_fixture.h"
#include "platform/sysio.h"
#include "scan/records.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kGrownBytes = 1ull << 30;

// Reads seen by the device layer; reads from `from_byte` on of at least
// `min_length` bytes are slowed down, as a real drive would be, so that a
// scan spans many refreshes whatever the speed of this machine's page cache.
struct ReadLog {
  std::uint64_t from_byte = 0;
  std::size_t min_length = 0;
  unsigned sleep_us = 0;
  std::vector<std::pair<std::uint64_t, std::size_t>> reads;
};
ReadLog g_log;

ReadFault LogRead(DevHandle, std::uint64_t offset, std::size_t length) {
  g_log.reads.emplace_back(offset, length);
  if (offset >= g_log.from_byte && length >= g_log.min_length && g_log.sleep_us) QThread::usleep(g_log.sleep_us);
  return {};
}

// What the window showed at one moment.
struct Sample {
  qint64 ms = 0;
  qint64 waited_ms = 0;  // time the thread was ready but given no processor, so far
  int running = 0, bar = 0, root_children = 0;
  QString lba, t_rem, status, t_dirs, t_files;
  bool lists = false, menus = false;  // a drive list, a scan menu enabled
  bool tree = false, terminate = false;
};

template <class T>
std::size_t Distinct(const std::vector<Sample>& v, T Sample::*field) {
  std::set<T> seen;
  for (const Sample& s : v) seen.insert(s.*field);
  return seen.size();
}

// The run queue delay of this thread (the second field of schedstat), in ms;
// 0 where the kernel does not keep it.
qint64 WaitedMs() {
  std::ifstream in("/proc/thread-self/schedstat");
  std::uint64_t on_cpu = 0, waited_ns = 0;
  return in >> on_cpu >> waited_ns ? qint64(waited_ns / 1'000'000) : 0;
}

// The longest time the window went unserviced by the program's own doing:
// time spent waiting for a processor that other processes held (a loaded
// machine) is not the program's freeze.
qint64 LongestGap(const std::vector<Sample>& v) {
  qint64 gap = 0;
  for (std::size_t i = 1; i < v.size(); ++i)
    gap = std::max(gap, (v[i].ms - v[i - 1].ms) - (v[i].waited_ms - v[i - 1].waited_ms));
  return gap;
}

}  // namespace

class GuiScanTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    g_log = ReadLog{};
    sys_SetReadFaultHook(LogRead);
    OpenMain();
  }
  void TearDown() override {
    sys_SetReadFaultHook(nullptr);
    ResetScanTree(App());
    ClearLogicalDriveList(App());
    GuiTest::TearDown();
    FreeAllLogDrives();
  }

  gui::ListControlView* PhyList() const { return Widget<gui::ListControlView>(IDC_PHY_LIST); }
  gui::ListControlView* LogList() const { return Widget<gui::ListControlView>(IDC_LOG_LIST); }
  gui::ListControlView* Files() const { return Widget<gui::ListControlView>(IDC_FILE_LIST); }
  gui::TreeControlView* Tree() const { return Widget<gui::TreeControlView>(IDC_DIR_TREE); }
  QString Text(int id) const { return Widget<QLabel>(id)->text(); }
  bool On(int menu_id) const { return Window()->actionFor(menu_id)->isEnabled(); }

  void ClickRow(gui::ListControlView* v, int row) {
    ClickAt(v, LabelAt(v, v->model()->index(row, 0)));
    Drain();
  }
  // The double click's own notification runs the scan inside Drain.
  void DoubleClickRow(gui::ListControlView* v, int row) {
    QTest::mouseDClick(v->viewport(), Qt::LeftButton, {}, LabelAt(v, v->model()->index(row, 0)));
    Drain();
  }
  void ClickItem(TreeItem* item) {
    const QModelIndex idx = Tree()->treeModel()->indexOf(item);
    Tree()->scrollTo(idx);
    ClickAt(Tree(), LabelAt(Tree(), idx));
    Drain();
    ASSERT_EQ(App().dir_tree->selection, item);
  }
  void Trigger(int menu_id) {
    Window()->actionFor(menu_id)->trigger();
    Drain();
  }

  // An image as drive 0, its row chosen by a click.
  void AddDrive(const std::filesystem::path& image) {
    ASSERT_EQ(AddImageFile(App(), image.string()), 1);
    gui::SyncAllDialogs();
    ClickRow(PhyList(), 0);
    ASSERT_NE(GetSelectedRowData(App().phy_list), nullptr);
  }
  // The demo disk grown to 1 GiB with a sparse tail: its two volumes near the
  // start, then a long stretch for the search to cross, read slowly (about
  // 2 ms per 1 MiB chunk: a fast SSD, and a search of a few seconds).
  void AddGrownDemo() {
    const auto p = temp_ / "demo-grown.img";
    std::filesystem::copy_file(GuiFixture("demo.img"), p);
    std::filesystem::resize_file(p, kGrownBytes);
    AddDrive(p);
    g_log.min_length = kMiB;
    g_log.sleep_us = 2000;
  }

  // Runs `act` while sampling the window every few milliseconds (when the
  // pump lets Qt run); the samples taken while a scan ran.
  template <class F>
  std::vector<Sample> Sampled(F act) {
    std::vector<Sample> all;
    clock_.start();
    QTimer sampler;
    sampler.setInterval(5);
    QObject::connect(&sampler, &QTimer::timeout, [&] { all.push_back(Take()); });
    sampler.start();
    act();
    sampler.stop();
    std::erase_if(all, [](const Sample& s) { return !s.running; });
    return all;
  }
  Sample Take() const {
    QAbstractItemModel* m = Tree()->model();
    return Sample{clock_.elapsed(), WaitedMs(), App().scan_running, Widget<QProgressBar>(IDC_PROGRESS)->value(),
                  m->rowCount() ? m->rowCount(m->index(0, 0)) : 0,
                  Text(IDC_LBA), Text(IDC_T_REM), Text(IDC_STATUS), Text(IDC_T_DIRS), Text(IDC_T_FILES),
                  PhyList()->isEnabled() || LogList()->isEnabled(),
                  On(IDM_SCAN_PHYSICAL) || On(IDM_FAST_LOGICAL) || On(IDM_SLOW_LOGICAL),
                  Tree()->isEnabled(), On(IDM_TERMINATE_SCAN)};
  }

  std::vector<std::string> LogRows() const {
    std::vector<std::string> out;
    for (int r = 0; r < LogList()->model()->rowCount(); ++r)
      out.push_back((LogList()->model()->index(r, 0).data().toString().trimmed() + " " +
                     LogList()->model()->index(r, 1).data().toString().trimmed()).toStdString());
    return out;
  }
  // After a scan: idle again, every input back.
  void ExpectIdle() const {
    EXPECT_EQ(App().scan_running, 0);
    EXPECT_TRUE(PhyList()->isEnabled() && LogList()->isEnabled());
    EXPECT_TRUE(On(IDM_SCAN_PHYSICAL) && On(IDM_FAST_LOGICAL) && On(IDM_SLOW_LOGICAL));
    EXPECT_EQ(Text(IDC_STATUS), QStringLiteral("Idle..."));
  }
  static TreeItem* Child(TreeItem* parent, const std::string& text) {
    for (TreeItem* c = parent ? parent->first_child : nullptr; c; c = c->next_sibling)
      if (c->text == text) return c;
    return nullptr;
  }
  // The file list's names as shown.
  std::vector<std::string> FileRows() const {
    std::vector<std::string> out;
    for (int r = 0; r < Files()->model()->rowCount(); ++r)
      out.push_back(Files()->model()->index(r, 0).data().toString().trimmed().toStdString());
    return out;
  }

  QElapsedTimer clock_;
};

TEST_F(GuiScanTest, PartitionSearchFromF12ShowsLiveProgressAndEndsWithTheVolumes) {
  AddGrownDemo();
  Window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
  const std::vector<Sample> run = Sampled([&] {
    QTest::keyClick(Window(), Qt::Key_F12);
    Drain();
  });

  ASSERT_GE(run.size(), 20u) << "the window was serviced while the search ran";
  EXPECT_LT(LongestGap(run), 250) << "no long freeze";
  EXPECT_EQ(run.front().status.left(24), QStringLiteral("Scanning Physical Drive "));
  for (const Sample& s : run) {
    ASSERT_FALSE(s.lists || s.menus) << s.ms;
    ASSERT_TRUE(s.terminate) << s.ms;
  }
  // The bar (stepping at sector 0 and every 1000th after it) and the LBA field
  // move and never step back; the time left shows.
  EXPECT_GE(Distinct(run, &Sample::bar), 10u);
  EXPECT_GE(Distinct(run, &Sample::lba), 10u);
  for (std::size_t i = 1; i < run.size(); ++i) ASSERT_GE(run[i].bar, run[i - 1].bar) << i;
  EXPECT_GE(Distinct(run, &Sample::t_rem), 2u);
  EXPECT_TRUE(std::any_of(run.begin(), run.end(), [](const Sample& s) { return s.t_rem != QStringLiteral("00:00:00"); }));
  const int maximum = Widget<QProgressBar>(IDC_PROGRESS)->maximum();
  EXPECT_EQ(maximum, int((kGrownBytes / 512 + 999) / 1000));
  EXPECT_GT(run.back().bar, maximum / 2);

  EXPECT_EQ(LogRows(), (std::vector<std::string>{"63 FAT32", "80325 NTFS"}));
  EXPECT_EQ(App().search_lba, kGrownBytes / 512);
  ExpectIdle();
  EXPECT_EQ(Widget<QProgressBar>(IDC_PROGRESS)->value(), 0);
  EXPECT_EQ(Text(IDC_LBA), QStringLiteral("0"));
  EXPECT_EQ(Text(IDC_T_REM), QStringLiteral("00:00:00"));
}

TEST_F(GuiScanTest, TerminateScanFromTheMenuStopsADoubleClickedSearchAfterTheChunk) {
  AddGrownDemo();
  std::uint64_t lba_at_terminate = 0;
  std::size_t reads_at_terminate = 0;
  bool info_shown = false;
  QTimer::singleShot(400, Window(), [&] {
    ASSERT_EQ(App().scan_running, 1);
    info_shown = Widget<gui::TreeControlView>(IDC_INFO_TREE)->model()->rowCount() > 0;
    lba_at_terminate = App().search_lba;
    reads_at_terminate = g_log.reads.size();
    Window()->actionFor(IDM_TERMINATE_SCAN)->trigger();
  });
  DoubleClickRow(PhyList(), 0);

  ASSERT_GT(reads_at_terminate, 0u);
  EXPECT_TRUE(info_shown) << "the double click refreshes the drive details first";
  const auto chunks_after = std::count_if(g_log.reads.begin() + reads_at_terminate, g_log.reads.end(),
                                          [](const auto& r) { return r.second >= kMiB; });
  EXPECT_LE(chunks_after, 1) << "at most the chunk in progress";
  EXPECT_LE(App().search_lba, lba_at_terminate + 2048);
  EXPECT_LT(App().search_lba, kGrownBytes / 512 / 2);
  // What was found before the stop, sorted, in the window.
  EXPECT_EQ(LogRows(), (std::vector<std::string>{"63 FAT32", "80325 NTFS"}));
  ExpectIdle();
}

TEST_F(GuiScanTest, FatScansFillTheTreeAndTheCountersLive) {
  AddDrive(GuiFixture("fat/basic.img"));
  Trigger(IDM_SCAN_PHYSICAL);
  int row = -1;
  for (int r = 0; r < ListView_GetItemCount(App().log_list); ++r)
    if (auto* v = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(App().log_list, r)); v && v->start_lba == 2048) row = r;
  ASSERT_GE(row, 0) << ::testing::PrintToString(LogRows());
  ClickRow(LogList(), row);
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(App().log_list));
  ASSERT_NE(vol, nullptr);
  ASSERT_EQ(vol->fs_type, kFsFat32);

  // Directory clusters come slowly, the FATs at full speed.
  g_log.from_byte = std::uint64_t(vol->data_lba) * 512;
  g_log.sleep_us = 8000;
  std::vector<Sample> run = Sampled([&] { DoubleClickRow(LogList(), row); });
  ASSERT_GE(run.size(), 5u);
  EXPECT_LT(LongestGap(run), 250);
  for (const Sample& s : run) ASSERT_FALSE(s.lists || s.menus || s.tree) << s.ms;
  // Root is there from the start; its children and the counters grow.
  EXPECT_GE(Distinct(run, &Sample::root_children), 2u);
  EXPECT_GE(Distinct(run, &Sample::t_files), 3u);
  EXPECT_GE(Distinct(run, &Sample::t_dirs), 2u);
  EXPECT_TRUE(std::any_of(run.begin(), run.end(), [](const Sample& s) { return s.status.startsWith("Scanning Logical LBA 2,048"); }));

  TreeItem* root = App().root_item;
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Tree()->model()->rowCount(), 1);
  EXPECT_EQ(Tree()->model()->index(0, 0).data().toString(), QString::fromStdString(root->text));
  EXPECT_EQ(Text(IDC_T_DIRS), QString::fromStdString(FormatThousands(std::uint64_t(vol->dirs_found))));
  EXPECT_EQ(Text(IDC_T_FILES), QString::fromStdString(FormatThousands(std::uint64_t(vol->files_found))));
  EXPECT_GT(vol->files_found, 40);
  EXPECT_TRUE(On(IDM_FAST_LOGICAL));
  EXPECT_TRUE(Tree()->isEnabled());

  // A directory's label shows its files.
  Tree()->expand(Tree()->treeModel()->indexOf(root));
  TreeItem* photos = Child(root, "Photo Archive");
  ASSERT_NE(photos, nullptr);
  ClickItem(photos);
  EXPECT_EQ(Files()->model()->rowCount(), int(GetItemRecord(App(), photos)->file_count));
  EXPECT_GE(Files()->model()->rowCount(), 10);
  EXPECT_EQ(FileRows().front(), "Holiday picture number 00 taken at the lake.jpg");

  // The slow scan from the menu: the menus stay, the counters move again.
  run = Sampled([&] { Trigger(IDM_SLOW_LOGICAL); });
  ASSERT_GE(run.size(), 3u);
  EXPECT_LT(LongestGap(run), 250);
  EXPECT_GE(Distinct(run, &Sample::t_files), 2u);
  for (const Sample& s : run) ASSERT_FALSE(s.lists || s.tree) << s.ms;

  root = App().root_item;
  ASSERT_NE(root, nullptr);
  Tree()->expand(Tree()->treeModel()->indexOf(root));
  int children = 0;
  for (TreeItem* c = root->first_child; c; c = c->next_sibling) ++children;
  EXPECT_GT(children, 0);
  EXPECT_EQ(Tree()->model()->rowCount(Tree()->treeModel()->indexOf(root)), children);
  EXPECT_EQ(Text(IDC_T_FILES), QString::fromStdString(FormatThousands(std::uint64_t(vol->files_found))));
}

TEST_F(GuiScanTest, ScreenshotOfTheDemoFat32VolumeAfterTheFastScan) {
  AddDrive(GuiFixture("demo.img"));
  Trigger(IDM_SCAN_PHYSICAL);
  ASSERT_EQ(LogRows(), (std::vector<std::string>{"63 FAT32", "80325 NTFS"}));
  ClickRow(LogList(), 0);
  DoubleClickRow(LogList(), 0);
  ASSERT_NE(App().root_item, nullptr);
  Tree()->expandAll();
  TreeItem* docs = Child(App().root_item, "DOCS");
  ASSERT_NE(docs, nullptr);
  ClickItem(docs);
  std::vector<std::string> rows = FileRows();
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::string>{"Meeting notes.txt", "Old draft.txt", "Quarterly report.txt"}));
  // The oracle's six: five files and the volume label, which is listed as a file.
  EXPECT_EQ(Text(IDC_T_FILES), QStringLiteral("6"));
  EXPECT_EQ(Text(IDC_T_DIRS), QStringLiteral("2"));
  QApplication::processEvents();

  const QImage shot = Window()->grab().toImage();
  ASSERT_TRUE(shot.save(QStringLiteral(RETROVA_GUI_OUTPUT_DIR "/fat_scan.png")));
  // The selected directory's files are on screen: blue text (in use) and red
  // text (deleted) inside the file list.
  const QRect list = Files()->geometry().translated(Window()->client()->pos());
  int blue = 0, red = 0;
  for (int y = list.top(); y < list.bottom(); ++y)
    for (int x = list.left(); x < list.right(); ++x) {
      const QColor c(shot.pixel(x, y));
      blue += c.blue() > 150 && c.red() < 90 && c.green() < 90;
      red += c.red() > 150 && c.green() < 90 && c.blue() < 90;
    }
  EXPECT_GT(blue, 10);
  EXPECT_GT(red, 10);
}

TEST_F(GuiScanTest, NtfsScansFillTheTreeWithTheLinkingNodes) {
  AddDrive(GuiFixture("demo.img"));
  Trigger(IDM_SCAN_PHYSICAL);
  ASSERT_EQ(LogRows(), (std::vector<std::string>{"63 FAT32", "80325 NTFS"}));
  ClickRow(LogList(), 1);
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(App().log_list));
  ASSERT_NE(vol, nullptr);
  ASSERT_EQ(vol->fs_type, kFsNtfs);

  // Reads of the $MFT and after it come slowly, so the pump has a sample to take.
  g_log.from_byte = std::uint64_t(vol->mft_lba) * 512;
  g_log.min_length = 1024;
  g_log.sleep_us = 20000;
  std::vector<Sample> run = Sampled([&] { DoubleClickRow(LogList(), 1); });
  ASSERT_GE(run.size(), 1u) << "the window was serviced while the fast scan ran";
  for (const Sample& s : run) ASSERT_FALSE(s.lists || s.menus || s.tree) << "the fast scan greys the menu " << s.ms;
  EXPECT_TRUE(std::any_of(run.begin(), run.end(), [](const Sample& s) { return s.status.startsWith("Scanning Logical LBA 80,325"); }));
  ExpectIdle();

  TreeItem* root = App().root_item;
  ASSERT_NE(root, nullptr);
  Tree()->expandAll();
  for (const char* name : {"Docs", "$Extend", "Unlinked Data", "Orphan Files"}) EXPECT_NE(Child(root, name), nullptr) << name;
  ASSERT_NE(Child(root, "Orphan Files"), nullptr);
  EXPECT_EQ(Child(root, "Orphan Files")->next_sibling, nullptr) << "the last child of Root";
  ClickItem(Child(root, "Docs"));
  std::vector<std::string> rows = FileRows();
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::string>{"Lost chapter.txt", "Project plan.txt", "Small note.txt"}));
  ClickItem(root);
  rows = FileRows();
  EXPECT_NE(std::find(rows.begin(), rows.end(), "Readme.txt"), rows.end());
  EXPECT_NE(std::find(rows.begin(), rows.end(), "Deleted memo.txt"), rows.end());
  EXPECT_EQ(Text(IDC_T_FILES), QString::fromStdString(FormatThousands(std::uint64_t(vol->files_found))));

  // The slow scan from the menu leaves the menus enabled while it searches.
  g_log.min_length = kMiB;
  g_log.sleep_us = 30000;
  run = Sampled([&] { Trigger(IDM_SLOW_LOGICAL); });
  ASSERT_GE(run.size(), 3u);
  for (const Sample& s : run) {
    ASSERT_FALSE(s.lists || s.tree) << s.ms;
    ASSERT_TRUE(s.menus) << s.ms;
  }
  ExpectIdle();
  root = App().root_item;
  ASSERT_NE(root, nullptr);
  Tree()->expandAll();
  EXPECT_NE(Child(root, "Docs"), nullptr);
  EXPECT_EQ(Text(IDC_T_FILES), QString::fromStdString(FormatThousands(std::uint64_t(vol->files_found))));
}
