// The item-model adapters, hits, custom-draw colours and progress bars.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QProgressBar>
#include <QScrollBar>

#include "res/resources.h"
#include "gui_fixture.h"

namespace {

// A main window whose procedure does nothing: the views alone are under test.
std::intptr_t InertProc(Dialog*, const Msg&) { return 1; }

// Counts the model tester's complaints (it reports through qWarning).
int g_tester_failures = 0;
QtMessageHandler g_previous_handler = nullptr;
void CountTesterFailures(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
  if (type != QtDebugMsg && msg.contains(QStringLiteral("FAIL"))) ++g_tester_failures;
  if (g_previous_handler) g_previous_handler(type, ctx, msg);
}

}  // namespace

class ViewTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    g_tester_failures = 0;
    g_previous_handler = qInstallMessageHandler(CountTesterFailures);
  }
  void TearDown() override {
    qInstallMessageHandler(g_previous_handler);
    GuiTest::TearDown();
  }
  // The main window's controls with an inert procedure and the engine's image list.
  void OpenBare() {
    main_ = CreateDialogModel(IDD_MAIN, InertProc, nullptr);
    images_.bitmaps.assign(std::begin(kImageListBitmaps), std::end(kImageListBitmaps));
    fe_DialogCreated(main_.get());
    tv_ = GetTreeView(main_.get(), IDC_DIR_TREE);
    lv_ = GetListView(main_.get(), IDC_FILE_LIST);
    TreeView_SetImageList(tv_, &images_);
    for (const ColumnEntry* c = kFileListColumns; c->width; ++c) ListView_InsertColumn(lv_, c->sub_item, {c->width, c->text, c->sub_item});
    ListView_SetExtendedStyle(lv_, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES);
    ListView_SetImageList(lv_, &images_);
    gui::SyncAllDialogs();
  }
  gui::TreeControlView* TreeW() const { return Widget<gui::TreeControlView>(IDC_DIR_TREE); }
  gui::ListControlView* ListW() const { return Widget<gui::ListControlView>(IDC_FILE_LIST); }
  TreeItem* Add(TreeItem* parent, const std::string& text, TreeInsert where = TreeInsert::Last) {
    return TreeView_InsertItem(tv_, parent, where, text, 2, 1, nullptr);
  }

  ImageList images_;
  TreeView* tv_ = nullptr;
  ListView* lv_ = nullptr;
};

TEST_F(ViewTest, TreeFollowsInsertsAndDeletesKeepingExpansionSelectionAndScroll) {
  OpenBare();
  gui::TreeControlView* view = TreeW();
  gui::TreeModel* m = view->treeModel();
  QAbstractItemModelTester tester(view->model(), QAbstractItemModelTester::FailureReportingMode::Warning);
  TreeItem* a = Add(nullptr, "A");
  TreeItem* b = Add(nullptr, "B");
  std::vector<TreeItem*> kids;
  for (int i = 0; i < 60; ++i) kids.push_back(Add(a, QStringLiteral("d%1").arg(i * 2, 3, 10, QLatin1Char('0')).toStdString(), TreeInsert::Sort));
  Add(b, "b1");
  TreeView_Expand(tv_, a, true);
  TreeView_SelectItem(tv_, kids[40]);
  gui::SyncAllDialogs();
  ASSERT_EQ(m->rowCount(m->indexOf(a)), 60);
  view->verticalScrollBar()->setValue(20);
  const int scroll = view->verticalScrollBar()->value();
  ASSERT_GT(scroll, 0);

  // The engine restructures: a sorted insert between, deletions below the
  // scroll position, a whole subtree gone, a new parent with children.
  TreeItem* odd = Add(a, "d041", TreeInsert::Sort);
  TreeView_DeleteItem(tv_, kids[50]);
  TreeView_DeleteItem(tv_, kids[51]);
  TreeView_DeleteItem(tv_, b);
  Add(Add(nullptr, "C"), "c1");
  gui::SyncAllDialogs();

  const QModelIndex ai = m->indexOf(a);
  EXPECT_TRUE(view->isExpanded(ai));
  EXPECT_EQ(m->itemAt(view->currentIndex()), kids[40]);
  EXPECT_EQ(view->verticalScrollBar()->value(), scroll);
  ASSERT_EQ(m->rowCount(ai), 59);
  EXPECT_EQ(m->index(21, 0, ai).data().toString(), QStringLiteral("d041"));
  EXPECT_EQ(m->itemAt(m->index(21, 0, ai)), odd);
  ASSERT_EQ(m->rowCount(), 2);
  EXPECT_EQ(m->index(1, 0).data().toString(), QStringLiteral("C"));
  EXPECT_TRUE(m->hasChildren(m->index(1, 0)));
  EXPECT_TRUE(tv_->graveyard.empty());  // released once the view dropped them

  TreeView_DeleteItem(tv_, kids[40]);
  gui::SyncAllDialogs();
  EXPECT_FALSE(view->selectionModel()->hasSelection());
  TreeView_DeleteAllItems(tv_);
  gui::SyncAllDialogs();
  EXPECT_EQ(m->rowCount(), 0);
  EXPECT_EQ(g_tester_failures, 0);
}

TEST_F(ViewTest, AMillionItemTreeOpensScrollsAndGrows) {
  OpenBare();
  gui::TreeControlView* view = TreeW();
  TreeItem* root = TreeView_InsertItem(tv_, nullptr, TreeInsert::Last, "Root", 1, 1, nullptr);
  constexpr int kItems = 1'000'000;
  for (int i = 0; i < kItems; ++i) TreeView_InsertItem(tv_, root, TreeInsert::Last, "file", 5, 5, nullptr);
  TreeView_Expand(tv_, root, true);
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
  for (int i = 0; i < 10; ++i) TreeView_InsertItem(tv_, root, TreeInsert::Last, "more", 5, 5, nullptr);
  gui::SyncAllDialogs();
  EXPECT_EQ(view->treeModel()->rowCount(ri), kItems + 10);
  EXPECT_EQ(view->verticalScrollBar()->value(), scroll);
}

TEST_F(ViewTest, ListKeepsSelectionAndScrollWhenRowsAreAppended) {
  OpenBare();
  gui::ListControlView* view = ListW();
  QAbstractItemModelTester tester(view->model(), QAbstractItemModelTester::FailureReportingMode::Warning);
  std::vector<int> tags(400);
  for (int i = 0; i < 200; ++i) {
    ListView_InsertItem(lv_, i, "file" + std::to_string(i), 5, &tags[i]);
    ListView_SetItemText(lv_, i, 2, std::to_string(i * 10));
  }
  ListView_SetItemState(lv_, 50, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  gui::SyncAllDialogs();
  ASSERT_EQ(view->model()->rowCount(), 200);
  EXPECT_EQ(view->model()->index(7, 2).data().toString(), QStringLiteral("70"));
  EXPECT_EQ(view->model()->index(7, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_TRUE(view->showGrid());
  EXPECT_EQ(view->horizontalHeader()->sectionSize(1), 107);
  view->verticalScrollBar()->setValue(60);
  const int scroll = view->verticalScrollBar()->value();

  for (int i = 200; i < 400; ++i) ListView_InsertItem(lv_, i, "file" + std::to_string(i), 5, &tags[i]);
  gui::SyncAllDialogs();
  EXPECT_EQ(view->model()->rowCount(), 400);
  EXPECT_EQ(view->verticalScrollBar()->value(), scroll);
  EXPECT_TRUE(view->selectionModel()->isRowSelected(50, QModelIndex()));
  EXPECT_EQ(view->currentIndex().row(), 50);

  // Another directory's files: back to the top.
  ListView_DeleteAllItems(lv_);
  for (int i = 0; i < 300; ++i) ListView_InsertItem(lv_, i, "other", 5, &tags[399 - i]);
  gui::SyncAllDialogs();
  EXPECT_EQ(view->verticalScrollBar()->value(), 0);
  EXPECT_FALSE(view->selectionModel()->hasSelection());
  EXPECT_EQ(g_tester_failures, 0);
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
  auto text = [&](const QModelIndex& i, QPalette::ColorRole role = QPalette::Text) {
    return view->itemOption(i).palette.color(role);
  };
  EXPECT_EQ(text(root), QColor(0, 0, 255));
  EXPECT_TRUE(view->itemOption(root).font.bold());
  EXPECT_TRUE(view->itemOption(m->index(1, 0)).font.bold());
  EXPECT_EQ(text(level1), QColor(10, 196, 19));
  EXPECT_FALSE(view->itemOption(level1).font.bold());
  EXPECT_EQ(text(level2), view->palette().color(QPalette::Text));

  Window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Window()));
  view->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->hasFocus(); }));
  for (const QModelIndex& i : {level1, root}) {
    view->setCurrentIndex(i);
    EXPECT_TRUE(view->itemOption(i).state & QStyle::State_Selected);
    EXPECT_EQ(text(i, QPalette::HighlightedText), QColor(255, 255, 255));
  }
}

TEST_F(ViewTest, ProgressBarsClampAndDrawInTheirColour) {
  OpenBare();
  ProgressBar* pb = GetProgressBar(main_.get(), IDC_PROGRESS);
  auto* bar = Widget<QProgressBar>(IDC_PROGRESS);
  Progress_SetRange32(pb, 0, 1000);
  Progress_SetBarColour(pb, RGB(145, 4, 180));
  Progress_SetPos(pb, 500);
  gui::SyncAllDialogs();
  EXPECT_EQ(bar->value(), 500);
  auto at = [&](int quarter) {
    const QImage img = bar->grab().toImage();
    return QColor(img.pixel(img.width() * quarter / 4, img.height() / 2));
  };
  EXPECT_EQ(at(1), QColor(145, 4, 180));
  EXPECT_EQ(at(3), QColor(255, 255, 255));

  // A position past the range fills the bar rather than being ignored.
  pb->pos = 5000;
  ++pb->version;
  gui::SyncAllDialogs();
  EXPECT_EQ(bar->value(), 1000);
  EXPECT_EQ(at(3), QColor(145, 4, 180));
}
