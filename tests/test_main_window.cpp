// The main window driven through the headless front end, as the GUI drives it.
#include <algorithm>

#include "app/shell.h"
#include "res/resources.h"
#include "app/info_panels.h"
#include "app/main_window.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "test_support.h"

namespace {

using Names = std::vector<std::string>;

Names Children(const TreeItem* item) {
  Names out;
  for (const TreeItem* c = item ? item->first_child : nullptr; c; c = c->next_sibling) out.push_back(c->text);
  return out;
}

}  // namespace

class MainWindowTest : public RetrovaTest {
 protected:
  void Command(int id) {
    PostCommand(ctx().main_dlg, id);
    DrainQueue();
  }
  void ClickDrive(int row, bool double_click = false) {
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, row, HitPart::Label, double_click);
    DrainQueue();
  }
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }
  void AddImages(int n) {
    for (int i = 0; i < n; ++i) {
      const auto path = WriteFile("disk" + std::to_string(i) + ".img", std::vector<std::uint8_t>(4096));
      ASSERT_EQ(AddImageFile(ctx(), path.string()), 1);
    }
  }
};

TEST_F(MainWindowTest, StartUpWithNoDrivesStillOpensWithPlaceholders) {
  OpenMainWindow();
  EXPECT_EQ(ctx().main_dlg->title, "Retrova ver 4.1.6244");
  EXPECT_FALSE(ctx().main_dlg->ended);
  for (int id : {IDC_M_BYTES, IDC_M_FILES, IDC_T_DIRS, IDC_T_FILES, IDC_RD_ERR}) EXPECT_EQ(Field(id), "0") << id;
  EXPECT_EQ(Field(IDC_T_REM), "00:00:00");
  EXPECT_EQ(Field(IDC_STATUS), "Idle...");
  ASSERT_EQ(ctx().file_list->columns.size(), 3u);
  EXPECT_TRUE(ctx().file_list->ex_styles & LVS_EX_CHECKBOXES);
  EXPECT_FALSE(ctx().phy_list->ex_styles & LVS_EX_CHECKBOXES);
  ASSERT_NE(ctx().image_list, nullptr);
  EXPECT_EQ(ctx().dir_tree->normal_images, ctx().image_list);

  EXPECT_EQ(Children(&ctx().info_tree->root), (Names{"Physical Data        ", "Logical Data        "}));
  const TreeItem* geometry = ctx().info_phy_item->first_child;
  EXPECT_EQ(Children(geometry), (Names{"Heads 0", "Sectors 0", "Cylinders 0"}));
  EXPECT_EQ(Children(geometry->next_sibling), (Names{"UNKNOWN", "UNKNOWN", "UNKNOWN"}));
  EXPECT_EQ(ctx().sel_phy_row, -1);
}

TEST_F(MainWindowTest, ExitIsRefusedWhileAScanRunsEnterEscapeAndIdleTerminateDoNothing) {
  OpenMainWindow();
  AddImages(1);
  for (int id : {IDOK, IDCANCEL, IDM_TERMINATE_SCAN}) Command(id);
  PostMsg(Msg{ctx().main_dlg, MsgKind::Close, 0, 0, {}});
  DrainQueue();
  ctx().scan_running = 1;
  Command(IDM_EXIT);
  PostSysCommand(ctx().main_dlg, SC_CLOSE);
  DrainQueue();
  EXPECT_FALSE(ctx().main_dlg->ended);
  EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), 1);
  EXPECT_TRUE(headless::Boxes().empty());

  ctx().scan_running = 0;
  PostSysCommand(ctx().main_dlg, SC_CLOSE);
  DrainQueue();
  EXPECT_TRUE(ctx().main_dlg->ended);
}

TEST_F(MainWindowTest, UtilitiesAndFinderAreIgnoredWhileAScanOrTheFindersCopyRuns) {
  OpenMainWindow();
  // The utilities' dialogs stay shut while busy: their own tests check it.
  for (int* busy : {&ctx().scan_running, &ctx().finder_copy_running}) {
    *busy = 1;
    // An opened finder would start its count afresh.
    ctx().finder_found = -1;
    Command(IDM_FIND_FILES);
    EXPECT_EQ(ctx().finder_found, -1) << "the finder opened";
    *busy = 0;
  }
  Command(IDM_FIND_FILES);
  EXPECT_EQ(ctx().finder_found, 0) << "the finder did not open";
  // Verify and the copies walk the tree a running scan is still filling: ignored.
  ctx().scan_running = 1;
  const std::size_t boxes = headless::Boxes().size();
  for (int id : {IDM_VERIFY, IDM_COPY_DIRS, IDM_COPY_FLAT}) Command(id);
  EXPECT_EQ(headless::Boxes().size(), boxes) << "not even \"No files have been marked.\"";
  ctx().scan_running = 0;
}

TEST_F(MainWindowTest, CheckTerminateDispatchesOthersReentrantlyAndTakesItsOwnCommand) {
  OpenMainWindow();
  EXPECT_EQ(CheckTerminate(IDM_TERMINATE_SCAN), 0) << "empty queue";
  headless::AnswerOpenFile(WriteFile("x.img", std::vector<std::uint8_t>(512)).string());
  for (int id : {IDM_ADD_DATA_STREAM, IDM_TERMINATE_SCAN, IDM_HELP_CONTENT}) PostCommand(ctx().main_dlg, id);
  EXPECT_EQ(CheckTerminate(IDM_TERMINATE_SCAN), 0);
  EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), 1) << "the other command ran inside the pump step";
  EXPECT_EQ(CheckTerminate(IDM_TERMINATE_SCAN), 1);
  ASSERT_FALSE(QueueEmpty());
  EXPECT_EQ(PeekQueue()->id, static_cast<std::uint32_t>(IDM_HELP_CONTENT)) << "only the matching command is taken";
  DrainQueue();

  // A command chosen during an unlocked scan runs inside it and the scan goes on.
  headless::PostCommandAfterSteps(10, IDD_MAIN, IDM_HELP_CONTENT);
  headless::PostCommandAfterSteps(50, IDD_MAIN, IDM_TERMINATE_SCAN);
  int units = 0;
  ctx().scan_running = 1;
  while (units < 1000 && !CheckTerminate(IDM_TERMINATE_SCAN)) ++units;
  ctx().scan_running = 0;
  EXPECT_EQ(headless::HelpShown().size(), 2u);
  EXPECT_GE(units, 49);
  EXPECT_LT(units, 1000);
}

TEST_F(MainWindowTest, CheckFinderExitLooksOnlyAtTheFindersMessages) {
  OpenMainWindow();
  auto finder = CreateDialogModel(IDD_ABOUT, AboutDlgProc, ctx().main_dlg);
  ctx().finder_dlg = finder.get();
  PostCommand(ctx().main_dlg, IDM_HELP_CONTENT);
  EXPECT_EQ(CheckFinderExit(ctx()), 101);
  EXPECT_TRUE(headless::HelpShown().empty()) << "no finder message: nothing is dispatched";
  PostCommand(finder.get(), IDM_FINDER_EXIT);
  EXPECT_EQ(CheckFinderExit(ctx()), 100);
  EXPECT_EQ(PeekQueue()->id, static_cast<std::uint32_t>(IDM_HELP_CONTENT)) << "the main window's message stays";
  PostCommand(finder.get(), 1234);
  EXPECT_EQ(CheckFinderExit(ctx()), 101);
  EXPECT_EQ(headless::HelpShown().size(), 1u) << "another finder message lets the next message of the thread run";
}

TEST_F(MainWindowTest, ScanMenuLockGreysExactlyTheListedCommands) {
  OpenMainWindow();
  EXPECT_EQ(SetScanMenus(ctx(), false), 1);
  const Menu* m = ctx().main_dlg->menu.get();
  for (int id : {IDM_SCAN_PHYSICAL, IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL, IDM_COPY_DIRS, IDM_COPY_FLAT, IDM_SAVE_SCAN,
                 IDM_LOAD_SCAN, IDM_BUILD_PARTREC, IDM_BUILD_BOOTREC, IDM_CLONE, IDM_WIPE, IDM_VERIFY,
                 IDM_FIND_FILES, IDM_HELP_CONTENT, IDM_ABOUT})
    EXPECT_FALSE(Menu_FindCommand(m, id)->enabled) << id;
  for (int id : {IDM_TERMINATE_SCAN, IDM_EXIT, IDM_ADD_DATA_STREAM})
    EXPECT_TRUE(Menu_FindCommand(m, id)->enabled) << id;
  SetScanMenus(ctx(), true);
  for (const auto& popup : m->popups)
    for (const auto& item : popup.items) EXPECT_TRUE(item.enabled) << item.text;
}

TEST_F(MainWindowTest, AboutBoxIsModalAndClosedBySystemCloseHelpOpensTheFinderSection) {
  OpenMainWindow();
  Msg close;
  close.kind = MsgKind::SysCommand;
  close.id = SC_CLOSE;
  headless::PostAfterSteps(0, IDD_ABOUT, close);
  Command(IDM_ABOUT);
  EXPECT_EQ(ctx().about_dlg, nullptr);
  EXPECT_TRUE(ctx().main_dlg->enabled) << "the owner is enabled again";
  EXPECT_EQ(LiveDialogs().size(), 1u);

  Command(IDM_HELP_CONTENT);
  ASSERT_EQ(headless::HelpShown().size(), 1u);
  EXPECT_EQ(headless::HelpShown()[0].section, "file-finder");
}

TEST_F(MainWindowTest, ImagesNamedAtStartUpJoinAfterTheDrivesBeforeRowZeroIsShown) {
  const auto a = WriteFile("a.img", std::vector<std::uint8_t>(1024));
  const auto b = WriteFile("b.img", std::vector<std::uint8_t>(2048));
  // With no drive of its own, the first image is row 0 and its details show.
  OpenMainWindow({a.string(), b.string()});
  ASSERT_EQ(ListView_GetItemCount(ctx().phy_list), 2);
  EXPECT_EQ(ListView_GetItemText(ctx().phy_list, 0, 1), a.string().substr(0, 40));
  EXPECT_EQ(ListView_GetItemText(ctx().phy_list, 1, 1), b.string().substr(0, 40));
  EXPECT_EQ(ctx().sel_phy_row, 0);
  EXPECT_EQ(Children(ctx().info_phy_item->first_child->next_sibling).back(), a.string()) << "the image's path is shown";

  // With a drive, the drive comes first and stays the one shown.
  CloseMainWindow();
  std::filesystem::create_directories(TempDir() / "sysfs" / "sda");
  MakeSparseFile("dev/sda", 1 << 20);
  OpenMainWindow({a.string()});
  ASSERT_EQ(ListView_GetItemCount(ctx().phy_list), 2);
  EXPECT_EQ(static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0))->device_path,
            (TempDir() / "dev" / "sda").string());
  EXPECT_EQ(ListView_GetItemText(ctx().phy_list, 1, 1), a.string().substr(0, 40));
  EXPECT_EQ(ctx().sel_phy_row, 0);
}

TEST_F(MainWindowTest, TheEntryRunsTheWindowUntilExit) {
  headless::PostCommandAfterSteps(0, IDD_MAIN, IDM_EXIT);
  EXPECT_EQ(RetrovaMain({WriteFile("a.img", std::vector<std::uint8_t>(1024)).string()}), 0);
  EXPECT_TRUE(LiveDialogs().empty());
  EXPECT_EQ(App().image_list, nullptr) << "what the window held is given back";
}

TEST_F(MainWindowTest, SwitchingPhysicalDrivesAsksOnlyWhenVolumesAreListed) {
  OpenMainWindow();
  AddImages(2);
  ClickDrive(0);
  EXPECT_TRUE(headless::Boxes().empty()) << "no volumes listed: no question";
  EXPECT_EQ(ctx().sel_phy_row, 0);
  EXPECT_EQ(Children(ctx().info_phy_item->first_child).size(), 4u);

  int dummy = 0;
  ListView_InsertItem(ctx().log_list, 0, "63", 0, &dummy);
  SetStatusField(ctx(), IDC_T_DIRS, "12");
  ClickDrive(0);
  EXPECT_TRUE(headless::Boxes().empty()) << "the drive already shown: no question";

  headless::AnswerMessageBox(IDNO);
  ClickDrive(1);
  ASSERT_EQ(headless::Boxes().size(), 1u);
  EXPECT_EQ(headless::Boxes()[0].text, "You will lose current PHYSICAL scan. Do you wish to continue.");
  EXPECT_EQ(headless::Boxes()[0].title, "Retrova ver 4.1.6244");
  EXPECT_EQ(headless::Boxes()[0].buttons, MB_YESNO);
  EXPECT_EQ(GetSelectedRow(ctx().phy_list), 0) << "No gives the previous row back its selection";
  EXPECT_EQ(ListView_GetItemCount(ctx().log_list), 1);
  EXPECT_EQ(Field(IDC_T_DIRS), "12");

  headless::AnswerMessageBox(IDYES);
  ClickDrive(1);
  EXPECT_EQ(ListView_GetItemCount(ctx().log_list), 0);
  EXPECT_EQ(Field(IDC_T_DIRS), "0");
  EXPECT_EQ(ctx().sel_phy_row, 1);
}

TEST_F(MainWindowTest, DoubleClickOnADriveRefreshesItsDetailsThenStartsTheSearch) {
  OpenMainWindow();
  AddImages(2);
  ClickDrive(1, true);
  EXPECT_EQ(ctx().sel_phy_row, 1);
  EXPECT_EQ(std::tie(ctx().search_total, ctx().search_lba), std::make_tuple(8u, 8u)) << "the search ran to the end";
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(255, 0, 0));
  EXPECT_EQ(Field(IDC_STATUS), "Idle...");
  EXPECT_TRUE(headless::Boxes().empty());
  EXPECT_EQ(ctx().scan_running, 0);
}

TEST(CustomDraw, InfoTreeRootsBoldBlueLevelOneGreenSelectedFocusedWhite) {
  CustomDraw cd;
  cd.stage = DrawStage::PrePaint;
  EXPECT_EQ(DrawInfoTreeItem(cd), CDRF_NOTIFYITEMDRAW);
  cd.stage = DrawStage::ItemPostPaint;
  EXPECT_EQ(DrawInfoTreeItem(cd), CDRF_DODEFAULT);
  struct Case { int level; std::uint32_t state; bool bold; std::uint32_t colour; };
  for (const Case& k : {Case{0, 0, true, RGB(0, 0, 255)}, Case{1, 0, false, RGB(10, 196, 19)},
                        Case{1, CDIS_SELECTED, false, RGB(10, 196, 19)},  // selected without focus keeps its colour
                        Case{0, CDIS_SELECTED | CDIS_FOCUS, true, RGB(255, 255, 255)}}) {
    cd = CustomDraw{};
    cd.level = k.level;
    cd.item_state = k.state;
    EXPECT_EQ(DrawInfoTreeItem(cd), CDRF_NEWFONT);
    EXPECT_EQ(std::tie(cd.bold, cd.text_colour), std::tie(k.bold, k.colour)) << k.level << " " << k.state;
  }
  cd = CustomDraw{};
  EXPECT_EQ(DrawDriveListItem(cd), CDRF_NEWFONT);
  EXPECT_EQ(cd.text_colour, RGB(0, 0, 200));
}
