// The directory tree and file list of a scan: rows, dates, marking, counters, colours.
#include <cstring>

#include "app/shell.h"
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
  TreeItem* Dir(TreeItem* parent, const std::string& name, std::uint32_t flags = kRecInUse | kRecDirectory) {
    auto* r = new INODE_RECD;
    r->posix_name = name;
    r->record_flags = flags;
    r->own_number = 10 + dirs_.size();
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
  void ClickTree(TreeItem* item, HitPart part) {
    ClickTreeItem(ctx().main_dlg, IDC_DIR_TREE, item, part);
    DrainQueue();
  }
  void ClickRow(int row, HitPart part) {
    ClickListRow(ctx().main_dlg, IDC_FILE_LIST, row, part);
    DrainQueue();
  }
  void ExpectTicked(std::initializer_list<TreeItem*> items, bool ticked) {
    for (TreeItem* it : items) EXPECT_EQ(TreeView_GetCheckState(it), ticked) << it->text;
  }
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }

  LOGDRIVE_INFO vol_;
  TreeItem* root_ = nullptr;
  std::vector<INODE_RECD*> dirs_;
};

TEST_F(MarkingTest, TickingAFileDeepDownTicksEveryAncestorUntickingLeavesThem) {
  TreeItem* a = Dir(root_, "a");
  TreeItem* b = Dir(a, "b");
  TreeItem* c = Dir(b, "c");
  TreeItem* side = Dir(root_, "side");
  FILE_INODE* f = File(c, "deep.bin", 5 * GiB);
  File(c, "other.bin", 7);

  ClickTree(c, HitPart::Label);
  EXPECT_EQ(ctx().dir_tree->selection, c);
  ASSERT_EQ(ListView_GetItemCount(ctx().file_list), 2);
  ClickRow(0, HitPart::CheckBox);
  EXPECT_EQ(f->mark_state, kMarkMarked);
  EXPECT_TRUE(ListView_GetCheckState(ctx().file_list, 0));
  ExpectTicked({c, b, a, root_}, true);
  ExpectTicked({side}, false);
  EXPECT_EQ(Field(IDC_M_FILES), "1");
  EXPECT_EQ(Field(IDC_M_BYTES), "5,368,709,120");

  ClickRow(0, HitPart::CheckBox);
  EXPECT_EQ(f->mark_state, kMarkUnmarked);
  EXPECT_FALSE(ListView_GetCheckState(ctx().file_list, 0));
  ExpectTicked({c, b, a, root_}, true);  // ancestors stay ticked
  EXPECT_EQ(Field(IDC_M_FILES), "0");
  EXPECT_EQ(Field(IDC_M_BYTES), "0");

  ClickRow(1, HitPart::Label);
  EXPECT_EQ(f->mark_state, kMarkUnmarked) << "a label click marks nothing";
}

TEST_F(MarkingTest, TickingRootMarksTheWholeTreeIncludingLaterTopLevelItems) {
  TreeItem* a = Dir(root_, "a");
  TreeItem* a1 = Dir(a, "a1");
  File(root_, "top.txt", 1);
  File(a1, "big1", 5 * GiB);
  File(a1, "big2", 3 * GiB);
  TreeItem* after = Dir(nullptr, "Loose", kRecSynthetic);  // as "Unlinked Data" can be in a loaded scan
  File(after, "lost.dat", 100);

  ClickTree(root_, HitPart::CheckBox);
  ExpectTicked({root_, a, a1, after}, true);
  EXPECT_EQ(Field(IDC_M_FILES), "4");
  EXPECT_EQ(Field(IDC_M_BYTES), FormatThousands(8 * GiB + 101));
  EXPECT_EQ(ListView_GetItemCount(ctx().file_list), 1) << "the clicked item's files are shown";
  EXPECT_TRUE(ListView_GetCheckState(ctx().file_list, 0)) << "rows take their tick from the mark";

  ClickTree(root_, HitPart::CheckBox);
  ExpectTicked({root_, a, a1, after}, false);
  EXPECT_EQ(Field(IDC_M_FILES), "0");
}

TEST_F(MarkingTest, TickingAMiddleDirectoryMarksBelowAndTicksAbove) {
  TreeItem* a = Dir(root_, "a");
  TreeItem* b = Dir(a, "b");
  TreeItem* c = Dir(b, "c");
  TreeItem* sibling = Dir(a, "s");
  FILE_INODE* fa = File(a, "fa", 1);
  FILE_INODE* fb = File(b, "fb", 2);
  FILE_INODE* fc = File(c, "fc", 4);
  ClickTree(b, HitPart::CheckBox);
  EXPECT_EQ(std::tie(fa->mark_state, fb->mark_state, fc->mark_state),
            std::make_tuple(kMarkNone, kMarkMarked, kMarkMarked)) << "an ancestor's own files are not marked";
  ExpectTicked({b, c, a, root_}, true);
  ExpectTicked({sibling}, false);
  EXPECT_EQ(Field(IDC_M_BYTES), "6");
}

TEST_F(MarkingTest, RowsShowNameDateSizeImageAndMark) {
  TreeItem* a = Dir(root_, "a");
  File(a, "fat.txt", 6 * GiB)->fat_date = 0x0021;
  FILE_INODE* ntfs = File(a, "ntfs.txt", 3, 0);  // deleted
  ntfs->write_time = (1582983900ULL + 11644473600ULL) * 10'000'000ULL;  // 2020-02-29 13:45:00
  ntfs->mark_state = kMarkMarked;
  File(a, "empty-dir-is-fine", 0);
  ClickTree(a, HitPart::Label);
  const ListView* list = ctx().file_list;
  ASSERT_EQ(ListView_GetItemCount(list), 3);
  EXPECT_EQ(ListView_GetItemText(list, 0, 1), "01-01-1980 00:00");
  EXPECT_EQ(ListView_GetItemText(list, 0, 2), "6442450944");
  EXPECT_EQ(list->rows[0].image, 5);
  EXPECT_FALSE(ListView_GetCheckState(list, 0));
  EXPECT_EQ(ListView_GetItemText(list, 1, 1), "02-29-2020 13:45");
  EXPECT_EQ(list->rows[1].image, 6);
  EXPECT_TRUE(ListView_GetCheckState(list, 1));

  ClickTree(Dir(root_, "empty"), HitPart::Label);
  EXPECT_EQ(ListView_GetItemCount(list), 0);
}

TEST(FileDates, CalendarConversionAcrossCenturies) {
  auto at = [](std::uint64_t unix_secs) { return (unix_secs + 11644473600ULL) * 10'000'000ULL; };
  auto ymdhms = [](std::uint64_t ft) {
    const CalendarTime t = FileTimeToCalendar(ft);
    return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second);
  };
  EXPECT_EQ(ymdhms(0), std::make_tuple(1601, 1, 1, 0, 0, 0));
  EXPECT_EQ(ymdhms(at(0)), std::make_tuple(1970, 1, 1, 0, 0, 0));
  EXPECT_EQ(ymdhms(at(951782400)), std::make_tuple(2000, 2, 29, 0, 0, 0));
  EXPECT_EQ(ymdhms(at(4107542399)), std::make_tuple(2100, 2, 28, 23, 59, 59));
  const CalendarTime t = FileTimeToCalendar(~0ULL);  // the largest value still gives a sane date
  EXPECT_EQ(t.year, 60056);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12) << t.month;

  // The list's text: the file time when there is one, else the FAT date and time.
  FILE_INODE f;
  f.write_time = at(4107542399);
  EXPECT_EQ(FileDateText(f), "02-28-2100 23:59");
  f.write_time = ~0ULL;
  EXPECT_EQ(FileDateText(f).substr(5), "-60056 " + FileDateText(f).substr(12));
  f.write_time = 0;
  f.fat_date = (45 << 9) | (7 << 5) | 4;  // 2025-07-04
  f.fat_time = (9 << 11) | (5 << 5);
  EXPECT_EQ(FileDateText(f), "07-04-2025 09:05");
  f.fat_date = 0;  // no date: month and day 0, as stored
  f.fat_time = 0;
  EXPECT_EQ(FileDateText(f), "00-00-1980 00:00");
}

TEST(FileListColours, InUseSystemDeletedAndVerified) {
  FILE_INODE f;
  CustomDraw cd;
  cd.item_data = &f;
  struct Case { std::uint32_t flags; const char* name; int verify; std::uint32_t colour; };
  for (const Case& k : {Case{kRecInUse, "report.doc", 0, RGB(0, 0, 200)},
                        Case{kRecInUse, "$MFTMirr", 0, RGB(184, 4, 155)},
                        Case{kRecInUse, "$mft", 0, RGB(0, 0, 200)},  // compared case-sensitively
                        Case{kRecInUse, "$mft", 1, RGB(255, 0, 0)}, Case{0, "$MFT", 0, RGB(255, 0, 0)}}) {
    f.record_flags = k.flags;
    f.name = k.name;
    f.verify_result = k.verify;
    EXPECT_EQ(DrawFileListItem(cd), CDRF_NEWFONT);
    EXPECT_EQ(cd.text_colour, k.colour) << k.name << " " << k.verify;
  }
  cd.stage = DrawStage::PrePaint;
  EXPECT_EQ(DrawFileListItem(cd), CDRF_NOTIFYITEMDRAW);
}

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
  void Click(int row) {
    ClickListRow(ctx().main_dlg, IDC_LOG_LIST, row, HitPart::Label);
    DrainQueue();
  }
  std::vector<std::string> LogLines() {
    std::vector<std::string> out;
    for (TreeItem* c = TreeView_GetChild(ctx().info_log_item); c; c = TreeView_GetNextSibling(c))
      out.push_back(c->text);
    return out;
  }
  std::string Field(int id) { return GetDlgItemText(ctx().main_dlg, id); }
  LOGDRIVE_INFO vols_[2];
};

TEST_F(LogicalSelectTest, AClickShowsTheVolumeAndAsksOnlyWhenItWouldLoseAScan) {
  Click(1);
  EXPECT_TRUE(headless::Boxes().empty()) << "no scan: nothing to ask";
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"FS: NTFS    ", "Size: 1,000 MB", "SPC: 8"}));
  EXPECT_EQ(Field(IDC_T_FILES), "3,457");
  EXPECT_EQ(Field(IDC_T_DIRS), "13");
  EXPECT_EQ(ctx().sel_log_row, 1);

  Click(0);
  ctx().scanned_logdrive = &vols_[0];
  ASSERT_EQ(MakeRoot(ctx()), 1);
  SetStatusField(ctx(), IDC_M_FILES, "9");
  Click(0);
  EXPECT_TRUE(headless::Boxes().empty()) << "the row already shown asks nothing";

  headless::AnswerMessageBox(IDNO);
  Click(1);
  ASSERT_EQ(headless::Boxes().size(), 1u);
  EXPECT_EQ(headless::Boxes()[0].text, "You will lose current LOGICAL scan. Do you wish to continue.");
  EXPECT_EQ(GetSelectedRow(ctx().log_list), 0);
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 1u) << "No keeps the scan";
  EXPECT_EQ(Field(IDC_M_FILES), "9");

  headless::AnswerMessageBox(IDYES);
  Click(1);
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(Field(IDC_M_FILES), "0");
  EXPECT_EQ(vols_[1].files_found, 0);
  EXPECT_EQ(vols_[0].dirs_found, 0) << "the scanned drive's counts are cleared too";
  EXPECT_EQ(LogLines().front(), "FS: NTFS    ");
}
