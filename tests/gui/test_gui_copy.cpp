// The copy-out and the verify as the operator runs them in the window: a
// scanned fixture, directories and files ticked with clicks on their check
// boxes, the commands from the menu, the folder chooser answered; the
// copies byte for byte against icat's MD5s, the ticks and marks gone, the
// per-file bar moving while a file is copied; verify's flagged rows drawn red.
#include <QAction>
#include <QCryptographicHash>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "app/status.h"
#include "gui_fixture.h"
#include "platform/sysio.h"
#include "scan/records.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace fs = std::filesystem;

namespace {

// Reads from this byte on are slowed, so a copy spans several refreshes.
std::uint64_t g_slow_from = ~0ull;
ReadFault SlowRead(DevHandle, std::uint64_t offset, std::size_t) {
  if (offset >= g_slow_from) QThread::usleep(20000);
  return {};
}

// "md5  field  path" lines of a fixture's MD5 list, by path.
std::map<std::string, std::string> Md5List(const std::string& name) {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(RETROVA_FIXTURES) / name);
  for (std::string line; std::getline(in, line);) {
    const std::size_t a = line.find("  "), b = line.find("  ", a + 2);
    if (a != std::string::npos && b != std::string::npos) out[line.substr(b + 2)] = line.substr(0, a);
  }
  return out;
}

std::string Md5Of(const fs::path& p) {
  QFile f(QString::fromStdString(p.string()));
  if (!f.open(QIODevice::ReadOnly)) return "(unreadable)";
  return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Md5).toHex().toStdString();
}

// Answers the next folder chooser with `folder`, as the operator types it and presses Choose.
void AnswerChooser(const fs::path& folder, QString* title) {
  QTimer::singleShot(0, [folder, title] {
    auto* fd = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(fd, nullptr) << "the folder chooser is shown";
    *title = fd->windowTitle();
    fd->setDirectory(QString::fromStdString(folder.string()));
    fd->selectFile(QString::fromStdString(folder.string()));
    static_cast<QDialog*>(fd)->accept();
  });
}

}  // namespace

class GuiCopyTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    g_slow_from = ~0ull;
    sys_SetReadFaultHook(SlowRead);
    OpenMain();
    dest_ = temp_ / "out";
    fs::create_directories(dest_);
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

  void Trigger(int menu_id) {
    Window()->actionFor(menu_id)->trigger();
    Drain();
  }
  // The fixture as drive 0, the partition search run, its volume at `lba` scanned by a double click.
  LOGDRIVE_INFO* ScanFixture(const std::string& name, std::int64_t lba) {
    EXPECT_EQ(AddImageFile(App(), GuiFixture(name).string()), 1);
    gui::SyncAllDialogs();
    ClickAt(PhyList(), LabelAt(PhyList(), PhyList()->model()->index(0, 0)));
    Drain();
    Trigger(IDM_SCAN_PHYSICAL);
    int row = -1;
    for (int r = 0; r < ListView_GetItemCount(App().log_list); ++r)
      if (auto* v = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(App().log_list, r)); v && v->start_lba == lba) row = r;
    if (row < 0) return nullptr;
    const QModelIndex idx = LogList()->model()->index(row, 0);
    ClickAt(LogList(), LabelAt(LogList(), idx));
    Drain();
    QTest::mouseDClick(LogList()->viewport(), Qt::LeftButton, {}, LabelAt(LogList(), idx));
    Drain();
    Tree()->expandAll();
    return static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(App().log_list));
  }

  QModelIndex IndexOf(TreeItem* item) const { return Tree()->treeModel()->indexOf(item); }
  void ClickBox(TreeItem* item) {
    Tree()->scrollTo(IndexOf(item));
    ClickAt(Tree(), BoxAt(Tree(), IndexOf(item)));
    Drain();
  }
  void ClickLabel(TreeItem* item) {
    Tree()->scrollTo(IndexOf(item));
    ClickAt(Tree(), LabelAt(Tree(), IndexOf(item)));
    Drain();
  }
  int FileRow(const std::string& name) const {
    for (int r = 0; r < Files()->model()->rowCount(); ++r)
      if (Files()->model()->index(r, 0).data().toString().trimmed().toStdString() == name) return r;
    return -1;
  }
  void ClickFileBox(const std::string& name) {
    const int row = FileRow(name);
    ASSERT_GE(row, 0) << name;
    const QModelIndex idx = Files()->model()->index(row, 0);
    Files()->scrollTo(idx);
    ClickAt(Files(), BoxAt(Files(), idx));
    Drain();
  }
  static TreeItem* Child(TreeItem* parent, const std::string& text) {
    for (TreeItem* c = parent ? parent->first_child : nullptr; c; c = c->next_sibling)
      if (c->text == text) return c;
    return nullptr;
  }
  bool ShownTicked(TreeItem* item) const { return IndexOf(item).data(Qt::CheckStateRole).toInt() == Qt::Checked; }
  int TickedRows() const {
    int n = 0;
    for (int r = 0; r < Files()->model()->rowCount(); ++r)
      n += Files()->model()->index(r, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked;
    return n;
  }

  // Runs the copy command with the chooser answered, sampling the second bar meanwhile.
  void RunCopy(int command) {
    QString title;
    AnswerChooser(dest_, &title);
    QTimer sampler;
    sampler.setInterval(2);
    QObject::connect(&sampler, &QTimer::timeout, [&] { bar2_.insert(Widget<QProgressBar>(IDC_PROGRESS2)->value()); });
    sampler.start();
    Trigger(command);
    sampler.stop();
    EXPECT_EQ(title, QStringLiteral("Choose the folder to copy the marked files into"));
  }

  // Red text pixels inside the file list's row `row` of a grab of the window.
  int RedInRow(const QImage& shot, int row) const {
    QRect r = Files()->visualRect(Files()->model()->index(row, 0));
    r.setRight(Files()->viewport()->width());
    r.translate(Files()->viewport()->mapTo(Window(), QPoint(0, 0)));
    int red = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) {
        const QColor c(shot.pixel(x, y));
        red += c.red() > 150 && c.green() < 90 && c.blue() < 90;
      }
    return red;
  }

  fs::path dest_;
  std::set<int> bar2_;  // values the second bar showed while the copy ran
};

TEST_F(GuiCopyTest, CopyWithDirectoriesOfTickedFoldersAndFilesFromTheMenu) {
  LOGDRIVE_INFO* vol = ScanFixture("fat/copy.img", 2048);
  ASSERT_NE(vol, nullptr);
  ASSERT_EQ(vol->fs_type, kFsFat32);
  TreeItem* root = App().root_item;
  TreeItem* sub = Child(root, "SUB");
  ASSERT_NE(sub, nullptr);
  // SUB ticked with everything below it; Root ticked for it, its files not marked.
  ClickBox(sub);
  EXPECT_TRUE(ShownTicked(sub) && ShownTicked(root) && ShownTicked(Child(sub, "DEEP")));
  // Two of Root's files by their own boxes.
  ClickLabel(root);
  ClickFileBox("TWO.BIN");
  ClickFileBox("CROSSA.BIN");
  EXPECT_EQ(TickedRows(), 2);
  EXPECT_EQ(Text(IDC_M_FILES), QStringLiteral("5"));

  g_slow_from = std::uint64_t(vol->data_lba) * 512;
  RunCopy(IDM_COPY_DIRS);

  const auto md5 = Md5List("fat/copy.md5.txt");
  std::set<std::string> written;
  for (fs::recursive_directory_iterator it(dest_), end; it != end; ++it)
    if (it->is_regular_file()) written.insert(fs::relative(it->path(), dest_).string());
  EXPECT_EQ(written, (std::set<std::string>{"Root/TWO.BIN", "Root/CROSSA.BIN", "Root/SUB/Sub file with a long name.txt",
                                            "Root/SUB/DEEP/DEEPFILE.TXT", "Root/SUB/DEEP/Second.txt"}));
  for (const std::string& p : written) EXPECT_EQ(Md5Of(dest_ / p), md5.at(p.substr(5))) << p;

  // Marks and ticks are gone, in the engine and on the screen.
  EXPECT_EQ(Text(IDC_M_FILES), QStringLiteral("0"));
  EXPECT_EQ(TickedRows(), 0);
  for (TreeItem* it : {root, sub, Child(sub, "DEEP")}) EXPECT_FALSE(ShownTicked(it)) << it->text;
  EXPECT_TRUE(Text(IDC_STATUS).startsWith(QStringLiteral("Copied 5 files, skipped 0, failed 0"))) << Text(IDC_STATUS).toStdString();
  // The per-file bar moved while the multi-cluster files came out, and is back at 0.
  EXPECT_TRUE(std::any_of(bar2_.begin(), bar2_.end(), [](int v) { return v > 0; })) << bar2_.size();
  EXPECT_EQ(Widget<QProgressBar>(IDC_PROGRESS2)->value(), 0);
  EXPECT_TRUE(Window()->actionFor(IDM_FAST_LOGICAL)->isEnabled());
}

TEST_F(GuiCopyTest, FlatCopyOfACompressedNtfsFolderFromTheMenu) {
  LOGDRIVE_INFO* vol = ScanFixture("ntfs/ntfs_copy.img", 2048);
  ASSERT_NE(vol, nullptr);
  ASSERT_EQ(vol->fs_type, kFsNtfs);
  TreeItem* folder = Child(App().root_item, "Compressed");
  ASSERT_NE(folder, nullptr);
  ClickBox(folder);
  ClickLabel(folder);
  const int rows = Files()->model()->rowCount();
  ASSERT_GE(rows, 5);
  EXPECT_EQ(TickedRows(), rows);

  g_slow_from = std::uint64_t(vol->start_lba) * 512 + 4096;
  RunCopy(IDM_COPY_FLAT);

  const auto md5 = Md5List("ntfs/ntfs_copy.md5.txt");
  int compared = 0;
  for (const auto& [path, sum] : md5) {
    if (!path.starts_with("Compressed/")) continue;
    const fs::path out = dest_ / path.substr(11);  // flat: the name alone
    ASSERT_TRUE(fs::exists(out)) << path;
    EXPECT_EQ(Md5Of(out), sum) << path;
    ++compared;
  }
  EXPECT_GE(compared, 5);
  EXPECT_FALSE(fs::exists(dest_ / "Root"));
  EXPECT_FALSE(fs::exists(dest_ / "Compressed"));
  EXPECT_EQ(Text(IDC_M_FILES), QStringLiteral("0"));
  EXPECT_EQ(TickedRows(), 0);
  EXPECT_FALSE(ShownTicked(folder));
  EXPECT_FALSE(ShownTicked(App().root_item));
  EXPECT_TRUE(std::any_of(bar2_.begin(), bar2_.end(), [](int v) { return v > 0; })) << bar2_.size();
  EXPECT_EQ(Widget<QProgressBar>(IDC_PROGRESS2)->value(), 0);
}

TEST_F(GuiCopyTest, VerifyDrawsTheCrossLinkedFilesRed) {
  LOGDRIVE_INFO* vol = ScanFixture("fat/copy.img", 2048);
  ASSERT_NE(vol, nullptr);
  TreeItem* root = App().root_item;
  ClickBox(root);
  ClickLabel(root);
  const int crossa = FileRow("CROSSA.BIN"), crossb = FileRow("CROSSB.BIN"), two = FileRow("TWO.BIN");
  ASSERT_TRUE(crossa >= 0 && crossb >= 0 && two >= 0);
  QApplication::processEvents();
  const QImage before = Window()->grab().toImage();
  EXPECT_EQ(RedInRow(before, crossa), 0) << "a live file is drawn blue before the verify";

  Trigger(IDM_VERIFY);
  ClickLabel(root);
  QApplication::processEvents();
  const QImage after = Window()->grab().toImage();
  ASSERT_TRUE(after.save(QStringLiteral(RETROVA_GUI_OUTPUT_DIR "/verify.png")));
  EXPECT_GT(RedInRow(after, FileRow("CROSSA.BIN")), 10);
  EXPECT_GT(RedInRow(after, FileRow("CROSSB.BIN")), 10);
  EXPECT_EQ(RedInRow(after, FileRow("TWO.BIN")), 0);
  EXPECT_EQ(RedInRow(after, FileRow("README.TXT")), 0);
  // The verify leaves the marks for the copy that follows.
  EXPECT_EQ(TickedRows(), Files()->model()->rowCount());
  EXPECT_NE(Text(IDC_M_FILES), QStringLiteral("0"));
}
