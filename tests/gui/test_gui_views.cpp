// The item-model adapters, hits, custom-draw colours and progress bars.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QScrollBar>

#include "gui_fixture.h"
#include "scan/records.h"

namespace {

std::vector<Msg> g_seen;

// A main window whose procedure only records: the views alone are under test.
std::intptr_t RecordingProc(Dialog*, const Msg& msg) {
  g_seen.push_back(msg);
  return 1;
}

// Counts the model tester's complaints (it reports through qWarning).
int g_tester_failures = 0;
QtMessageHandler g_previous_handler = nullptr;
void CountTesterFailures(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
  if (type != QtDebugMsg && msg.contains(QStringLiteral("FAIL"))) ++g_tester_failures;
  if (g_previous_handler) g_previous_handler(type, ctx, msg);
}

std::vector<Msg> TakeQueue() {
  std::vector<Msg> out;
  while (const Msg* m = PeekQueue()) {
    out.push_back(*m);
    DropQueueFront();
  }
  return out;
}

QPoint Centre(const QRect& r) { return r.center(); }

}  // namespace

class ViewTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    g_seen.clear();
    g_tester_failures = 0;
    g_previous_handler = qInstallMessageHandler(CountTesterFailures);
  }
  void TearDown() override {
    qInstallMessageHandler(g_previous_handler);
    GuiTest::TearDown();
  }
  // The main window's controls with a recording procedure and the engine's image list.
  Dialog* OpenBare() {
    main_ = CreateDialogModel(IDD_MAIN, RecordingProc, nullptr);
    images_.bitmaps.assign(std::begin(kImageListBitmaps), std::end(kImageListBitmaps));
    fe_DialogCreated(main_.get());
    TreeView_SetImageList(GetTreeView(main_.get(), IDC_DIR_TREE), &images_);
    ListView* files = GetListView(main_.get(), IDC_FILE_LIST);
    for (const ColumnEntry* c = kFileListColumns; c->width; ++c) ListView_InsertColumn(files, c->sub_item, {c->width, c->text, c->sub_item});
    ListView_SetExtendedStyle(files, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES);
    ListView_SetImageList(files, &images_);
    gui::SyncAllDialogs();
    return main_.get();
  }
  ImageList images_;
};

TEST_F(ViewTest, TreeFollowsInsertsAndDeletesKeepingExpansionSelectionAndScroll) {
  Dialog* dlg = OpenBare();
  TreeView* tv = GetTreeView(dlg, IDC_DIR_TREE);
  auto* view = Widget<gui::TreeControlView>(IDC_DIR_TREE);
  QAbstractItemModelTester tester(view->model(), QAbstractItemModelTester::FailureReportingMode::Warning);

  TreeItem* a = TreeView_InsertItem(tv, nullptr, TreeInsert::Last, "A", 2, 1, nullptr);
  TreeItem* b = TreeView_InsertItem(tv, nullptr, TreeInsert::Last, "B", 2, 1, nullptr);
  std::vector<TreeItem*> kids;
  for (int i = 0; i < 60; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "d%03d", i * 2);
    kids.push_back(TreeView_InsertItem(tv, a, TreeInsert::Sort, name, 2, 1, nullptr));
  }
  TreeView_InsertItem(tv, b, TreeInsert::Last, "b1", 2, 1, nullptr);
  TreeView_Expand(tv, a, true);
  TreeView_SelectItem(tv, kids[40]);
  gui::SyncAllDialogs();
  ASSERT_TRUE(view->isExpanded(view->treeModel()->indexOf(a)));
  ASSERT_EQ(view->treeModel()->rowCount(view->treeModel()->indexOf(a)), 60);
  view->verticalScrollBar()->setValue(20);
  const int scroll = view->verticalScrollBar()->value();
  ASSERT_GT(scroll, 0);

  // The engine restructures: a sorted insert between, deletions below the
  // scroll position, a whole subtree gone, a new parent with children.
  TreeItem* odd = TreeView_InsertItem(tv, a, TreeInsert::Sort, "d041", 2, 1, nullptr);
  TreeView_DeleteItem(tv, kids[50]);
  TreeView_DeleteItem(tv, kids[51]);
  TreeView_DeleteItem(tv, b);
  TreeItem* c = TreeView_InsertItem(tv, nullptr, TreeInsert::Last, "C", 2, 1, nullptr);
  TreeView_InsertItem(tv, c, TreeInsert::Last, "c1", 2, 1, nullptr);
  gui::SyncAllDialogs();

  EXPECT_TRUE(view->isExpanded(view->treeModel()->indexOf(a)));
  EXPECT_EQ(view->treeModel()->itemAt(view->currentIndex()), kids[40]);
  EXPECT_EQ(view->verticalScrollBar()->value(), scroll);
  const QModelIndex ai = view->treeModel()->indexOf(a);
  ASSERT_EQ(view->treeModel()->rowCount(ai), 59);
  EXPECT_EQ(view->treeModel()->index(21, 0, ai).data().toString(), QStringLiteral("d041"));
  EXPECT_EQ(view->treeModel()->itemAt(view->treeModel()->index(21, 0, ai)), odd);
  ASSERT_EQ(view->treeModel()->rowCount(), 2);
  EXPECT_EQ(view->treeModel()->index(1, 0).data().toString(), QStringLiteral("C"));
  EXPECT_TRUE(view->treeModel()->hasChildren(view->treeModel()->index(1, 0)));
  EXPECT_TRUE(tv->graveyard.empty());  // released once the view dropped them

  // The selected item deleted: no selection left in the view.
  TreeView_DeleteItem(tv, kids[40]);
  gui::SyncAllDialogs();
  EXPECT_FALSE(view->selectionModel()->hasSelection());
  TreeView_DeleteAllItems(tv);
  gui::SyncAllDialogs();
  EXPECT_EQ(view->treeModel()->rowCount(), 0);
  EXPECT_EQ(g_tester_failures, 0);
}

TEST_F(ViewTest, AMillionItemTreeOpensScrollsAndGrows) {
  Dialog* dlg = OpenBare();
  TreeView* tv = GetTreeView(dlg, IDC_DIR_TREE);
  auto* view = Widget<gui::TreeControlView>(IDC_DIR_TREE);
  TreeItem* root = TreeView_InsertItem(tv, nullptr, TreeInsert::Last, "Root", 1, 1, nullptr);
  constexpr int kItems = 1'000'000;
  for (int i = 0; i < kItems; ++i) TreeView_InsertItem(tv, root, TreeInsert::Last, "file", 5, 5, nullptr);
  TreeView_Expand(tv, root, true);
  gui::SyncAllDialogs();
  const QModelIndex ri = view->treeModel()->indexOf(root);
  ASSERT_TRUE(view->isExpanded(ri));
  ASSERT_EQ(view->treeModel()->rowCount(ri), kItems);
  view->scrollToBottom();
  QApplication::processEvents();
  const QModelIndex top = view->indexAt(QPoint(5, 5));
  ASSERT_TRUE(top.isValid());
  EXPECT_GT(top.row(), kItems - 100);
  EXPECT_LE(view->treeModel()->loadedParents(), 3u);  // only what was opened

  const int scroll = view->verticalScrollBar()->value();
  for (int i = 0; i < 10; ++i) TreeView_InsertItem(tv, root, TreeInsert::Last, "more", 5, 5, nullptr);
  gui::SyncAllDialogs();
  EXPECT_EQ(view->treeModel()->rowCount(ri), kItems + 10);
  EXPECT_EQ(view->verticalScrollBar()->value(), scroll);
}

TEST_F(ViewTest, ListKeepsSelectionAndScrollWhenRowsAreAppended) {
  Dialog* dlg = OpenBare();
  ListView* lv = GetListView(dlg, IDC_FILE_LIST);
  auto* view = Widget<gui::ListControlView>(IDC_FILE_LIST);
  QAbstractItemModelTester tester(view->model(), QAbstractItemModelTester::FailureReportingMode::Warning);
  std::vector<int> tags(400);
  for (int i = 0; i < 200; ++i) {
    ListView_InsertItem(lv, i, "file" + std::to_string(i), 5, &tags[i]);
    ListView_SetItemText(lv, i, 2, std::to_string(i * 10));
  }
  ListView_SetItemState(lv, 50, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  gui::SyncAllDialogs();
  ASSERT_EQ(view->model()->rowCount(), 200);
  EXPECT_EQ(view->model()->index(7, 2).data().toString(), QStringLiteral("70"));
  EXPECT_EQ(view->model()->index(7, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_TRUE(view->showGrid());
  EXPECT_EQ(view->horizontalHeader()->sectionSize(1), 107);
  view->verticalScrollBar()->setValue(60);
  const int scroll = view->verticalScrollBar()->value();

  for (int i = 200; i < 400; ++i) ListView_InsertItem(lv, i, "file" + std::to_string(i), 5, &tags[i]);
  gui::SyncAllDialogs();
  EXPECT_EQ(view->model()->rowCount(), 400);
  EXPECT_EQ(view->verticalScrollBar()->value(), scroll);
  EXPECT_TRUE(view->selectionModel()->isRowSelected(50, QModelIndex()));
  EXPECT_EQ(view->currentIndex().row(), 50);

  // Another directory's files: back to the top.
  ListView_DeleteAllItems(lv);
  for (int i = 0; i < 300; ++i) ListView_InsertItem(lv, i, "other", 5, &tags[399 - i]);
  gui::SyncAllDialogs();
  EXPECT_EQ(view->verticalScrollBar()->value(), 0);
  EXPECT_FALSE(view->selectionModel()->hasSelection());
  EXPECT_EQ(g_tester_failures, 0);
}

TEST_F(ViewTest, TreeCheckBoxAndLabelClicksGiveDifferentHitsAndTheBoxWaitsForTheEngine) {
  Dialog* dlg = OpenBare();
  TreeView* tv = GetTreeView(dlg, IDC_DIR_TREE);
  auto* view = Widget<gui::TreeControlView>(IDC_DIR_TREE);
  TreeItem* item = TreeView_InsertItem(tv, nullptr, TreeInsert::Last, "Documents", 2, 1, nullptr);
  gui::SyncAllDialogs();
  const QModelIndex idx = view->treeModel()->indexOf(item);
  const QStyleOptionViewItem opt = view->itemOption(idx);
  const QRect box = view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, view);
  const QRect text = view->style()->subElementRect(QStyle::SE_ItemViewItemText, &opt, view);
  ASSERT_TRUE(box.isValid());

  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, Centre(box));
  EXPECT_EQ(item->check_state, 1);  // the view itself changes nothing
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(text.left() + 8, text.center().y()));
  const std::vector<Msg> clicks = TakeQueue();
  ASSERT_EQ(clicks.size(), 2u);
  for (const Msg& m : clicks) {
    EXPECT_EQ(m.kind, MsgKind::Notify);
    EXPECT_EQ(m.id, std::uint32_t(IDC_DIR_TREE));
    EXPECT_EQ(m.code, NM_CLICK);
    EXPECT_EQ(m.hit.item, item);
  }
  EXPECT_EQ(clicks[0].hit.part, HitPart::CheckBox);
  EXPECT_EQ(clicks[1].hit.part, HitPart::Label);
  EXPECT_EQ(tv->selection, item);  // the label click selected it

  // Once the engine has handled the box click, the box flips.
  PostMsg(clicks[0]);
  Drain();
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(item->check_state, 2);
  EXPECT_EQ(view->treeModel()->data(idx, Qt::CheckStateRole).toInt(), Qt::Checked);
}

TEST_F(ViewTest, ListClicksSelectRowsButBoxClicksOnlyNotify) {
  Dialog* dlg = OpenBare();
  ListView* lv = GetListView(dlg, IDC_FILE_LIST);
  auto* view = Widget<gui::ListControlView>(IDC_FILE_LIST);
  for (int i = 0; i < 5; ++i) ListView_InsertItem(lv, i, "f" + std::to_string(i), 5, nullptr);
  gui::SyncAllDialogs();

  const QStyleOptionViewItem opt = view->itemOption(view->model()->index(1, 0));
  const QRect box = view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, view);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, Centre(box));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, Centre(view->visualRect(view->model()->index(3, 1))));
  const std::vector<Msg> clicks = TakeQueue();
  ASSERT_EQ(clicks.size(), 2u);
  EXPECT_EQ(clicks[0].hit.row, 1);
  EXPECT_EQ(clicks[0].hit.part, HitPart::CheckBox);
  EXPECT_EQ(clicks[1].hit.row, 3);
  EXPECT_EQ(clicks[1].hit.part, HitPart::Label);
  EXPECT_EQ(ListView_GetItemState(lv, 1, LVIS_SELECTED), 0u);
  EXPECT_EQ(ListView_GetItemState(lv, 3, LVIS_SELECTED | LVIS_FOCUSED), LVIS_SELECTED | LVIS_FOCUSED);
  EXPECT_FALSE(ListView_GetCheckState(lv, 1));
  for (const Msg& m : clicks) PostMsg(m);
  Drain();
  EXPECT_TRUE(ListView_GetCheckState(lv, 1));
  EXPECT_EQ(view->model()->index(1, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);

  // A double click on a drive row: the click, then the double click, on that row.
  ListView* phy = GetListView(dlg, IDC_PHY_LIST);
  ListView_InsertColumn(phy, 0, {50, "Phy ID", 0});
  ListView_InsertItem(phy, 0, "0", 0, nullptr);
  gui::SyncAllDialogs();
  auto* pv = Widget<gui::ListControlView>(IDC_PHY_LIST);
  const QPoint row0 = Centre(pv->visualRect(pv->model()->index(0, 0)));
  QTest::mouseClick(pv->viewport(), Qt::LeftButton, {}, row0);
  QTest::mouseDClick(pv->viewport(), Qt::LeftButton, {}, row0);
  std::vector<int> codes;
  for (const Msg& m : TakeQueue()) {
    EXPECT_EQ(m.hit.row, 0);
    codes.push_back(m.code);
  }
  EXPECT_EQ(codes, (std::vector<int>{NM_CLICK, NM_DBLCLK}));
}

TEST_F(ViewTest, InformationTreeColoursAndBoldRoots) {
  OpenMain();
  auto* view = Widget<gui::TreeControlView>(IDC_INFO_TREE);
  gui::TreeModel* m = view->treeModel();
  view->expandAll();
  const QModelIndex root = m->index(0, 0);
  const QModelIndex level1 = m->index(0, 0, root);
  const QModelIndex level2 = m->index(0, 0, level1);
  ASSERT_TRUE(level2.isValid());
  QStyleOptionViewItem o = view->itemOption(root);
  EXPECT_EQ(o.palette.color(QPalette::Text), QColor(0, 0, 255));
  EXPECT_TRUE(o.font.bold());
  EXPECT_TRUE(view->itemOption(m->index(1, 0)).font.bold());
  o = view->itemOption(level1);
  EXPECT_EQ(o.palette.color(QPalette::Text), QColor(10, 196, 19));
  EXPECT_FALSE(o.font.bold());
  EXPECT_EQ(view->itemOption(level2).palette.color(QPalette::Text), view->palette().color(QPalette::Text));

  Window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
  view->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->hasFocus(); }));
  view->setCurrentIndex(level1);
  o = view->itemOption(level1);
  EXPECT_TRUE(o.state & QStyle::State_Selected);
  EXPECT_EQ(o.palette.color(QPalette::HighlightedText), QColor(255, 255, 255));
  view->setCurrentIndex(root);
  EXPECT_EQ(view->itemOption(root).palette.color(QPalette::HighlightedText), QColor(255, 255, 255));
}

TEST_F(ViewTest, FileRowsColouredByTheThreeRules) {
  Dialog* dlg = OpenBare();
  ListView* lv = GetListView(dlg, IDC_FILE_LIST);
  auto* view = Widget<gui::ListControlView>(IDC_FILE_LIST);
  FILE_INODE live, system, deleted, suspect;
  live.name = "report.doc";
  live.record_flags = 1;
  system.name = "$MFT";
  system.record_flags = 1;
  deleted.name = "old.txt";
  deleted.record_flags = 0;
  suspect.name = "bad.bin";
  suspect.record_flags = 1;
  suspect.verify_result = 1;
  FILE_INODE* rows[] = {&live, &system, &deleted, &suspect};
  for (int i = 0; i < 4; ++i) ListView_InsertItem(lv, i, rows[i]->name, 5, rows[i]);
  gui::SyncAllDialogs();
  const QColor expected[] = {QColor(0, 0, 200), QColor(184, 4, 155), QColor(255, 0, 0), QColor(255, 0, 0)};
  for (int i = 0; i < 4; ++i)
    for (int col = 0; col < 3; ++col)
      EXPECT_EQ(view->itemOption(view->model()->index(i, col)).palette.color(QPalette::Text), expected[i])
          << rows[i]->name << " column " << col;
}

TEST_F(ViewTest, ProgressBarsClampAndDrawInTheirColour) {
  Dialog* dlg = OpenBare();
  ProgressBar* pb = GetProgressBar(dlg, IDC_PROGRESS);
  auto* bar = Widget<QProgressBar>(IDC_PROGRESS);
  Progress_SetRange32(pb, 0, 1000);
  Progress_SetBarColour(pb, RGB(145, 4, 180));
  Progress_SetPos(pb, 500);
  gui::SyncAllDialogs();
  EXPECT_EQ(bar->value(), 500);
  QImage img = bar->grab().toImage();
  const int y = img.height() / 2;
  EXPECT_EQ(QColor(img.pixel(img.width() / 4, y)), QColor(145, 4, 180));
  EXPECT_EQ(QColor(img.pixel(img.width() * 3 / 4, y)), QColor(255, 255, 255));

  // A position past the range fills the bar rather than being ignored.
  pb->pos = 5000;
  ++pb->version;
  gui::SyncAllDialogs();
  EXPECT_EQ(bar->value(), 1000);
  img = bar->grab().toImage();
  EXPECT_EQ(QColor(img.pixel(img.width() * 3 / 4, y)), QColor(145, 4, 180));

  // Controls the engine disables are disabled on screen.
  EnableControl(GetDlgItem(dlg, IDC_PHY_LIST), false);
  gui::SyncAllDialogs();
  EXPECT_FALSE(Widget<gui::ListControlView>(IDC_PHY_LIST)->isEnabled());
}
