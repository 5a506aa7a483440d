// Commands and clicks that reach a running scan through its pump step.
#include "app/main_window.h"
#include "app/status.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

class ReentryTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow({Fixture("demo.img").string()});
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, 0, HitPart::Label);
    PostCommand(ctx().main_dlg, IDM_SCAN_PHYSICAL);
    DrainQueue();
    ASSERT_EQ(ListView_GetItemCount(ctx().log_list), 2);  // FAT32 at 63, NTFS at 80325
    ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
    DrainQueue();
  }
};

TEST_F(ReentryTest, ADriveClickQueuedBehindAScanNeitherSwitchesDrivesNorFreesTheTree) {
  for (int command : {IDM_FAST_LOGICAL, IDM_SLOW_LOGICAL}) {
    PostCommand(ctx().main_dlg, command);
    Hit other;
    other.row = 1;
    other.part = HitPart::Label;
    PostNotify(ctx().main_dlg, IDC_LOG_LIST, NM_CLICK, other);  // queued before the lists went grey
    PostNotify(ctx().main_dlg, IDC_PHY_LIST, NM_DBLCLK, Hit{});
    DrainQueue();
    EXPECT_EQ(ctx().scan_running, 0);
    EXPECT_TRUE(headless::Boxes().empty()) << "no question was asked under the scan";
    auto* fat = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(ctx().log_list, 0));
    EXPECT_EQ(ctx().scanned_logdrive, fat);
    EXPECT_EQ(GetSelectedRow(ctx().log_list), 0) << "the scanned row stays selected";
    EXPECT_EQ(ListView_GetItemCount(ctx().log_list), 2) << "no partition search ran inside the scan";
    EXPECT_GT(TreeView_GetCount(ctx().dir_tree), 1u) << command;
    EXPECT_GT(fat->files_found, 0) << command;
  }
}

TEST_F(ReentryTest, ClicksOnDisabledListsAreNotTaken) {
  EnableControl(ctx().log_list, false);
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 1, HitPart::Label);
  EXPECT_EQ(GetSelectedRow(ctx().log_list), 0);
  EXPECT_TRUE(QueueEmpty());
}
