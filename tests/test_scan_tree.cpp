// The scan tree: pending lists, FILE_INODE names, Root, linking and attaching,
// the number index against the plain depth-first search, and the releases.
#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/main_window.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

INODE_RECD* Dir(std::uint64_t own, std::uint64_t parent, const std::string& name,
                std::uint32_t flags = kRecInUse | kRecDirectory) {
  auto* r = new INODE_RECD;
  r->posix_name = name;
  r->own_number = own;
  r->parent_number = parent;
  r->record_flags = flags;
  return r;
}

FILE_INODE* File(std::uint64_t parent, const std::string& name) {
  auto* f = new FILE_INODE;
  f->name = name;
  f->name_size = static_cast<std::uint32_t>(name.size() + 1);
  f->parent_number = parent;
  return f;
}

TreeItem* Child(TreeItem* parent, const std::string& text) {
  for (TreeItem* c = parent ? parent->first_child : nullptr; c; c = c->next_sibling)
    if (c->text == text) return c;
  return nullptr;
}

std::vector<std::string> ChildTexts(TreeItem* parent) {
  std::vector<std::string> out;
  for (TreeItem* c = parent->first_child; c; c = c->next_sibling) out.push_back(c->text);
  return out;
}

std::vector<std::string> FileNames(const INODE_RECD& dir) {
  std::vector<std::string> out;
  for (FILE_INODE* f = dir.files_head; f; f = f->next_in_dir) out.push_back(f->name);
  return out;
}

// The whole tree in pre-order: depth, text, and the record unless the tree
// owns it (those are freed with the tree, so only their text can be compared).
struct ShapeItem {
  int depth;
  std::string text;
  const void* listed_record;
  bool operator==(const ShapeItem&) const = default;
};

std::vector<ShapeItem> Shape(TreeView* tv) {
  std::vector<ShapeItem> out;
  std::vector<std::pair<TreeItem*, int>> stack;
  for (TreeItem* t = tv->root.last_child; t; t = t->prev_sibling) stack.emplace_back(t, 0);
  while (!stack.empty()) {
    auto [it, depth] = stack.back();
    stack.pop_back();
    const auto* r = static_cast<const INODE_RECD*>(it->data);
    out.push_back({depth, it->text, r->tree_owned ? nullptr : r});
    for (TreeItem* c = it->last_child; c; c = c->prev_sibling) stack.emplace_back(c, depth + 1);
  }
  return out;
}

// Linking as first described: a full search per record, passes until none places.
void ReferenceLink(AppContext& c) {
  INODE_RECD* unlinked = Dir(0, kRootNumber, "Unlinked Data", kRecSynthetic);
  unlinked->tree_owned = true;
  TreeItem* unlinked_item = InsertTreeRecord(c, unlinked, TreeView_GetRoot(c.dir_tree), TreeInsert::Last);
  auto each = [&](auto&& fn) {
    INODE_RECD* r = c.pending_dir_head;
    for (std::uint64_t i = 0; i < c.pending_dir_count; ++i, r = r->next_pending) fn(r);
  };
  for (bool placed = true; placed;) {
    placed = false;
    each([&](INODE_RECD* r) {
      if (r->link_state == kLinkPlaced) return;
      if (TreeItem* p = FindDirByNumber(c, TreeView_GetRoot(c.dir_tree), r->parent_number)) {
        InsertTreeRecord(c, r, p, TreeInsert::Sort);
        r->link_state = kLinkPlaced;
        placed = true;
      }
    });
  }
  each([&](INODE_RECD* r) {
    if (r->link_state != kLinkPlaced) {
      TreeItem* p = FindDirByNumber(c, TreeView_GetRoot(c.dir_tree), r->parent_number);
      if (p)
        InsertTreeRecord(c, r, p, TreeInsert::Sort);
      else
        InsertTreeRecord(c, r, unlinked_item, TreeInsert::Last);
    }
    r->link_state = kLinkFinal;
  });
}

class ScanTreeTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow();
    ASSERT_NE(ctx().dir_tree, nullptr);
    ctx().scanned_logdrive = &drive_;
    ASSERT_EQ(MakeRoot(ctx()), 1);
  }
  void TearDown() override {
    ResetScanTree(ctx());
    ctx().scanned_logdrive = nullptr;
    RetrovaTest::TearDown();
  }
  TreeItem* Root() { return ctx().root_item; }
  TreeItem* Unlinked() { return Child(Root(), "Unlinked Data"); }
  TreeItem* Orphans() { return Child(Root(), "Orphan Files"); }
  INODE_RECD* AddDir(std::uint64_t own, std::uint64_t parent, const std::string& name) {
    INODE_RECD* r = Dir(own, parent, name);
    EXPECT_EQ(AppendPendingDir(ctx(), r), 1);
    return r;
  }
  FILE_INODE* AddFile(std::uint64_t parent, const std::string& name) {
    FILE_INODE* f = File(parent, name);
    EXPECT_EQ(AppendPendingFile(ctx(), f), 1);
    return f;
  }

  LOGDRIVE_INFO drive_;
};

}  // namespace

TEST_F(ScanTreeTest, MakeFileInodeTakesTheFirstQualifyingName) {
  INODE_RECD r;
  r.short_name = "SHORT~1.TXT";
  r.own_number = 0x1'2345'6789ULL;
  r.data_size = 5'000'000'000ULL;
  const std::string nul_first("\0x", 2);
  for (const auto& [posix, expected] : std::vector<std::pair<std::optional<std::string>, std::string>>{
           {"Long name.txt", "Long name.txt"}, {std::nullopt, "SHORT~1.TXT"}, {"", "SHORT~1.TXT"},
           {" lead", "SHORT~1.TXT"}, {nul_first, "SHORT~1.TXT"}}) {
    r.posix_name = posix;
    std::unique_ptr<FILE_INODE> f(MakeFileInode(r));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->name, expected);
    EXPECT_EQ(f->name_size, expected.size() + 1);
    EXPECT_EQ(f->own_number, 0x23456789u);  // low 32 bits
    EXPECT_EQ(f->data_size, r.data_size);
  }
  r.posix_name = " x";
  r.short_name = "";
  EXPECT_EQ(MakeFileInode(r), nullptr);
  r.posix_name.reset();
  r.short_name.reset();
  EXPECT_EQ(MakeFileInode(r), nullptr);
}

TEST_F(ScanTreeTest, MakeRootReplacesTheTreeAndResetsTheCounters) {
  TreeItem* root = Root();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(TreeView_GetRoot(ctx().dir_tree), root);
  EXPECT_EQ(root->text, "Root");
  EXPECT_EQ(root->image, 2);
  EXPECT_EQ(root->selected_image, 1);
  const INODE_RECD* rec = GetItemRecord(ctx(), root);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->own_number, kRootNumber);
  EXPECT_EQ(rec->parent_number, kNoParent);
  EXPECT_EQ(rec->record_flags, 3u);
  EXPECT_EQ(drive_.dirs_found, 1);

  // A FAT-style tree: records and files owned by their items.
  INODE_RECD* d = Dir(20, 5, "dir");
  d->tree_owned = true;
  TreeItem* di = InsertTreeRecord(ctx(), d, root, TreeInsert::Sort);
  AppendFileToDir(*d, File(20, "a.txt"));
  AppendFileToDir(*GetItemRecord(ctx(), root), File(5, "top.txt"));
  INODE_RECD* deleted = Dir(21, 20, "gone", kRecDirectory);
  deleted->tree_owned = true;
  TreeItem* gi = InsertTreeRecord(ctx(), deleted, di, TreeInsert::Last);
  EXPECT_EQ(gi->image, 4);
  EXPECT_EQ(gi->selected_image, 3);
  drive_.files_found = 7;
  drive_.spare_count = 3;

  ASSERT_EQ(MakeRoot(ctx()), 1);  // frees the old records (ASan would see a leak or a double free)
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 1u);
  EXPECT_NE(Root(), nullptr);
  EXPECT_EQ(drive_.dirs_found, 1);
  EXPECT_EQ(drive_.files_found, 0);
  EXPECT_EQ(drive_.spare_count, 0);

}

TEST_F(ScanTreeTest, ChildrenBeforeParentsTakeOnePassPerLevel) {
  // Listed deepest first: each pass can place only the next level down.
  AddDir(104, 103, "d4");
  AddDir(103, 102, "d3");
  AddDir(102, 101, "d2");
  AddDir(101, 5, "d1");
  const std::uint64_t steps_before = headless::PumpSteps();
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  // One pump per record looked up: passes look at 4, 3, 2, 1, then 0 records.
  EXPECT_EQ(headless::PumpSteps() - steps_before, 4u + 3 + 2 + 1);

  TreeItem* d4 = Child(Child(Child(Child(Root(), "d1"), "d2"), "d3"), "d4");
  ASSERT_NE(d4, nullptr);
  EXPECT_EQ(FindDirByNumber(ctx(), TreeView_GetRoot(ctx().dir_tree), 104), d4);
  EXPECT_EQ(Unlinked()->first_child, nullptr);
  for (INODE_RECD* r = ctx().pending_dir_head; r; r = r->next_pending) EXPECT_EQ(r->link_state, kLinkFinal);
  EXPECT_EQ(ctx().progress_bar->pos, 0);
  EXPECT_EQ(ctx().progress_bar->high, 4);
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(254, 180, 38));
}

TEST_F(ScanTreeTest, ParentNamingAFileOrNothingLandsUnderUnlinkedDataWithItsSubtree) {
  AddDir(30, 999, "parent-missing");
  AddDir(31, 30, "under-missing-child");
  AddDir(32, 31, "grandchild");
  AddDir(40, 77, "parent-is-a-file");     // 77 is a file number, never a directory
  AddDir(12, 5, "Beta");
  AddDir(11, 5, "alpha");
  AddDir(13, 5, "ALPHA");                 // equal texts keep their arrival order
  AddFile(77, "the file");
  // A terminate request during linking is taken off the queue but does not cut it short.
  headless::PostCommandAfterSteps(0, 101, IDM_TERMINATE_SCAN);
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  ASSERT_EQ(AttachPendingFiles(ctx()), 1);

  EXPECT_EQ(ChildTexts(Root()), (std::vector<std::string>{"alpha", "ALPHA", "Beta", "Unlinked Data", "Orphan Files"}));
  EXPECT_EQ(ChildTexts(Unlinked()), (std::vector<std::string>{"parent-missing", "parent-is-a-file"}));
  TreeItem* missing = Child(Unlinked(), "parent-missing");
  EXPECT_NE(Child(Child(missing, "under-missing-child"), "grandchild"), nullptr);
  EXPECT_EQ(Unlinked()->image, 8);
  EXPECT_EQ(Unlinked()->selected_image, 7);
  EXPECT_EQ(FileNames(*GetItemRecord(ctx(), Orphans())), std::vector<std::string>{"the file"});
}

TEST_F(ScanTreeTest, FilesFindTheirDirectoryUnlinkedDataOrOrphanFiles) {
  AddDir(50, 5, "docs");
  AddFile(50, "a.txt");
  AddFile(0, "zero-parent");  // "Unlinked Data" (number 0) comes before "Orphan Files"
  AddFile(5, "top.txt");
  AddFile(4242, "lost");
  AddFile(50, "b.txt");
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  drive_.dirs_found = 2;
  ASSERT_EQ(AttachPendingFiles(ctx()), 1);

  EXPECT_EQ(FileNames(*GetItemRecord(ctx(), Child(Root(), "docs"))), (std::vector<std::string>{"a.txt", "b.txt"}));
  const INODE_RECD* docs = GetItemRecord(ctx(), Child(Root(), "docs"));
  EXPECT_EQ(docs->file_count, 2u);
  EXPECT_EQ(docs->files_tail->name, "b.txt");
  EXPECT_EQ(FileNames(*GetItemRecord(ctx(), Unlinked())), std::vector<std::string>{"zero-parent"});
  EXPECT_EQ(FileNames(*GetItemRecord(ctx(), Root())), std::vector<std::string>{"top.txt"});
  EXPECT_EQ(FileNames(*GetItemRecord(ctx(), Orphans())), std::vector<std::string>{"lost"});
  EXPECT_EQ(drive_.dirs_found, 3);
  EXPECT_EQ(ctx().pending_dir_tail, GetItemRecord(ctx(), Orphans()));
  EXPECT_EQ(ctx().progress_bar->pos, 0);
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(4, 180, 21));
}

TEST_F(ScanTreeTest, OrphanFilesIsMadeEvenWhenEmptyAsRootsLastChild) {
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  ASSERT_EQ(AttachPendingFiles(ctx()), 1);
  EXPECT_EQ(ChildTexts(Root()), (std::vector<std::string>{"Unlinked Data", "Orphan Files"}));
  EXPECT_EQ(GetItemRecord(ctx(), Orphans())->file_count, 0u);
  EXPECT_EQ(ctx().pending_dir_count, 1u);
}

TEST_F(ScanTreeTest, ARecordArrivingMarkedAsPlacedIsStillLinked) {
  INODE_RECD* r = AddDir(60, 5, "from a damaged file");
  r->link_state = kLinkPlaced;
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  EXPECT_NE(Child(Root(), "from a damaged file"), nullptr);
  EXPECT_EQ(r->link_state, kLinkFinal);
}

// Every insertion may put an item with a repeated number before the current
// holder in depth-first order (sorted or first among siblings, new top-level
// items); the index must follow the plain search each time.
TEST_F(ScanTreeTest, NumberIndexAgreesWithTheDepthFirstSearchAfterEveryInsertion) {
  const char* texts[] = {"a", "A", "b", "B", "c", "m", "M", "z"};
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    ASSERT_EQ(MakeRoot(ctx()), 1);
    std::mt19937 rng(seed);
    DirNumberIndex index(ctx());
    std::vector<TreeItem*> items{Root()};
    for (int i = 0; i < 1500; ++i) {
      INODE_RECD* r = Dir(rng() % 24, 0, texts[rng() % 8]);
      r->tree_owned = true;
      TreeItem* parent = rng() % 40 == 0 ? nullptr : items[rng() % items.size()];
      const TreeInsert where = std::array{TreeInsert::First, TreeInsert::Last, TreeInsert::Sort}[rng() % 3];
      TreeItem* item = InsertTreeRecord(ctx(), r, parent, where);
      ASSERT_NE(item, nullptr);
      index.Add(item);
      items.push_back(item);
      for (std::uint64_t n : {r->own_number, static_cast<std::uint64_t>(rng() % 26)})
        ASSERT_EQ(index.Find(n), FindDirByNumber(ctx(), TreeView_GetRoot(ctx().dir_tree), n))
            << "seed " << seed << " insertion " << i << " number " << n;
    }
    // A fresh build from the finished tree agrees too.
    const DirNumberIndex rebuilt(ctx());
    for (std::uint64_t n = 0; n < 26; ++n)
      EXPECT_EQ(rebuilt.Find(n), FindDirByNumber(ctx(), TreeView_GetRoot(ctx().dir_tree), n));
  }
}

TEST_F(ScanTreeTest, LinkingWithRepeatedNumbersBuildsTheSameTreeAsTheFullSearch) {
  const char* texts[] = {"x", "X", "y", "Y", "k", "dup"};
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    ResetScanTree(ctx());
    ASSERT_EQ(MakeRoot(ctx()), 1);
    std::mt19937 rng(seed);
    for (int i = 0; i < 400; ++i) {
      // Small number ranges: many repeats, parents that are missing, and
      // numbers shared with Root (5) and "Unlinked Data" (0).
      AddDir(rng() % 70, rng() % 8 == 0 ? kRootNumber : rng() % 80, texts[rng() % 6]);
    }
    ReferenceLink(ctx());
    const auto expected = Shape(ctx().dir_tree);

    ASSERT_EQ(MakeRoot(ctx()), 1);
    for (INODE_RECD* r = ctx().pending_dir_head; r; r = r->next_pending) r->link_state = kLinkMade;
    ASSERT_EQ(LinkPendingDirs(ctx()), 1);
    const auto actual = Shape(ctx().dir_tree);
    ASSERT_EQ(actual.size(), expected.size()) << "seed " << seed;
    for (std::size_t i = 0; i < actual.size(); ++i)
      ASSERT_EQ(actual[i], expected[i]) << "seed " << seed << " item " << i << " " << actual[i].text;
  }
}

TEST_F(ScanTreeTest, DeepChainsNeitherRecurseNorSlowDown) {
  constexpr std::uint64_t kDepth = 100'000;
  for (std::uint64_t i = 0; i < kDepth; ++i) AddDir(1000 + i, i == 0 ? kRootNumber : 999 + i, "d");
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  TreeItem* deepest = FindDirByNumber(ctx(), TreeView_GetRoot(ctx().dir_tree), 1000 + kDepth - 1);
  ASSERT_NE(deepest, nullptr);
  EXPECT_EQ(TreeView_GetLevel(deepest), static_cast<int>(kDepth));
  EXPECT_EQ(GetItemRecord(ctx(), deepest)->own_number, 1000 + kDepth - 1);
}

TEST_F(ScanTreeTest, ReleasingTheListsTakesTheirRecordsOutOfTreeAndFileLists) {
  INODE_RECD* d = AddDir(70, 5, "d");
  EXPECT_EQ(AppendPendingDir(ctx(), d), 0);  // listed twice would loop the list
  AddDir(71, 70, "e");
  AddFile(70, "in d");
  AddFile(5, "in root");
  FILE_INODE* f = AddFile(0, "in unlinked");
  EXPECT_EQ(AppendPendingFile(ctx(), f), 0);
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  ASSERT_EQ(AttachPendingFiles(ctx()), 1);
  // A FAT-style file owned by Root sits in the same list as the listed ones.
  INODE_RECD* root_rec = GetItemRecord(ctx(), Root());
  AppendFileToDir(*root_rec, File(5, "owned by root"));

  ReleasePendingFiles(ctx());
  EXPECT_EQ(ctx().pending_file_count, 0u);
  EXPECT_EQ(FileNames(*root_rec), std::vector<std::string>{"owned by root"});
  EXPECT_EQ(root_rec->file_count, 1u);
  EXPECT_EQ(GetItemRecord(ctx(), Unlinked())->file_count, 0u);

  ReleasePendingDirs(ctx());
  EXPECT_EQ(ctx().pending_dir_count, 0u);
  EXPECT_EQ(ctx().pending_dir_head, nullptr);
  EXPECT_EQ(ChildTexts(Root()), std::vector<std::string>{"Unlinked Data"});

  // A new scan's start and a reset free the rest exactly once.
  ASSERT_EQ(MakeRoot(ctx()), 1);
  AddDir(80, 5, "again");
  AddFile(80, "f");
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  ASSERT_EQ(AttachPendingFiles(ctx()), 1);
  ResetScanTree(ctx());
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(ctx().root_item, nullptr);
  EXPECT_EQ(ctx().pending_dir_count, 0u);
  EXPECT_EQ(ctx().pending_file_count, 0u);
  EXPECT_EQ(ctx().pending_file_head, nullptr);
}
