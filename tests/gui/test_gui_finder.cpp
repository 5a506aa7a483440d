// The file finder through its widgets: opened from the Utilities menu, a
// kind ticked and a pattern typed, the search run from its menu, the rows
// shown and ticked, and the window closed from its menu.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QTimer>

#include "finder/finder.h"
#include "gui_fixture.h"
#include "res/resources.h"
#include "scan/tree.h"

TEST_F(GuiTest, FinderDialogFindsMarksAndClosesThroughItsWidgets) {
  OpenMain();
  AppContext& ctx = App();
  ASSERT_EQ(MakeRoot(ctx), 1);
  auto* dir = new INODE_RECD;
  dir->posix_name = "photos";
  dir->record_flags = kRecInUse | kRecDirectory;
  dir->own_number = 40;
  TreeItem* photos = InsertTreeRecord(ctx, dir, ctx.root_item, TreeInsert::Last);
  auto add = [&](TreeItem* item, const char* name) {
    INODE_RECD src;
    src.posix_name = name;
    src.record_flags = kRecInUse;
    FILE_INODE* f = MakeFileInode(src);
    AppendPendingFile(ctx, f);
    AppendFileToDir(*GetItemRecord(ctx, item), f);
  };
  add(photos, "beach.JPG");
  add(photos, "notes.bin");
  add(ctx.root_item, "letter.docx");
  gui::SyncAllDialogs();

  bool searched = false, closed_checked = false;
  QTimer::singleShot(50, [&] {
    gui::DialogWindow* w = gui::WindowOf(ctx.finder_dlg);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("File Finder and Recovery"));
    qobject_cast<QCheckBox*>(w->widgetFor(IDC_FIND_GRAPHIC))->click();
    auto* edit = qobject_cast<QLineEdit*>(w->widgetFor(IDC_FIND_PATTERNS));
    ASSERT_NE(edit, nullptr);
    QTest::keyClicks(edit, "*.doc");
    w->actionFor(IDM_FINDER_FIND)->trigger();
  });
  QTimer::singleShot(150, [&] {
    gui::DialogWindow* w = gui::WindowOf(ctx.finder_dlg);
    ASSERT_NE(w, nullptr);
    gui::SyncAllDialogs();
    auto* list = qobject_cast<gui::ListControlView*>(w->widgetFor(IDC_FINDER_LIST));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->model()->rowCount(), 2);
    EXPECT_EQ(ListView_GetItemText(ctx.finder_list, 0, 0), "letter.docx");
    EXPECT_EQ(ListView_GetItemText(ctx.finder_list, 1, 0), "beach.JPG");
    EXPECT_TRUE(TreeView_GetCheckState(photos));
    searched = true;
    w->actionFor(IDM_FINDER_MARK_ALL)->trigger();
  });
  QTimer::singleShot(250, [&] {
    gui::DialogWindow* w = gui::WindowOf(ctx.finder_dlg);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(ListView_GetCheckState(ctx.finder_list, 0));
    EXPECT_TRUE(ListView_GetCheckState(ctx.finder_list, 1));
    gui::SyncAllDialogs();
    QApplication::processEvents();
    EXPECT_TRUE(w->grab().toImage().save(QStringLiteral(RETROVA_GUI_OUTPUT_DIR "/finder.png")));
    closed_checked = true;
    w->actionFor(IDM_FINDER_EXIT)->trigger();
  });
  Window()->actionFor(IDM_FIND_FILES)->trigger();
  Drain();  // runs the finder's own loop until its Exit
  EXPECT_TRUE(searched);
  EXPECT_TRUE(closed_checked);
  EXPECT_EQ(FindLiveDialog(IDD_FINDER), nullptr);
  EXPECT_EQ(GetDlgItemText(ctx.main_dlg, IDC_M_FILES), "2");
  ResetScanTree(ctx);
  ReleaseRecord(dir);
}
