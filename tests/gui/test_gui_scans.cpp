// The scans as the operator runs them in the window: the partition search
// from F12, a double click and the menu, with live progress and "Terminate
// Scan"; the FAT32 fast and slow scans filling the tree and the counters;
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
#include <cstdio>
#include <cstdlib>
#include <set>

#include "app/status.h"
#include "gui_fixture.h"
#include "platform/sysio.h"
#include "scan/records.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

// Reads seen by the device layer; reads from `from_byte` on of at least
// `min_length` bytes are slowed down, as a real drive would be, so that a
// scan spans many refreshes whatever the speed of this machine's page cache.
struct ReadLog {
  std::uint64_t from_byte = UINT64_MAX;
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
  int running = 0;
  int bar = 0;
  QString lba, t_rem, status, t_dirs, t_files;
  bool phy_list = false, log_list = false, dir_tree = false;
  bool scan_physical = false, fast = false, slow = false, terminate = false;
  int tree_roots = 0, root_children = 0;
};

template <class T>
std::size_t Distinct(const std::vector<Sample>& v, T Sample::*field) {
  std::set<T> seen;
  for (const Sample& s : v) seen.insert(s.*field);
  return seen.size();
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
  QString Cell(QAbstractItemView* v, int row, int col) const {
    return v->model()->index(row, col).data().toString().trimmed();
  }

  // The point inside the text of a list row or a tree item, where the style puts it.
  QPoint RowLabel(gui::ListControlView* v, int row) const {
    const QStyleOptionViewItem opt = v->itemOption(v->model()->index(row, 0));
    const QRect text = v->style()->subElementRect(QStyle::SE_ItemViewItemText, &opt, v);
    return QPoint(text.left() + 6, text.center().y());
  }
  QPoint ItemLabel(TreeItem* item) const {
    const QModelIndex idx = Tree()->treeModel()->indexOf(item);
    Tree()->scrollTo(idx);
    const QStyleOptionViewItem opt = Tree()->itemOption(idx);
    const QRect text = Tree()->style()->subElementRect(QStyle::SE_ItemViewItemText, &opt, Tree());
    return QPoint(text.left() + 6, text.center().y());
  }
  void ClickRow(gui::ListControlView* v, int row) {
    QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, RowLabel(v, row));
    Drain();
  }
  // The double click's own notification runs the scan inside Drain.
  void DoubleClickRow(gui::ListControlView* v, int row) {
    QTest::mouseDClick(v->viewport(), Qt::LeftButton, {}, RowLabel(v, row));
    Drain();
  }
  void ClickItem(TreeItem* item) {
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, ItemLabel(item));
    Drain();
  }

  // An image as drive 0, its row chosen by a click.
  void AddDrive(const std::filesystem::path& image) {
    ASSERT_EQ(AddImageFile(App(), image.string()), 1);
    gui::SyncAllDialogs();
    ASSERT_EQ(PhyList()->model()->rowCount(), 1);
    ClickRow(PhyList(), 0);
    ASSERT_NE(GetSelectedRowData(App().phy_list), nullptr);
  }

  // The demo disk grown to `bytes` with a sparse tail: its two volumes near
  // the start, then a long stretch for the search to cross.
  std::filesystem::path GrownDemo(std::uint64_t bytes) {
    const auto p = temp_ / "demo-grown.img";
    std::filesystem::copy_file(GuiFixture("demo.img"), p);
    std::filesystem::resize_file(p, bytes);
    return p;
  }

  // Starts sampling the window every few milliseconds (when the pump lets Qt run).
  void StartSampling() {
    clock_.start();
    sampler_ = new QTimer(Window());
    sampler_->setInterval(5);
    QObject::connect(sampler_, &QTimer::timeout, [this] { samples_.push_back(Take()); });
    sampler_->start();
  }
  void StopSampling() {
    delete sampler_;
    sampler_ = nullptr;
  }
  Sample Take() const {
    Sample s;
    s.ms = clock_.elapsed();
    s.running = App().scan_running;
    s.bar = Widget<QProgressBar>(IDC_PROGRESS)->value();
    s.lba = Text(IDC_LBA);
    s.t_rem = Text(IDC_T_REM);
    s.status = Text(IDC_STATUS);
    s.t_dirs = Text(IDC_T_DIRS);
    s.t_files = Text(IDC_T_FILES);
    s.phy_list = PhyList()->isEnabled();
    s.log_list = LogList()->isEnabled();
    s.dir_tree = Tree()->isEnabled();
    s.scan_physical = Window()->actionFor(IDM_SCAN_PHYSICAL)->isEnabled();
    s.fast = Window()->actionFor(IDM_FAST_LOGICAL)->isEnabled();
    s.slow = Window()->actionFor(IDM_SLOW_LOGICAL)->isEnabled();
    s.terminate = Window()->actionFor(IDM_TERMINATE_SCAN)->isEnabled();
    QAbstractItemModel* m = Tree()->model();
    s.tree_roots = m->rowCount();
    s.root_children = s.tree_roots ? m->rowCount(m->index(0, 0)) : 0;
    return s;
  }
  std::vector<Sample> Running() const {
    std::vector<Sample> out;
    std::copy_if(samples_.begin(), samples_.end(), std::back_inserter(out), [](const Sample& s) { return s.running; });
    return out;
  }
  static qint64 LongestGap(const std::vector<Sample>& v) {
    qint64 gap = 0;
    for (std::size_t i = 1; i < v.size(); ++i) gap = std::max(gap, v[i].ms - v[i - 1].ms);
    return gap;
  }

  std::vector<std::string> LogRows() const {
    std::vector<std::string> out;
    for (int r = 0; r < LogList()->model()->rowCount(); ++r)
      out.push_back((Cell(LogList(), r, 0) + " " + Cell(LogList(), r, 1)).toStdString());
    return out;
  }
  // The search over the chosen drive, run from the menu.
  void SearchFromMenu() {
    Window()->actionFor(IDM_SCAN_PHYSICAL)->trigger();
    Drain();
  }
  int LogRowAt(std::int64_t start_lba) const {
    for (int r = 0; r < ListView_GetItemCount(App().log_list); ++r)
      if (auto* v = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(App().log_list, r)); v && v->start_lba == start_lba)
        return r;
    return -1;
  }
  static TreeItem* Child(TreeItem* parent, const std::string& text) {
    for (TreeItem* c = parent ? parent->first_child : nullptr; c; c = c->next_sibling)
      if (c->text == text) return c;
    return nullptr;
  }
  // The file-list rows' names, as shown.
  std::vector<std::string> FileRows() const {
    std::vector<std::string> out;
    for (int r = 0; r < Files()->model()->rowCount(); ++r) out.push_back(Cell(Files(), r, 0).toStdString());
    return out;
  }
  static std::vector<std::string> FileNames(const INODE_RECD& dir) {
    std::vector<std::string> out;
    const FILE_INODE* f = dir.files_head;
    for (std::uint64_t i = 0; i < dir.file_count && f; ++i, f = f->next_in_dir) out.push_back(f->name);
    return out;
  }

  QElapsedTimer clock_;
  QTimer* sampler_ = nullptr;
  std::vector<Sample> samples_;
};

TEST_F(GuiScanTest, PartitionSearchFromF12ShowsLiveProgressAndEndsWithTheVolumes) {
  AddDrive(GrownDemo(1ull << 30));
  // About 2 ms per 1 MiB chunk: a fast SSD, and a search of a few seconds.
  g_log.from_byte = 0;
  g_log.min_length = kMiB;
  g_log.sleep_us = 2000;
  Window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
  StartSampling();
  QTest::keyClick(Window(), Qt::Key_F12);
  Drain();
  StopSampling();

  const std::vector<Sample> run = Running();
  if (std::getenv("GUI_SCAN_VERBOSE"))
    std::printf("search: %zu samples over %lld ms, %zu bar values, %zu LBA texts, %zu T Rem texts, longest gap %lld ms\n",
                run.size(), run.empty() ? 0LL : (long long)(run.back().ms - run.front().ms), Distinct(run, &Sample::bar),
                Distinct(run, &Sample::lba), Distinct(run, &Sample::t_rem), (long long)LongestGap(run));
  ASSERT_GE(run.size(), 20u) << "the window was serviced while the search ran";
  EXPECT_LT(LongestGap(run), 250) << "no long freeze";
  EXPECT_EQ(run.front().status.left(24), QStringLiteral("Scanning Physical Drive "));
  for (const Sample& s : run) {
    ASSERT_FALSE(s.phy_list) << s.ms;
    ASSERT_FALSE(s.log_list) << s.ms;
    ASSERT_FALSE(s.scan_physical || s.fast || s.slow) << s.ms;
    ASSERT_TRUE(s.terminate) << s.ms;
  }
  // The bar and the LBA field only ever move forward; the time left shows.
  EXPECT_GE(Distinct(run, &Sample::bar), 10u);
  EXPECT_GE(Distinct(run, &Sample::lba), 10u);
  // The bar steps at sector 0 and every 1000th after it, all within its range: it never steps back.
  const auto* bar = Widget<QProgressBar>(IDC_PROGRESS);
  for (std::size_t i = 1; i < run.size(); ++i) {
    ASSERT_GE(run[i].bar, run[i - 1].bar) << i;
  }
  EXPECT_GE(Distinct(run, &Sample::t_rem), 2u);
  EXPECT_TRUE(std::any_of(run.begin(), run.end(), [](const Sample& s) { return s.t_rem != QStringLiteral("00:00:00"); }));
  EXPECT_EQ(bar->maximum(), int(((1ull << 30) / 512 + 999) / 1000));
  EXPECT_GT(std::max_element(run.begin(), run.end(), [](auto& a, auto& b) { return a.bar < b.bar; })->bar,
            bar->maximum() / 2);

  // At the end: the volumes in the list, everything back.
  EXPECT_EQ(LogRows(), (std::vector<std::string>{"63 FAT32", "80325 NTFS"}));
  EXPECT_EQ(App().search_lba, (1ull << 30) / 512);
  const Sample end = Take();
  EXPECT_EQ(end.running, 0);
  EXPECT_TRUE(end.phy_list && end.log_list && end.scan_physical && end.fast && end.slow);
  EXPECT_EQ(end.bar, 0);
  EXPECT_EQ(end.lba, QStringLiteral("0"));
  EXPECT_EQ(end.t_rem, QStringLiteral("00:00:00"));
  EXPECT_EQ(end.status, QStringLiteral("Idle..."));
}

TEST_F(GuiScanTest, TerminateScanFromTheMenuStopsADoubleClickedSearchAfterTheChunk) {
  AddDrive(GrownDemo(1ull << 30));
  g_log.from_byte = 0;
  g_log.min_length = kMiB;
  g_log.sleep_us = 2000;
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
  std::size_t chunks_after = 0;
  for (std::size_t i = reads_at_terminate; i < g_log.reads.size(); ++i) chunks_after += g_log.reads[i].second >= kMiB;
  EXPECT_LE(chunks_after, 1u) << "at most the chunk in progress";
  EXPECT_LE(App().search_lba, lba_at_terminate + 2048);
  EXPECT_LT(App().search_lba, (1ull << 30) / 512 / 2);
  // What was found before the stop, sorted, in the window.
  EXPECT_EQ(LogRows(), (std::vector<std::string>{"63 FAT32", "80325 NTFS"}));
  EXPECT_EQ(App().scan_running, 0);
  EXPECT_TRUE(PhyList()->isEnabled() && LogList()->isEnabled());
  EXPECT_TRUE(Window()->actionFor(IDM_SCAN_PHYSICAL)->isEnabled());
  EXPECT_EQ(Text(IDC_STATUS), QStringLiteral("Idle..."));
}

TEST_F(GuiScanTest, FatScansFillTheTreeAndTheCountersLive) {
  AddDrive(GuiFixture("fat/basic.img"));
  SearchFromMenu();
  const int row = LogRowAt(2048);
  ASSERT_GE(row, 0) << ::testing::PrintToString(LogRows());
  ClickRow(LogList(), row);
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(App().log_list));
  ASSERT_NE(vol, nullptr);
  ASSERT_EQ(vol->fs_type, kFsFat32);

  // Directory clusters come slowly, the FATs at full speed.
  g_log.from_byte = std::uint64_t(vol->data_lba) * 512;
  g_log.sleep_us = 8000;
  StartSampling();
  DoubleClickRow(LogList(), row);
  StopSampling();

  std::vector<Sample> run = Running();
  if (std::getenv("GUI_SCAN_VERBOSE"))
    std::printf("fast scan: %zu samples, %zu Root child counts, %zu T-Files, %zu T-Dirs, %zu reads, longest gap %lld ms\n",
                run.size(), Distinct(run, &Sample::root_children), Distinct(run, &Sample::t_files),
                Distinct(run, &Sample::t_dirs), g_log.reads.size(), (long long)LongestGap(run));
  ASSERT_GE(run.size(), 5u);
  EXPECT_LT(LongestGap(run), 250);
  for (const Sample& s : run) {
    ASSERT_FALSE(s.phy_list || s.log_list || s.dir_tree) << s.ms;
    ASSERT_FALSE(s.scan_physical || s.fast || s.slow) << s.ms;
  }
  // Root is there from the start; its children and the counters grow.
  EXPECT_EQ(run.back().tree_roots, 1);
  EXPECT_GE(Distinct(run, &Sample::root_children), 2u);
  EXPECT_GE(Distinct(run, &Sample::t_files), 3u);
  EXPECT_GE(Distinct(run, &Sample::t_dirs), 2u);
  EXPECT_TRUE(std::any_of(run.begin(), run.end(), [](const Sample& s) { return s.status.startsWith("Scanning Logical LBA 2,048"); }));

  TreeItem* root = App().root_item;
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Tree()->model()->index(0, 0).data().toString(), QString::fromStdString(root->text));
  EXPECT_EQ(Text(IDC_T_DIRS), QString::fromStdString(FormatThousands(std::uint64_t(vol->dirs_found))));
  EXPECT_EQ(Text(IDC_T_FILES), QString::fromStdString(FormatThousands(std::uint64_t(vol->files_found))));
  EXPECT_GT(vol->files_found, 40);
  EXPECT_TRUE(Window()->actionFor(IDM_FAST_LOGICAL)->isEnabled());
  EXPECT_TRUE(Tree()->isEnabled());

  // A directory's label shows its files.
  Tree()->expand(Tree()->treeModel()->indexOf(root));
  TreeItem* photos = Child(root, "Photo Archive");
  ASSERT_NE(photos, nullptr);
  ClickItem(photos);
  ASSERT_EQ(App().dir_tree->selection, photos);
  EXPECT_EQ(FileRows(), FileNames(*GetItemRecord(App(), photos)));
  EXPECT_GE(Files()->model()->rowCount(), 10);
  EXPECT_EQ(FileRows().front(), "Holiday picture number 00 taken at the lake.jpg");

  // The slow scan from the menu: the menus stay, the counters move again.
  samples_.clear();
  StartSampling();
  Window()->actionFor(IDM_SLOW_LOGICAL)->trigger();
  Drain();
  StopSampling();
  run = Running();
  if (std::getenv("GUI_SCAN_VERBOSE"))
    std::printf("slow scan: %zu samples, %zu T-Files, longest gap %lld ms\n", run.size(), Distinct(run, &Sample::t_files),
                (long long)LongestGap(run));
  ASSERT_GE(run.size(), 3u);
  EXPECT_LT(LongestGap(run), 250);
  EXPECT_GE(Distinct(run, &Sample::t_files), 2u);
  for (const Sample& s : run) ASSERT_FALSE(s.phy_list || s.log_list || s.dir_tree) << s.ms;

  root = App().root_item;
  ASSERT_NE(root, nullptr);
  Tree()->expand(Tree()->treeModel()->indexOf(root));
  // The root's subdirectories come back as ROOT<cluster>, the root itself as ORPH<cluster>.
  TreeItem* with_files = nullptr;
  std::size_t most = 0;
  for (TreeItem* c = root->first_child; c; c = c->next_sibling) {
    if (const INODE_RECD* r = GetItemRecord(App(), c); r && r->file_count > most) {
      most = r->file_count;
      with_files = c;
    }
  }
  ASSERT_NE(with_files, nullptr);
  EXPECT_TRUE(with_files->text.starts_with("ROOT") || with_files->text.starts_with("ORPH")) << with_files->text;
  int children = 0;
  for (TreeItem* c = root->first_child; c; c = c->next_sibling) ++children;
  EXPECT_EQ(Tree()->model()->rowCount(Tree()->treeModel()->indexOf(root)), children);
  ClickItem(with_files);
  ASSERT_EQ(App().dir_tree->selection, with_files);
  EXPECT_EQ(FileRows(), FileNames(*GetItemRecord(App(), with_files)));
  EXPECT_EQ(Files()->model()->rowCount(), int(most));
  EXPECT_EQ(Text(IDC_T_FILES), QString::fromStdString(FormatThousands(std::uint64_t(vol->files_found))));
}

TEST_F(GuiScanTest, ScreenshotOfTheDemoFat32VolumeAfterTheFastScan) {
  AddDrive(GuiFixture("demo.img"));
  SearchFromMenu();
  ASSERT_EQ(LogRows(), (std::vector<std::string>{"63 FAT32", "80325 NTFS"}));
  ClickRow(LogList(), 0);
  DoubleClickRow(LogList(), 0);
  TreeItem* root = App().root_item;
  ASSERT_NE(root, nullptr);
  Tree()->expandAll();
  TreeItem* docs = Child(root, "DOCS");
  ASSERT_NE(docs, nullptr);
  ClickItem(docs);
  ASSERT_EQ(App().dir_tree->selection, docs);
  std::vector<std::string> rows = FileRows();
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::string>{"Meeting notes.txt", "Old draft.txt", "Quarterly report.txt"}));
  // The oracle's six: five files and the volume label, which is listed as a file.
  EXPECT_EQ(Text(IDC_T_FILES), QStringLiteral("6"));
  EXPECT_EQ(Text(IDC_T_DIRS), QStringLiteral("2"));
  QApplication::processEvents();

  const QImage shot = Window()->grab().toImage();
  const QString path = QStringLiteral(RETROVA_GUI_OUTPUT_DIR "/fat_scan.png");
  ASSERT_TRUE(shot.save(path)) << path.toStdString();
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
