// The file finder: name matching, pattern lists, the walk's marks and ticks,
// the 2000-row list, the dialog run headless, and its copy on the FAT32 copy
// fixture.
#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/shell.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "finder/finder.h"
#include "finder/match.h"
#include "res/ids.h"
#include "res/resources.h"
#include "scan/display.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

namespace fs = std::filesystem;

namespace {

std::vector<UserPattern> Patterns(std::string_view text) {
  PatternList p = ParseUserPatterns(text);
  EXPECT_EQ(p.error, "") << text;
  return p.patterns;
}

bool Finds(std::string_view patterns, std::string_view name) { return MatchUserPattern(name, Patterns(patterns)) == 1; }

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(FinderMatchTest, CategoriesCompareTheLastExtensionWholeInAnyCase) {
  EXPECT_EQ(MatchCategory("photo.JPG", kGraphicFormats), 1);
  EXPECT_EQ(MatchCategory("photo.jpg", kGraphicFormats), 1);
  EXPECT_EQ(MatchCategory("archive.tar.jpg", kGraphicFormats), 1);
  EXPECT_EQ(MatchCategory("JPG", kGraphicFormats), 0);
  EXPECT_EQ(MatchCategory("photo.jp", kGraphicFormats), 0);     // same length required
  EXPECT_EQ(MatchCategory("photo.jpgx", kGraphicFormats), 0);
  EXPECT_EQ(MatchCategory("photo.", kGraphicFormats), 0);
  EXPECT_EQ(MatchCategory("song.Mp3", kSoundFormats), 1);
  EXPECT_EQ(MatchCategory("backup.tar.gz", kArchiveFormats), 1);
  EXPECT_EQ(MatchCategory("backup.7z", kArchiveFormats), 1);
  EXPECT_EQ(MatchCategory("inbox.pst", kMailFormats), 1);
  EXPECT_EQ(MatchCategory("sheet.xls", kDatabaseFormats), 1);
  EXPECT_EQ(MatchCategory("sheet.xls", kTextFormats), 0);
}

TEST(FinderMatchTest, PatternPartsAgreeUpToTheShorterAndStarQuestionMark) {
  EXPECT_TRUE(Finds("report", "report"));
  EXPECT_TRUE(Finds("report", "report.txt"));  // no extension in the pattern: any extension
  EXPECT_TRUE(Finds("report", "reports2020"));
  EXPECT_FALSE(Finds("report", "memo"));
  EXPECT_FALSE(Finds("report.txt", "report"));  // a name without a point never meets an extension
  EXPECT_TRUE(Finds("memo.*, report.*", "report.txt"));
  EXPECT_TRUE(Finds("*.doc", "letter.docx"));
  EXPECT_TRUE(Finds("*.doc", "LETTER.DO"));
  EXPECT_TRUE(Finds("*.doc ,x.y", "letter.doc"));
  EXPECT_FALSE(Finds("*.doc ,x.y", "letter.docx"));  // the blank stays part of the first pattern
  EXPECT_TRUE(Finds("*", "anything.at.all"));
  EXPECT_FALSE(Finds("*", ".profile"));  // empty base
  EXPECT_TRUE(Finds("r?p*.t?t", "RePort.TxT"));
  EXPECT_FALSE(Finds("r?p*.t?t", "rxx.txt"));
  EXPECT_FALSE(Finds("", "report.txt"));  // no pattern finds nothing
}

TEST(FinderMatchTest, ParsingSplitsAtCommasAndAnEmptySlotEndsTheList) {
  PatternList p = ParseUserPatterns(" a.b ,, \t c.d,");
  ASSERT_EQ(p.patterns.size(), 2u);
  EXPECT_EQ(p.patterns[0].base, " a");  // blanks at the start stay
  EXPECT_EQ(p.patterns[0].extension, "b ");
  EXPECT_EQ(p.patterns[1].base, "c");
  EXPECT_EQ(p.patterns[1].extension, "d");
  EXPECT_TRUE(p.unused.empty());

  p = ParseUserPatterns(",*.doc,memo");
  EXPECT_TRUE(p.patterns.empty());
  EXPECT_EQ(p.unused, (std::vector<std::string>{"*.doc", "memo"}));

  p = ParseUserPatterns("a.b,.,c.d");
  ASSERT_EQ(p.patterns.size(), 1u);
  EXPECT_EQ(p.unused, (std::vector<std::string>{".", "c.d"}));

  p = ParseUserPatterns("x.tar.gz");  // base before the first point, extension after the last
  ASSERT_EQ(p.patterns.size(), 1u);
  EXPECT_EQ(p.patterns[0].base, "x");
  EXPECT_EQ(p.patterns[0].extension, "gz");
}

TEST(FinderMatchTest, TooManyPatternsOrTooLongPartsAreRefusedSayingWhich) {
  std::string twenty, twentyone;
  for (int i = 0; i < 20; ++i) twenty += (i ? "," : "") + std::string("p") + std::to_string(i);
  twentyone = twenty + ",p20";
  EXPECT_EQ(ParseUserPatterns(twenty).error, "");
  EXPECT_EQ(ParseUserPatterns(twenty).patterns.size(), 20u);
  const PatternList many = ParseUserPatterns(twentyone);
  EXPECT_NE(many.error.find("21 patterns"), std::string::npos) << many.error;
  EXPECT_TRUE(many.patterns.empty());

  EXPECT_EQ(ParseUserPatterns(std::string(254, 'a') + "." + std::string(254, 'b')).error, "");
  const PatternList base = ParseUserPatterns("ok.txt," + std::string(255, 'a') + ".txt");
  EXPECT_NE(base.error.find("Pattern 2"), std::string::npos) << base.error;
  EXPECT_NE(base.error.find("name"), std::string::npos);
  EXPECT_TRUE(base.patterns.empty());
  const PatternList ext = ParseUserPatterns("a." + std::string(255, 'x'));
  EXPECT_NE(ext.error.find("extension"), std::string::npos) << ext.error;
}

class FinderTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow();
    ctx().scanned_logdrive = &vol_;
    ASSERT_EQ(MakeRoot(ctx()), 1);
    root_ = ctx().root_item;
  }
  void TearDown() override {
    finder_.reset();
    ResetScanTree(ctx());
    for (INODE_RECD* r : dirs_) ReleaseRecord(r);
    RetrovaTest::TearDown();
  }
  TreeItem* Dir(TreeItem* parent, const std::string& name) {
    auto* r = new INODE_RECD;
    r->posix_name = name;
    r->record_flags = kRecInUse | kRecDirectory;
    r->own_number = 10 + dirs_.size();
    dirs_.push_back(r);
    return InsertTreeRecord(ctx(), r, parent, TreeInsert::Last);
  }
  FILE_INODE* File(TreeItem* dir, const std::string& name, std::uint32_t flags = kRecInUse) {
    INODE_RECD src;
    src.posix_name = name;
    src.data_size = 10;
    src.record_flags = flags;
    FILE_INODE* f = MakeFileInode(src);
    AppendPendingFile(ctx(), f);
    AppendFileToDir(*GetItemRecord(ctx(), dir), f);
    return f;
  }
  // The finder's models, initialised as when it opens (no loop).
  Dialog* OpenFinder() {
    finder_ = CreateDialogModel(IDD_FINDER, FinderDlgProc, ctx().main_dlg);
    Msg init;
    init.dlg = finder_.get();
    init.kind = MsgKind::InitDialog;
    SendMsg(init);
    return finder_.get();
  }
  void Check(int id) { GetDlgItem(finder_.get(), id)->check = 1; }
  void Command(int id) {
    PostCommand(finder_.get(), static_cast<std::uint32_t>(id));
    DrainQueue();
  }
  int Rows() { return ListView_GetItemCount(ctx().finder_list); }

  LOGDRIVE_INFO vol_;
  TreeItem* root_ = nullptr;
  std::vector<INODE_RECD*> dirs_;
  std::unique_ptr<Dialog> finder_;
};

TEST_F(FinderTest, DeletedFilesTickTheirDirectoriesUpToTheFirstTickedAncestor) {
  TreeItem* a = Dir(root_, "a");
  TreeItem* b = Dir(a, "b");
  TreeItem* c = Dir(b, "c");
  TreeItem* side = Dir(root_, "side");
  FILE_INODE* gone = File(c, "gone.bin", 0);
  FILE_INODE* live = File(c, "live.bin");
  File(side, "other.bin");
  TreeView_SetCheckState(ctx().dir_tree, a, true);
  TreeView_SetCheckState(ctx().dir_tree, root_, false);

  FinderCriteria crit;
  crit.deleted_only = true;
  std::vector<std::string> visited;
  const FinderResult r = SearchTreeForTypes(ctx(), root_, crit, [&](const TreeItem*, FILE_INODE& f) {
    visited.push_back(f.name);
  });
  EXPECT_EQ(r.found, 1u);
  EXPECT_EQ(r.listed, 1u);
  EXPECT_EQ(visited, std::vector<std::string>{"gone.bin"});
  EXPECT_EQ(gone->mark_state, kMarkMarked);
  EXPECT_EQ(live->mark_state, kMarkNone);
  EXPECT_TRUE(TreeView_GetCheckState(c));
  EXPECT_TRUE(TreeView_GetCheckState(b));
  EXPECT_TRUE(TreeView_GetCheckState(a));
  EXPECT_FALSE(TreeView_GetCheckState(root_));  // above the first ticked one: left as it was
  EXPECT_FALSE(TreeView_GetCheckState(side));
}

TEST_F(FinderTest, TwoCriteriaListAFileOnceAndTreeOrderIsKept) {
  TreeItem* a = Dir(root_, "a");
  File(root_, "top.jpg", 0);  // deleted and a graphic
  File(a, "inner.txt");
  File(root_, "second.doc");
  OpenFinder();
  Check(IDC_FIND_GRAPHIC);
  Check(IDC_FIND_DELETED);
  Check(IDC_FIND_TEXT);
  Command(IDM_FINDER_FIND);
  ASSERT_EQ(Rows(), 3);
  EXPECT_EQ(ListView_GetItemText(ctx().finder_list, 0, 0), "top.jpg");
  EXPECT_EQ(ListView_GetItemText(ctx().finder_list, 1, 0), "second.doc");
  EXPECT_EQ(ListView_GetItemText(ctx().finder_list, 2, 0), "inner.txt");
  EXPECT_EQ(ListView_GetItemText(ctx().finder_list, 0, 2), "10");
  EXPECT_FALSE(ListView_GetCheckState(ctx().finder_list, 0));  // rows start unticked
  EXPECT_EQ(GetDlgItemText(finder_.get(), IDC_FINDER_FOUND), "3");

  // The colours of the main file list: deleted red, live blue.
  CustomDraw cd;
  cd.item_data = ListView_GetItemData(ctx().finder_list, 0);
  SendCustomDraw(finder_.get(), IDC_FINDER_LIST, cd);
  EXPECT_EQ(cd.text_colour, RGB(255, 0, 0));
  cd.item_data = ListView_GetItemData(ctx().finder_list, 1);
  SendCustomDraw(finder_.get(), IDC_FINDER_LIST, cd);
  EXPECT_EQ(cd.text_colour, RGB(0, 0, 200));

  Command(IDM_FINDER_MARK_ALL);
  for (int r = 0; r < Rows(); ++r) EXPECT_TRUE(ListView_GetCheckState(ctx().finder_list, r));
  Command(IDM_FINDER_UNMARK_ALL);
  for (int r = 0; r < Rows(); ++r) EXPECT_FALSE(ListView_GetCheckState(ctx().finder_list, r));
  // A second find starts the list afresh.
  Command(IDM_FINDER_FIND);
  EXPECT_EQ(Rows(), 3);
}

TEST_F(FinderTest, TwoThousandFiveHundredMatchesListTwoThousandAndMarkAll) {
  TreeItem* a = Dir(root_, "a");
  for (int i = 0; i < 2500; ++i) File(i % 2 ? a : root_, "f" + std::to_string(i) + ".gif");
  File(a, "skip.bin");
  OpenFinder();
  Check(IDC_FIND_GRAPHIC);
  Command(IDM_FINDER_FIND);
  EXPECT_EQ(Rows(), 2000);
  EXPECT_EQ(ctx().finder_found, 2000);
  EXPECT_EQ(GetDlgItemText(finder_.get(), IDC_FINDER_FOUND), "2,000");
  EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_M_FILES), "2,500");
  EXPECT_NE(GetDlgItemText(ctx().main_dlg, IDC_STATUS).find("Found 2,500 files, listed 2,000"), std::string::npos);
}

TEST_F(FinderTest, RefusedPatternsMarkNothingAndUnusedOnesAreNamed) {
  File(root_, "letter.doc");
  OpenFinder();
  SetDlgItemText(finder_.get(), IDC_FIND_PATTERNS, "a," + std::string(300, 'x'));
  Command(IDM_FINDER_FIND);
  ASSERT_FALSE(headless::Boxes().empty());
  EXPECT_NE(headless::Boxes().back().text.find("Pattern 2"), std::string::npos);
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(GetItemRecord(ctx(), root_)->files_head->mark_state, kMarkNone);

  SetDlgItemText(finder_.get(), IDC_FIND_PATTERNS, "*.doc,.,memo");
  Command(IDM_FINDER_FIND);
  EXPECT_EQ(Rows(), 1);
  const std::string status = GetDlgItemText(ctx().main_dlg, IDC_STATUS);
  EXPECT_NE(status.find("not applied"), std::string::npos) << status;
  EXPECT_NE(status.find("\"memo\""), std::string::npos) << status;
}

TEST_F(FinderTest, DialogRunsModallyFromTheMenuAndExitEndsIt) {
  File(root_, "a.txt");
  // Opened from the Utilities menu; the script finds and exits from inside its loop.
  headless::PostCommandAfterSteps(0, IDD_FINDER, IDM_FINDER_FIND);
  headless::PostCommandAfterSteps(1, IDD_FINDER, IDM_FINDER_EXIT);
  PostCommand(ctx().main_dlg, IDM_FIND_FILES);
  DrainQueue();
  EXPECT_EQ(ctx().finder_dlg, nullptr);  // closed again
  EXPECT_EQ(FindDialogTemplate(IDD_FINDER)->controls.size(), 16u);
  const MenuTemplate* menu = FindMenuTemplate(IDR_FINDER_MENU);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu->popups[0].items[5].id, IDM_FINDER_EXIT);
  EXPECT_EQ(menu->popups[0].items[3].id, IDM_FINDER_STOP_COPY);

  ctx().scan_running = 1;  // refused while a scan runs
  PostCommand(ctx().main_dlg, IDM_FIND_FILES);
  DrainQueue();
  ctx().scan_running = 0;
}

// The finder's copy on the FAT32 copy fixture.
class FinderCopyTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow();
    image_ = Fixture("fat/copy.img");
    ASSERT_EQ(AddImageFile(ctx(), image_.string()), 1);
    const int row = ListView_GetItemCount(ctx().phy_list) - 1;
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, row));
    ListView_SetItemState(ctx().phy_list, row, LVIS_SELECTED, LVIS_SELECTED);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_EQ(ReadSectors(ctx(), *drive_, 2048, boot), 1);
    vol_ = MountLogDrive(2048, boot);
    ASSERT_NE(vol_, nullptr);
    ListView_InsertItem(ctx().log_list, 0, "volume", 0, vol_);
    ListView_SetItemState(ctx().log_list, 0, LVIS_SELECTED, LVIS_SELECTED);
    PostCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
    DrainQueue();
    ASSERT_NE(ctx().root_item, nullptr);
    dest_ = TempDir() / "dest";
    fs::create_directories(dest_);
    finder_ = CreateDialogModel(IDD_FINDER, FinderDlgProc, ctx().main_dlg);
    Msg init;
    init.dlg = finder_.get();
    init.kind = MsgKind::InitDialog;
    SendMsg(init);
  }
  void TearDown() override {
    finder_.reset();
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  void Command(int id) {
    PostCommand(finder_.get(), static_cast<std::uint32_t>(id));
    DrainQueue();
  }
  void FindTicked(const std::string& patterns) {
    SetDlgItemText(finder_.get(), IDC_FIND_PATTERNS, patterns);
    Command(IDM_FINDER_FIND);
    Command(IDM_FINDER_MARK_ALL);
  }
  int Ticked() {
    int n = 0;
    for (int r = 0; r < ListView_GetItemCount(ctx().finder_list); ++r) n += ListView_GetCheckState(ctx().finder_list, r);
    return n;
  }

  fs::path image_, dest_;
  PHYDRIVE_INFO* drive_ = nullptr;
  LOGDRIVE_INFO* vol_ = nullptr;
  std::unique_ptr<Dialog> finder_;
};

TEST_F(FinderCopyTest, TickedRowsAreCopiedByteForByteAndUnticked) {
  FindTicked("*.txt");
  ASSERT_EQ(ListView_GetItemCount(ctx().finder_list), 6);  // three in Root, one in SUB, two in DEEP
  ListView_SetCheckState(ctx().finder_list, 1, false);     // one left out
  const std::string left_out = ListView_GetItemText(ctx().finder_list, 1, 0);
  headless::AnswerFolder(dest_.string());
  Command(IDM_FINDER_COPY);
  EXPECT_EQ(ctx().finder_copy_running, 0);
  EXPECT_EQ(Ticked(), 0);  // every copied row unticked
  EXPECT_FALSE(fs::exists(dest_ / left_out));
  EXPECT_EQ(static_cast<FILE_INODE*>(ListView_GetItemData(ctx().finder_list, 0))->mark_state, kMarkUnmarked);
  EXPECT_EQ(static_cast<FILE_INODE*>(ListView_GetItemData(ctx().finder_list, 1))->mark_state, kMarkMarked);
  // Flat into the folder, each equal to the file the fixture was built with.
  std::istringstream md5s(FixtureText("fat/copy.md5.txt"));
  int compared = 0;
  for (std::string line; std::getline(md5s, line);) {
    const std::string path = line.substr(line.rfind("  ") + 2);
    const std::string name = fs::path(path).filename().string();
    if (fs::exists(dest_ / name)) {
      FILE* p = ::popen(("md5sum " + Quoted(dest_ / name)).c_str(), "r");
      char buf[64] = {};
      ASSERT_NE(std::fgets(buf, sizeof buf, p), nullptr);
      ::pclose(p);
      EXPECT_EQ(std::string(buf, 32), line.substr(0, 32)) << name;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 5);
  EXPECT_NE(GetDlgItemText(ctx().main_dlg, IDC_STATUS).find("Copied 5 files"), std::string::npos);
}

TEST_F(FinderCopyTest, StopCopyAndExitEndTheCopyBetweenFilesAndExitIsRefused) {
  FindTicked("*.txt");
  headless::AnswerFolder(dest_.string());
  headless::PostCommandAfterSteps(0, IDD_FINDER, IDM_FINDER_STOP_COPY);
  Command(IDM_FINDER_COPY);
  EXPECT_LT(Ticked(), 6);
  EXPECT_GT(Ticked(), 0);
  EXPECT_NE(GetDlgItemText(ctx().main_dlg, IDC_STATUS).find("Copy stopped"), std::string::npos);
  EXPECT_TRUE(Menu_FindCommand(finder_->menu.get(), IDM_FINDER_FIND)->enabled);  // enabled again

  // Exit while the copy runs: the copy stops, the dialog stays.
  const int before = Ticked();
  headless::AnswerFolder((TempDir() / "dest2").string());
  fs::create_directories(TempDir() / "dest2");
  headless::PostCommandAfterSteps(0, IDD_FINDER, IDM_FINDER_EXIT);
  Command(IDM_FINDER_COPY);
  EXPECT_FALSE(finder_->ended);
  EXPECT_LT(Ticked(), before);
  EXPECT_GT(Ticked(), 0);

  // A close command arriving while the copy runs is refused.
  ctx().finder_copy_running = 1;
  Command(IDM_FINDER_EXIT);
  PostSysCommand(finder_.get(), SC_CLOSE);
  DrainQueue();
  EXPECT_FALSE(finder_->ended);
  ctx().finder_copy_running = 0;
  Command(IDM_FINDER_EXIT);
  EXPECT_TRUE(finder_->ended);
}

TEST_F(FinderCopyTest, CliFindPrintsEveryMarkedFileAndRecoverCopiesOnlyThose) {
  const std::string image = Quoted(image_);
  const CliRun find = RunCli("find " + image + " 2048 --pattern 'keeper,*.bin' --text", "2>&1");
  EXPECT_EQ(find.status, 0) << find.out;
  EXPECT_NE(find.out.find("Root/KEEPER.TXT\tin-use\t60\t"), std::string::npos) << find.out;
  EXPECT_NE(find.out.find("Root/SUB/DEEP/Second.txt\tin-use\t12\t"), std::string::npos) << find.out;
  EXPECT_NE(find.out.find("found 11, listed 11"), std::string::npos) << find.out;
  EXPECT_EQ(find.out.find("README.TXT\tin-use"), find.out.find("README.TXT"));  // printed once
  const CliRun refused = RunCli("find " + image + " 2048 --pattern " + std::string(260, 'a'), "2>&1");
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.out.find("more than 254"), std::string::npos) << refused.out;

  const CliRun recover = RunCli("recover " + image + " 2048 " + Quoted(dest_) + " --pattern keeper");
  EXPECT_EQ(recover.status, 0) << recover.out;
  EXPECT_TRUE(fs::exists(dest_ / "Root" / "KEEPER.TXT"));
  EXPECT_FALSE(fs::exists(dest_ / "Root" / "README.TXT"));
  EXPECT_FALSE(fs::exists(dest_ / "Root" / "SUB"));
  EXPECT_EQ(ReadAll(dest_ / "Root" / "KEEPER.TXT").size(), 60u);
  EXPECT_EQ(RunCli("recover " + image + " 2048 " + Quoted(dest_) + " --text --path Root").status, 2);
}
