// A scan tree built by the engine, shown and marked through the real widgets:
// images, ticks and colours on screen; clicks reaching the marking handlers
// with the right hit; marking a large subtree staying responsive.
#include <QElapsedTimer>
#include <QImage>

#include "app/status.h"
#include "gui/pictures.h"
#include "gui_fixture.h"
#include "scan/display.h"
#include "scan/tree.h"

class ScanTreeGuiTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    OpenMain();
    ASSERT_EQ(MakeRoot(App()), 1);
    root_ = App().root_item;
  }
  void TearDown() override {
    // The records the items carry go before the window and its tree.
    ResetScanTree(App());
    GuiTest::TearDown();
  }

  // A directory owned by its item, so the tree's reset frees it with its files.
  TreeItem* Dir(TreeItem* parent, const std::string& name, std::uint32_t flags = kRecInUse | kRecDirectory,
                TreeInsert where = TreeInsert::Sort) {
    auto* r = new INODE_RECD;
    r->posix_name = name;
    r->record_flags = flags;
    r->own_number = ++next_number_;
    r->tree_owned = true;
    return InsertTreeRecord(App(), r, parent, where);
  }
  FILE_INODE* File(TreeItem* dir, const std::string& name, std::uint64_t size, std::uint32_t flags = kRecInUse,
                   std::uint32_t mark = kMarkNone) {
    INODE_RECD src;
    src.posix_name = name;
    src.data_size = size;
    src.record_flags = flags;
    src.write_time = 133'000'000'000'000'000ULL + size * 10'000'000ULL;
    FILE_INODE* f = MakeFileInode(src);
    f->mark_state = mark;
    AppendFileToDir(*GetItemRecord(App(), dir), f);
    return f;
  }

  gui::TreeControlView* Tree() const { return Widget<gui::TreeControlView>(IDC_DIR_TREE); }
  gui::ListControlView* Files() const { return Widget<gui::ListControlView>(IDC_FILE_LIST); }
  QModelIndex IndexOf(TreeItem* item) const { return Tree()->treeModel()->indexOf(item); }
  QModelIndex Row(int row, int col = 0) const { return Files()->model()->index(row, col); }
  std::string Field(int id) const { return GetDlgItemText(App().main_dlg, id); }
  void ClickLabel(TreeItem* item) { ClickAt(Tree(), LabelAt(Tree(), IndexOf(item))); }
  void ClickBox(TreeItem* item) { ClickAt(Tree(), BoxAt(Tree(), IndexOf(item))); }
  QImage BoxPixels(TreeItem* item) const {
    return Tree()->viewport()->grab(ItemPart(Tree(), IndexOf(item), QStyle::SE_ItemViewItemCheckIndicator)).toImage();
  }
  bool Shown(TreeItem* item) const { return IndexOf(item).data(Qt::CheckStateRole).toInt() == Qt::Checked; }
  bool RowShownChecked(int row) const { return Row(row).data(Qt::CheckStateRole).toInt() == Qt::Checked; }

  TreeItem* root_ = nullptr;
  std::uint64_t next_number_ = 100;
};

TEST_F(ScanTreeGuiTest, ScreenshotShowsTheTreeImagesTicksAndFileColours) {
  TreeItem* docs = Dir(root_, "Documents");
  TreeItem* reports = Dir(docs, "Reports");
  TreeItem* old = Dir(root_, "Old Projects", kRecDirectory);  // deleted: not in use
  Dir(old, "drafts", kRecDirectory);
  TreeItem* system = Dir(root_, "System");
  TreeItem* unlinked = Dir(root_, "Unlinked Data", kRecSynthetic, TreeInsert::Last);
  File(docs, "budget.xls", 48'640, kRecInUse, kMarkMarked);
  File(docs, "letter.doc", 23'552);
  File(docs, "$MFT", 262'144);
  File(docs, "holiday.jpg", 1'843'200, 0, kMarkMarked);  // deleted
  File(docs, "notes.txt", 1'024, 0);
  File(docs, "bad.bin", 512)->verify_result = 1;  // in use, failed verification
  File(reports, "q1.pdf", 98'304, kRecInUse, kMarkMarked);
  File(unlinked, "lost.bin", 4'096, 0);
  File(system, "pagefile.sys", 6ULL << 30);
  for (TreeItem* it : {root_, docs, reports}) TreeView_SetCheckState(App().dir_tree, it, true);
  for (TreeItem* it : {root_, docs, old}) TreeView_Expand(App().dir_tree, it, true);
  RecountMarkedFiles(App());
  gui::SyncAllDialogs();

  ClickLabel(docs);
  Drain();
  ASSERT_EQ(App().dir_tree->selection, docs);
  ASSERT_EQ(Files()->model()->rowCount(), 6);
  QApplication::processEvents();

  // Images follow the records: open folder for the selection, closed in-use,
  // deleted and synthetic pictures for the others.
  auto image = [&](TreeItem* it) { return IndexOf(it).data(Qt::DecorationRole).value<QPixmap>().toImage(); };
  EXPECT_EQ(image(docs), gui::BitmapPicture(IDB_FOLDER_OPEN).toImage());
  EXPECT_EQ(image(reports), gui::BitmapPicture(IDB_FOLDER_CLOSED).toImage());
  EXPECT_EQ(image(old), gui::BitmapPicture(IDB_FOLDER_CLOSED_DELETED).toImage());
  EXPECT_EQ(image(unlinked), gui::BitmapPicture(IDB_FOLDER_CLOSED_LOST).toImage());
  EXPECT_TRUE(Shown(docs));
  EXPECT_FALSE(Shown(old));
  // Every column of a file row: in use blue, system file purple, deleted or
  // failed verification red; ticks from the marks.
  const QColor blue(0, 0, 200), purple(184, 4, 155), red(255, 0, 0);
  const QColor colours[] = {blue, blue, purple, red, red, red};
  for (int row = 0; row < 6; ++row) {
    for (int col = 0; col < 3; ++col)
      EXPECT_EQ(Files()->itemOption(Row(row, col)).palette.color(QPalette::Text), colours[row]) << row << "," << col;
    EXPECT_EQ(RowShownChecked(row), row == 0 || row == 3) << row;
  }
  EXPECT_EQ(Field(IDC_M_FILES), "3");

  const QImage shot = Window()->grab().toImage();
  ASSERT_TRUE(shot.save(QStringLiteral(RETROVA_GUI_OUTPUT_DIR "/scan_tree.png")));
  // The red of a deleted file's name is on screen inside the file list.
  const QRect list = Files()->geometry().translated(Window()->client()->pos());
  bool red_shown = false;
  for (int y = list.top(); y < list.bottom() && !red_shown; ++y)
    for (int x = list.left(); x < list.right() && !red_shown; ++x) red_shown = QColor(shot.pixel(x, y)) == red;
  EXPECT_TRUE(red_shown);
  // The tick of a red row is a state image in the control's own colours, not red.
  const QImage tick = Files()->viewport()->grab(ItemPart(Files(), Row(3), QStyle::SE_ItemViewItemCheckIndicator)).toImage();
  int dark = 0, reddish = 0;
  for (int y = 0; y < tick.height(); ++y)
    for (int x = 0; x < tick.width(); ++x) {
      const QColor c(tick.pixel(x, y));
      dark += c.red() < 80 && c.green() < 80 && c.blue() < 80;
      reddish += c.red() > 150 && c.green() < 90 && c.blue() < 90;
    }
  EXPECT_GT(dark, 4);
  EXPECT_EQ(reddish, 0);
}

TEST_F(ScanTreeGuiTest, ClicksReachTheMarkingHandlersWithTheirHitsAndBoxesFollowTheEngine) {
  TreeItem* docs = Dir(root_, "Documents");
  TreeItem* reports = Dir(docs, "Reports");
  TreeItem* other = Dir(root_, "Other");
  FILE_INODE* budget = File(docs, "budget.xls", 100);
  FILE_INODE* letter = File(docs, "letter.doc", 200);
  FILE_INODE* q1 = File(reports, "q1.pdf", 5ULL << 30);
  FILE_INODE* q2 = File(reports, "q2.pdf", 7);
  FILE_INODE* elsewhere = File(other, "x.dat", 9);
  TreeView_Expand(App().dir_tree, root_, true);
  TreeView_Expand(App().dir_tree, docs, true);
  gui::SyncAllDialogs();

  // A label click shows the directory's files and marks nothing.
  ClickLabel(docs);
  Drain();
  EXPECT_EQ(App().dir_tree->selection, docs);
  ASSERT_EQ(Files()->model()->rowCount(), 2);
  EXPECT_EQ(budget->mark_state, kMarkNone);
  EXPECT_EQ(root_->check_state, 1);

  // A box click on Reports: nothing moves until the engine has handled it.
  const QImage unticked = BoxPixels(reports);
  ClickBox(reports);
  QApplication::processEvents();
  EXPECT_EQ(q1->mark_state, kMarkNone);
  EXPECT_FALSE(Shown(reports));
  EXPECT_EQ(BoxPixels(reports), unticked);
  Drain();
  QApplication::processEvents();
  EXPECT_EQ(q1->mark_state, kMarkMarked);
  EXPECT_EQ(q2->mark_state, kMarkMarked);
  EXPECT_EQ(budget->mark_state, kMarkNone);  // a parent's own files are not marked
  for (TreeItem* it : {reports, docs, root_}) EXPECT_TRUE(Shown(it)) << it->text;  // ancestors ticked
  EXPECT_FALSE(Shown(other));
  EXPECT_NE(BoxPixels(reports), unticked);
  EXPECT_EQ(Field(IDC_M_FILES), "2");
  EXPECT_EQ(Field(IDC_M_BYTES), FormatThousands((5ULL << 30) + 7));
  EXPECT_EQ(App().dir_tree->selection, docs);  // a box click selects nothing

  // The list now shows Reports' files, ticked. A row's label click selects it
  // and marks nothing; its box click unmarks, the box clearing only afterwards.
  ASSERT_EQ(Files()->model()->rowCount(), 2);
  EXPECT_TRUE(RowShownChecked(0));
  ClickAt(Files(), LabelAt(Files(), Row(1)));
  Drain();
  EXPECT_EQ(ListView_GetItemState(App().file_list, 1, LVIS_SELECTED), LVIS_SELECTED);
  EXPECT_EQ(q2->mark_state, kMarkMarked);
  EXPECT_TRUE(RowShownChecked(1));
  ClickAt(Files(), BoxAt(Files(), Row(0)));
  EXPECT_TRUE(RowShownChecked(0));
  EXPECT_EQ(q1->mark_state, kMarkMarked);
  Drain();
  EXPECT_EQ(q1->mark_state, kMarkUnmarked);
  EXPECT_FALSE(RowShownChecked(0));
  EXPECT_EQ(ListView_GetItemState(App().file_list, 0, LVIS_SELECTED), 0u);  // a box click selects nothing
  EXPECT_EQ(Field(IDC_M_FILES), "1");

  // Back in Documents, ticking an unmarked row marks it and ticks the selected
  // directory and its ancestors.
  TreeView_SetCheckState(App().dir_tree, docs, false);
  TreeView_SetCheckState(App().dir_tree, root_, false);
  ClickLabel(docs);
  Drain();
  ClickAt(Files(), BoxAt(Files(), Row(1)));
  Drain();
  EXPECT_EQ(letter->mark_state, kMarkMarked);
  EXPECT_TRUE(RowShownChecked(1));
  EXPECT_TRUE(Shown(docs));
  EXPECT_TRUE(Shown(root_));
  EXPECT_EQ(Field(IDC_M_FILES), "2");

  // Unticking Root clears every mark below it.
  ClickBox(root_);
  Drain();
  for (FILE_INODE* f : {budget, letter, q1, q2, elsewhere}) EXPECT_NE(f->mark_state, kMarkMarked) << f->name;
  for (TreeItem* it : {root_, docs, reports, other}) EXPECT_FALSE(Shown(it)) << it->text;
  EXPECT_EQ(Field(IDC_M_FILES), "0");
}

TEST_F(ScanTreeGuiTest, TickingRootOfAHundredThousandFilesStaysResponsive) {
  // 20 top directories x 50 subdirectories x 100 files, plus 40 at Root.
  std::vector<TreeItem*> leaves;
  for (int t = 0; t < 20; ++t) {
    TreeItem* top = Dir(root_, "dir" + std::to_string(t));
    for (int s = 0; s < 50; ++s) leaves.push_back(Dir(top, "sub" + std::to_string(s)));
  }
  for (TreeItem* leaf : leaves)
    for (int i = 0; i < 100; ++i) File(leaf, "f" + std::to_string(i) + ".dat", 1000 + i);
  for (int i = 0; i < 40; ++i) File(root_, "top" + std::to_string(i), 10);
  TreeView_Expand(App().dir_tree, root_, true);
  TreeView_Expand(App().dir_tree, TreeView_GetChild(root_), true);
  gui::SyncAllDialogs();
  ClickLabel(leaves[3]);
  Drain();
  ASSERT_EQ(Files()->model()->rowCount(), 100);
  QApplication::processEvents();

  QElapsedTimer t;
  t.start();
  ClickBox(root_);
  Drain();
  for (QWidget* w : {Tree()->viewport(), Files()->viewport(), Window()->client()}) w->repaint();
  const qint64 ms = t.elapsed();
  RecordProperty("tick_root_100k_ms", static_cast<int>(ms));

  EXPECT_EQ(Field(IDC_M_FILES), FormatThousands(100'040u));
  EXPECT_TRUE(Shown(leaves.back()));
  EXPECT_EQ(Files()->model()->rowCount(), 40);  // Root's own files, shown after the click
  EXPECT_TRUE(RowShownChecked(39));
  EXPECT_LT(ms, 1000);
}
