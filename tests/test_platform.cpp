// Control models and the dialog queue.
#include "res/resources.h"
#include "platform/controls.h"
#include "platform/frontend.h"
#include "platform/window.h"
#include "res/ids.h"
#include "test_support.h"

namespace {

std::vector<std::string> ChildTexts(const TreeItem* parent) {
  std::vector<std::string> out;
  for (const TreeItem* c = parent->first_child; c; c = c->next_sibling) out.push_back(c->text);
  return out;
}

// The order of item texts, byte by byte: ASCII letters folded, nothing else.
int PlainCompare(const std::string& a, const std::string& b) {
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : int{c}; };
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return fold(a[i]) < fold(b[i]) ? -1 : 1;
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

TEST(TreeModel, SortedInsertIgnoresCaseAndKeepsEqualsInArrivalOrder) {
  TreeView tv;
  for (const char* t : {"beta", "Alpha", "gamma", "ALPHA", "alpha2", "Beta"})
    TreeView_InsertItem(&tv, nullptr, TreeInsert::Sort, t, 0, 0, nullptr);
  EXPECT_EQ(ChildTexts(&tv.root), (std::vector<std::string>{"Alpha", "ALPHA", "alpha2", "beta", "Beta", "gamma"}));
  TreeView_InsertItem(&tv, nullptr, TreeInsert::First, "zz", 0, 0, nullptr);
  TreeView_InsertItem(&tv, nullptr, TreeInsert::Last, "aa", 0, 0, nullptr);
  EXPECT_EQ(ChildTexts(&tv.root).front(), "zz");
  EXPECT_EQ(ChildTexts(&tv.root).back(), "aa");
}

TEST(TreeModel, DeletingASubtreeUnlinksItAndCountsEveryDescendant) {
  TreeView tv;
  TreeItem* a = TreeView_InsertItem(&tv, nullptr, TreeInsert::Last, "a", 0, 0, nullptr);
  TreeItem* b = TreeView_InsertItem(&tv, nullptr, TreeInsert::Last, "b", 0, 0, nullptr);
  TreeItem* a1 = TreeView_InsertItem(&tv, a, TreeInsert::Last, "a1", 0, 0, nullptr);
  TreeView_InsertItem(&tv, a1, TreeInsert::Last, "a11", 0, 0, nullptr);
  TreeView_InsertItem(&tv, a, TreeInsert::Last, "a2", 0, 0, nullptr);
  TreeView_SelectItem(&tv, a1);
  EXPECT_EQ(TreeView_GetLevel(a1), 1);
  EXPECT_EQ(TreeView_GetParent(&tv, a1), a);
  EXPECT_EQ(TreeView_GetParent(&tv, a), nullptr);
  TreeView_DeleteItem(&tv, a);
  EXPECT_EQ(TreeView_GetCount(&tv), 1u);
  EXPECT_EQ(TreeView_GetRoot(&tv), b);
  EXPECT_EQ(b->prev_sibling, nullptr);
  EXPECT_EQ(tv.root.last_child, b);
  EXPECT_EQ(tv.selection, nullptr) << "selection must not point into a deleted subtree";
  TreeView_DeleteAllItems(&tv);
  EXPECT_EQ(TreeView_GetCount(&tv), 0u);
  EXPECT_EQ(TreeView_GetRoot(&tv), nullptr);
}

TEST(TreeModel, AVeryDeepTreeIsDeletedAndDestroyedWithoutRecursion) {
  auto tv = std::make_unique<TreeView>();
  TreeItem* parent = nullptr;
  for (int i = 0; i < 200000; ++i) parent = TreeView_InsertItem(tv.get(), parent, TreeInsert::Last, "d", 0, 0, nullptr);
  TreeItem* mid = tv->root.first_child;
  for (int i = 0; i < 100000; ++i) mid = mid->first_child;
  TreeView_DeleteItem(tv.get(), mid);
  EXPECT_EQ(TreeView_GetCount(tv.get()), 100000u);
  tv.reset();  // must not overflow the stack
}

TEST(ListModel, CheckBoxesAndRowOrder) {
  ListView lv;
  ListView_InsertItem(&lv, 0, "a", 0, nullptr);
  ListView_SetExtendedStyle(&lv, LVS_EX_CHECKBOXES);
  EXPECT_EQ(lv.rows[0].check_state, 1) << "existing rows get an unchecked box";
  ListView_InsertItem(&lv, 0, "b", 0, nullptr);
  ListView_InsertItem(&lv, 99, "c", 0, nullptr);  // past the end: appended
  EXPECT_EQ(ListView_GetItemText(&lv, 0, 0), "b");
  EXPECT_EQ(ListView_GetItemText(&lv, 2, 0), "c");
  EXPECT_FALSE(ListView_GetCheckState(&lv, 1));
  ListView_SetCheckState(&lv, 1, true);
  EXPECT_TRUE(ListView_GetCheckState(&lv, 1));
  EXPECT_TRUE(ListView_SetItemText(&lv, 2, 2, "size"));
  EXPECT_EQ(ListView_GetItemText(&lv, 2, 1), "");
  EXPECT_FALSE(ListView_SetItemText(&lv, 3, 0, "x"));
  EXPECT_EQ(ListView_GetItemText(&lv, -1, 0), "");
}

TEST(ProgressModel, PositionStaysInsideTheRange) {
  ProgressBar pb;
  Progress_SetRange32(&pb, 0, 3);
  Progress_SetStep(&pb, 1);
  Progress_SetPos(&pb, 10);
  EXPECT_EQ(pb.pos, 3);
  Progress_SetPos(&pb, -4);
  EXPECT_EQ(pb.pos, 0);
  for (int i = 0; i < 3; ++i) Progress_StepIt(&pb);
  EXPECT_EQ(pb.pos, 3);
}

// ---- Queue and dialogs ------------------------------------------------------------

namespace {

std::vector<std::string> g_seen;

std::intptr_t RecordingProc(Dialog* dlg, const Msg& m) {
  switch (m.kind) {
    case MsgKind::InitDialog:
      g_seen.push_back("init");
      return 1;
    case MsgKind::Command:
      g_seen.push_back("cmd " + std::to_string(m.id));
      if (m.id == 77) EndDialog(dlg, 77);
      return 1;
    case MsgKind::Notify:
      g_seen.push_back("notify " + std::to_string(m.id) + " check=" +
                       std::to_string(ListView_GetCheckState(GetListView(dlg, m.id), m.hit.row)));
      return 1;
    default:
      return 0;
  }
}

}  // namespace

class QueueTest : public RetrovaTest {};

TEST_F(QueueTest, ScriptedMessagesReachTheModalDialogAndEndIt) {
  g_seen.clear();
  headless::PostCommandAfterSteps(0, IDD_ABOUT, 5);
  headless::PostCommandAfterSteps(3, IDD_ABOUT, 77);
  EXPECT_EQ(RunDialog(IDD_ABOUT, RecordingProc, nullptr), 77);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"init", "cmd 5", "cmd 77"}));
  EXPECT_TRUE(LiveDialogs().empty());
}

TEST_F(QueueTest, IdleDialogsEndAndMessagesForAGoneDialogAreDropped) {
  EXPECT_EQ(RunDialog(IDD_ABOUT, RecordingProc, nullptr), -1) << "nothing left to happen must not hang";
  EXPECT_EQ(RunDialog(4242, RecordingProc, nullptr), -1) << "unknown template";
  auto dlg = CreateDialogModel(IDD_ABOUT, RecordingProc, nullptr);
  PostCommand(dlg.get(), 5);
  EXPECT_FALSE(QueueEmpty());
  dlg.reset();
  EXPECT_TRUE(QueueEmpty());
  PostCommand(reinterpret_cast<Dialog*>(0x1234), 5);
  EXPECT_TRUE(QueueEmpty());
}

TEST_F(QueueTest, ACheckBoxTogglesOnlyAfterTheOwnerHandledTheClick) {
  g_seen.clear();
  auto dlg = CreateDialogModel(IDD_MAIN, RecordingProc, nullptr);
  ListView* lv = GetListView(dlg.get(), IDC_FILE_LIST);
  ListView_SetExtendedStyle(lv, LVS_EX_CHECKBOXES);
  ListView_InsertItem(lv, 0, "f", 5, nullptr);
  ClickListRow(dlg.get(), IDC_FILE_LIST, 0, HitPart::CheckBox);
  ClickListRow(dlg.get(), IDC_FILE_LIST, 0, HitPart::Label);
  DrainQueue();
  EXPECT_EQ(g_seen, (std::vector<std::string>{"notify 1016 check=0", "notify 1016 check=1"}));
  EXPECT_TRUE(ListView_GetCheckState(lv, 0)) << "a label click must not toggle";
  EXPECT_TRUE(ListView_GetItemState(lv, 0, LVIS_SELECTED));
}

TEST(TreeModel, TextOrderFoldsOnlyAsciiLettersWhereverTheTextsDiffer) {
  // Differences before, at and after the eighth byte; bytes with the top bit
  // set whose low bits spell a letter (0xC1) must not fold; NULs inside.
  const std::string prefix = "Folder 0123456789";
  std::vector<std::string> texts{"", "a", "A", "b", "[", "`", "@", "z", "Z", "\xC1", "\xE1", "a\0", std::string("a\0b", 3)};
  for (std::size_t cut = 0; cut <= prefix.size(); ++cut)
    for (const char* tail : {"", "a", "B", "\xC1", "\xE1", "~", "_", "0"}) texts.push_back(prefix.substr(0, cut) + tail);
  texts.push_back("FOLDER 0123456789");
  texts.push_back("folder 0123456789x");
  for (const std::string& a : texts)
    for (const std::string& b : texts) ASSERT_EQ(TreeView_CompareText(a, b), PlainCompare(a, b)) << a << " / " << b;
}

TEST(TreeModel, SortedInsertIntoManyChildrenMatchesTheSiblingWalk) {
  std::vector<std::string> ref;  // the walk back from the last child, on a plain list
  TreeView tv;
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  // Texts with long shared beginnings and some shorter than eight bytes, so
  // that equal leading bytes are common among the siblings; some differ only
  // in case or only past the sixteenth byte, where the index's key ends.
  const char* stems[] = {"",          "A",           "folder ",          "FOLDER X",        "Folder x1",
                         "Document 0001", "DOCUMENT 0001 wi", "document 0001 with", "Document 0001 WITH "};
  constexpr std::size_t kStems = sizeof stems / sizeof stems[0];
  for (int i = 0; i < 3000; ++i) {
    const std::string t =
        stems[next() % kStems] + std::string(1, static_cast<char>('A' + next() % 3)) + std::to_string(next() % 500);
    const std::uint32_t how = next() % 50;
    if (how == 0) {  // now and then an unsorted insert at the end breaks the order
      TreeView_InsertItem(&tv, nullptr, TreeInsert::Last, "zz" + t, 0, 0, nullptr);
      ref.push_back("zz" + t);
    } else if (how == 1 && tv.root.first_child) {
      TreeView_DeleteItem(&tv, tv.root.first_child);
      ref.erase(ref.begin());
    } else if (how == 2 && tv.root.first_child) {
      TreeView_SetItemText(&tv, tv.root.first_child, "a" + t);
      ref.front() = "a" + t;
    } else {
      TreeView_InsertItem(&tv, nullptr, TreeInsert::Sort, t, 0, 0, nullptr);
      auto pos = ref.end();
      while (pos != ref.begin() && PlainCompare(pos[-1], t) > 0) --pos;
      ref.insert(pos, t);
    }
    if (i % 100 == 99) {
      ASSERT_EQ(ChildTexts(&tv.root), ref) << "after step " << i;
    }
  }
}
