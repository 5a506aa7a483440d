// The directory tree and file list of a scan: rows, dates, marking, counters, colours.
#include <cstring>

#include "app/info_panels.h"
#include "app/main_window.h"
#include "app/status.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint64_t GiB = 1ULL << 30;

}  // namespace

class MarkingTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow();
    ctx().scanned_logdrive = &vol_;
    ASSERT_EQ(MakeRoot(ctx()), 1);
    root_ = ctx().root_item;
  }
  void TearDown() override {
    ResetScanTree(ctx());
    for (INODE_RECD* r : dirs_) ReleaseRecord(r);
    RetrovaTest::TearDown();
  }
  TreeItem* Dir(TreeItem* parent, const std::string& name, std::uint64_t number) {
    auto* r = new INODE_RECD;
    r->posix_name = name;
    r->record_flags = kRecInUse | kRecDirectory;
    r->own_number = number;
    dirs_.push_back(r);
    return InsertTreeRecord(ctx(), r, parent, TreeInsert::Last);
  }
  FILE_INODE* File(TreeItem* dir, const std::string& name, std::uint64_t size, std::uint32_t flags = kRecInUse) {
    INODE_RECD src;
    src.posix_name = name;
    src.data_size = size;
    src.record_flags = flags;
    FILE_INODE* f = MakeFileInode(src);
    AppendPendingFile(ctx(), f);  // the pending list owns it
    AppendFileToDir(*GetItemRecord(ctx(), dir), f);
    return f;
  }
  void Click(int control, TreeItem* item, int row, HitPart part) {
    if (item)
      ClickTreeItem(ctx().main_dlg, control, item, part);
    else
      ClickListRow(ctx().main_dlg, control, row, part);
    DrainQueue();
  }
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }

  LOGDRIVE_INFO vol_;
  TreeItem* root_ = nullptr;
  std::vector<INODE_RECD*> dirs_;
};

TEST_F(MarkingTest, TickingAFileDeepDownTicksEveryAncestorUntickingLeavesThem) {
  TreeItem* a = Dir(root_, "a", 10);
  TreeItem* b = Dir(a, "b", 11);
  TreeItem* c = Dir(b, "c", 12);
  TreeItem* side = Dir(root_, "side", 13);
  FILE_INODE* f = File(c, "deep.bin", 5 * GiB);
  File(c, "other.bin", 7);

  Click(IDC_DIR_TREE, c, -1, HitPart::Label);
  EXPECT_EQ(ctx().dir_tree->selection, c);
  ASSERT_EQ(ListView_GetItemCount(ctx().file_list), 2);
  Click(IDC_FILE_LIST, nullptr, 0, HitPart::CheckBox);
  EXPECT_EQ(f->mark_state, kMarkMarked);
  EXPECT_TRUE(ListView_GetCheckState(ctx().file_list, 0));
  for (TreeItem* it : {c, b, a, root_}) EXPECT_TRUE(TreeView_GetCheckState(it)) << it->text;
  EXPECT_FALSE(TreeView_GetCheckState(side));
  EXPECT_EQ(Field(IDC_M_FILES), "1");
  EXPECT_EQ(Field(IDC_M_BYTES), "5,368,709,120");

  Click(IDC_FILE_LIST, nullptr, 0, HitPart::CheckBox);
  EXPECT_EQ(f->mark_state, kMarkUnmarked);
  EXPECT_FALSE(ListView_GetCheckState(ctx().file_list, 0));
  for (TreeItem* it : {c, b, a, root_}) EXPECT_TRUE(TreeView_GetCheckState(it)) << "ancestors stay ticked";
  EXPECT_EQ(Field(IDC_M_FILES), "0");
  EXPECT_EQ(Field(IDC_M_BYTES), "0");

  Click(IDC_FILE_LIST, nullptr, 1, HitPart::Label);
  EXPECT_EQ(f->mark_state, kMarkUnmarked) << "a label click marks nothing";
}

TEST_F(MarkingTest, TickingRootMarksTheWholeTreeIncludingLaterTopLevelItems) {
  TreeItem* a = Dir(root_, "a", 10);
  TreeItem* a1 = Dir(a, "a1", 11);
  File(root_, "top.txt", 1);
  File(a1, "big1", 5 * GiB);
  File(a1, "big2", 3 * GiB);
  // A top-level item after Root, as "Unlinked Data" can be in a loaded scan.
  auto* loose = new INODE_RECD;
  loose->posix_name = "Loose";
  loose->record_flags = kRecSynthetic;
  dirs_.push_back(loose);
  TreeItem* after = InsertTreeRecord(ctx(), loose, nullptr, TreeInsert::Last);
  File(after, "lost.dat", 100);

  Click(IDC_DIR_TREE, root_, -1, HitPart::CheckBox);
  for (TreeItem* it : {root_, a, a1, after}) EXPECT_TRUE(TreeView_GetCheckState(it)) << it->text;
  EXPECT_EQ(Field(IDC_M_FILES), "4");
  EXPECT_EQ(Field(IDC_M_BYTES), FormatThousands(8 * GiB + 101));
  EXPECT_EQ(ListView_GetItemCount(ctx().file_list), 1) << "the clicked item's files are shown";
  EXPECT_TRUE(ListView_GetCheckState(ctx().file_list, 0)) << "rows take their tick from the mark";

  Click(IDC_DIR_TREE, root_, -1, HitPart::CheckBox);
  for (TreeItem* it : {root_, a, a1, after}) EXPECT_FALSE(TreeView_GetCheckState(it)) << it->text;
  EXPECT_EQ(Field(IDC_M_FILES), "0");
}

TEST_F(MarkingTest, TickingAMiddleDirectoryMarksBelowAndTicksAbove) {
  TreeItem* a = Dir(root_, "a", 10);
  TreeItem* b = Dir(a, "b", 11);
  TreeItem* c = Dir(b, "c", 12);
  TreeItem* sibling = Dir(a, "s", 13);
  FILE_INODE* fa = File(a, "fa", 1);
  FILE_INODE* fb = File(b, "fb", 2);
  FILE_INODE* fc = File(c, "fc", 4);
  Click(IDC_DIR_TREE, b, -1, HitPart::CheckBox);
  EXPECT_EQ(fb->mark_state, kMarkMarked);
  EXPECT_EQ(fc->mark_state, kMarkMarked);
  EXPECT_EQ(fa->mark_state, kMarkNone) << "an ancestor's own files are not marked";
  EXPECT_TRUE(TreeView_GetCheckState(b));
  EXPECT_TRUE(TreeView_GetCheckState(c));
  EXPECT_TRUE(TreeView_GetCheckState(a));
  EXPECT_TRUE(TreeView_GetCheckState(root_));
  EXPECT_FALSE(TreeView_GetCheckState(sibling));
  EXPECT_EQ(Field(IDC_M_BYTES), "6");
}

TEST_F(MarkingTest, RowsShowNameDateSizeImageAndMark) {
  TreeItem* a = Dir(root_, "a", 10);
  FILE_INODE* fat = File(a, "fat.txt", 6 * GiB);
  fat->fat_date = 0x0021;
  FILE_INODE* ntfs = File(a, "ntfs.txt", 3, 0);  // deleted
  // 2020-02-29 13:45:00 as a FILETIME.
  ntfs->write_time = (1582983900ULL + 11644473600ULL) * 10'000'000ULL;
  ntfs->mark_state = kMarkMarked;
  File(a, "empty-dir-is-fine", 0);
  Click(IDC_DIR_TREE, a, -1, HitPart::Label);
  ASSERT_EQ(ListView_GetItemCount(ctx().file_list), 3);
  EXPECT_EQ(ListView_GetItemText(ctx().file_list, 0, 1), "01-01-1980 00:00");
  EXPECT_EQ(ListView_GetItemText(ctx().file_list, 0, 2), "6442450944");
  EXPECT_EQ(ctx().file_list->rows[0].image, 5);
  EXPECT_FALSE(ListView_GetCheckState(ctx().file_list, 0));
  EXPECT_EQ(ListView_GetItemText(ctx().file_list, 1, 1), "02-29-2020 13:45");
  EXPECT_EQ(ctx().file_list->rows[1].image, 6);
  EXPECT_TRUE(ListView_GetCheckState(ctx().file_list, 1));

  TreeItem* empty = Dir(root_, "empty", 20);
  Click(IDC_DIR_TREE, empty, -1, HitPart::Label);
  EXPECT_EQ(ListView_GetItemCount(ctx().file_list), 0);
}

TEST(FileDates, CalendarConversionAcrossCenturies) {
  auto at = [](std::uint64_t unix_secs) { return (unix_secs + 11644473600ULL) * 10'000'000ULL; };
  CalendarTime t = FileTimeToCalendar(0);
  EXPECT_EQ(std::tie(t.year, t.month, t.day), std::make_tuple(1601, 1, 1));
  t = FileTimeToCalendar(at(0));
  EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour), std::make_tuple(1970, 1, 1, 0));
  t = FileTimeToCalendar(at(951782400));  // 2000-02-29
  EXPECT_EQ(std::tie(t.year, t.month, t.day), std::make_tuple(2000, 2, 29));
  t = FileTimeToCalendar(at(4107542399));  // 2100-02-28 23:59:59
  EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second), std::make_tuple(2100, 2, 28, 23, 59, 59));
  t = FileTimeToCalendar(~0ULL);  // the largest value still gives a sane date
  EXPECT_EQ(t.year, 60056);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
}

TEST(FileListColours, InUseSystemDeletedAndVerified) {
  FILE_INODE f;
  f.record_flags = kRecInUse;
  f.name = "report.doc";
  CustomDraw cd;
  cd.item_data = &f;
  EXPECT_EQ(DrawFileListItem(cd), CDRF_NEWFONT);
  EXPECT_EQ(cd.text_colour, RGB(0, 0, 200));
  f.name = "$MFTMirr";
  DrawFileListItem(cd);
  EXPECT_EQ(cd.text_colour, RGB(184, 4, 155));
  f.name = "$mft";  // compared case-sensitively
  DrawFileListItem(cd);
  EXPECT_EQ(cd.text_colour, RGB(0, 0, 200));
  f.verify_result = 1;
  DrawFileListItem(cd);
  EXPECT_EQ(cd.text_colour, RGB(255, 0, 0));
  f.verify_result = 0;
  f.record_flags = 0;
  f.name = "$MFT";
  DrawFileListItem(cd);
  EXPECT_EQ(cd.text_colour, RGB(255, 0, 0));
  cd.stage = DrawStage::PrePaint;
  EXPECT_EQ(DrawFileListItem(cd), CDRF_NOTIFYITEMDRAW);
}

// ---- Logical drive selection -----------------------------------------------------

class LogicalSelectTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow();
    for (int i = 0; i < 2; ++i) {
      vols_[i].start_lba = 63 + i * 1000;
      std::memcpy(vols_[i].fs_name, i == 0 ? "FAT32   " : "NTFS    ", 8);
      vols_[i].total_sectors = 2048 * 1000 + i;
      vols_[i].sectors_per_cluster = 8;
      vols_[i].dirs_found = 12 + i;
      vols_[i].files_found = 3456 + i;
      ListView_InsertItem(ctx().log_list, i, std::to_string(vols_[i].start_lba), 0, &vols_[i]);
    }
  }
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  std::vector<std::string> LogLines() {
    std::vector<std::string> out;
    for (TreeItem* c = TreeView_GetChild(ctx().info_log_item); c; c = TreeView_GetNextSibling(c)) out.push_back(c->text);
    return out;
  }
  LOGDRIVE_INFO vols_[2];
};

TEST_F(LogicalSelectTest, WithoutAScanAClickShowsTheVolumeWithoutAsking) {
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 1, HitPart::Label);
  DrainQueue();
  EXPECT_TRUE(headless::Boxes().empty());
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"FS: NTFS    ", "Size: 1,000 MB", "SPC: 8"}));
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_FILES), "3,457");
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_T_DIRS), "13");
  EXPECT_EQ(ctx().sel_log_row, 1);
}

TEST_F(LogicalSelectTest, WithAScanTheQuestionGuardsIt) {
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  DrainQueue();
  ctx().scanned_logdrive = &vols_[0];
  ASSERT_EQ(MakeRoot(ctx()), 1);
  SetStatusField(ctx(), IDC_M_FILES, "9");

  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 0, HitPart::Label);
  DrainQueue();
  EXPECT_TRUE(headless::Boxes().empty()) << "the row already shown asks nothing";

  headless::AnswerMessageBox(IDNO);
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 1, HitPart::Label);
  DrainQueue();
  ASSERT_EQ(headless::Boxes().size(), 1u);
  EXPECT_EQ(headless::Boxes()[0].text, "You will lose current LOGICAL scan. Do you wish to continue.");
  EXPECT_EQ(GetSelectedRow(ctx().log_list), 0);
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 1u) << "No keeps the scan";
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_M_FILES), "9");

  headless::AnswerMessageBox(IDYES);
  ClickListRow(ctx().main_dlg, IDC_LOG_LIST, 1, HitPart::Label);
  DrainQueue();
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_M_FILES), "0");
  EXPECT_EQ(vols_[1].files_found, 0);
  EXPECT_EQ(vols_[0].dirs_found, 0) << "the scanned drive's counts are cleared too";
  EXPECT_EQ(LogLines().front(), "FS: NTFS    ");
}
