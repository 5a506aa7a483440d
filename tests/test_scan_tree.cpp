// The scan tree: pending lists, FILE_INODE names, Root, linking and attaching,
// the number index against the plain depth-first search, and the releases.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "app/main_window.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"

namespace {

using Names = std::vector<std::string>;

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

Names ChildTexts(TreeItem* parent) {
  Names out;
  for (TreeItem* c = parent->first_child; c; c = c->next_sibling) out.push_back(c->text);
  return out;
}

Names FileNames(const INODE_RECD* dir) {
  Names out;
  for (FILE_INODE* f = dir->files_head; f; f = f->next_in_dir) out.push_back(f->name);
  return out;
}

// Pre-order depth, text and record (null for tree-owned ones, freed with the tree).
using Shape = std::vector<std::tuple<int, std::string, const void*>>;
void ShapeOf(TreeItem* t, int depth, Shape& out) {
  for (; t; t = t->next_sibling) {
    const auto* r = static_cast<const INODE_RECD*>(t->data);
    out.emplace_back(depth, t->text, r->tree_owned ? nullptr : r);
    ShapeOf(t->first_child, depth + 1, out);
  }
}

// Linking as first described: a full search per record, passes until none places.
void ReferenceLink(AppContext& c) {
  INODE_RECD* unlinked = Dir(0, kRootNumber, "Unlinked Data", kRecSynthetic);
  unlinked->tree_owned = true;
  TreeItem* top = TreeView_GetRoot(c.dir_tree);
  TreeItem* unlinked_item = InsertTreeRecord(c, unlinked, top, TreeInsert::Last);
  auto place = [&](INODE_RECD* r) {
    TreeItem* p = FindDirByNumber(top, r->parent_number);
    if (p) InsertTreeRecord(c, r, p, TreeInsert::Sort);
    return p != nullptr;
  };
  for (bool again = true; again;) {
    again = false;
    for (INODE_RECD* r = c.pending_dir_head; r; r = r->next_pending)
      if (r->link_state != kLinkPlaced && place(r)) r->link_state = kLinkPlaced, again = true;
  }
  for (INODE_RECD* r = c.pending_dir_head; r; r = r->next_pending) {
    if (r->link_state != kLinkPlaced && !place(r)) InsertTreeRecord(c, r, unlinked_item, TreeInsert::Last);
    r->link_state = kLinkFinal;
  }
}

class ScanTreeTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    OpenMainWindow();
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
  INODE_RECD* Rec(TreeItem* item) { return GetItemRecord(ctx(), item); }
  TreeItem* Find(std::uint64_t n) { return FindDirByNumber(TreeView_GetRoot(ctx().dir_tree), n); }
  // Links the pending directories by the old passes, then by LinkPendingDirs,
  // and compares the two trees.
  void ExpectLinkingMatchesThePasses(std::uint32_t seed) {
    ReferenceLink(ctx());
    Shape expected, actual;
    ShapeOf(TreeView_GetRoot(ctx().dir_tree), 0, expected);
    ASSERT_EQ(MakeRoot(ctx()), 1);
    for (INODE_RECD* r = ctx().pending_dir_head; r; r = r->next_pending) r->link_state = kLinkMade;
    ASSERT_EQ(LinkPendingDirs(ctx()), 1);
    ShapeOf(TreeView_GetRoot(ctx().dir_tree), 0, actual);
    ASSERT_EQ(actual, expected) << "seed " << seed;
  }
  void LinkAndAttach() {
    ASSERT_EQ(LinkPendingDirs(ctx()), 1);
    ASSERT_EQ(AttachPendingFiles(ctx()), 1);
  }
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
  for (const auto& [posix, expected] : std::vector<std::pair<std::optional<std::string>, std::string>>{
           {"Long name.txt", "Long name.txt"}, {std::nullopt, "SHORT~1.TXT"}, {"", "SHORT~1.TXT"},
           {" lead", "SHORT~1.TXT"}, {std::string("\0x", 2), "SHORT~1.TXT"}}) {
    r.posix_name = posix;
    std::unique_ptr<FILE_INODE> f(MakeFileInode(r));
    // The scans' maker: the same file from the context's blocks, the name taken out of the record.
    INODE_RECD taken = r;
    const FILE_INODE* b = TakeBlockFileInode(ctx(), taken);
    for (const FILE_INODE* made : {static_cast<const FILE_INODE*>(f.get()), b}) {
      ASSERT_NE(made, nullptr);
      EXPECT_EQ(made->name, expected);
      EXPECT_EQ(made->name_size, expected.size() + 1);
      EXPECT_EQ(made->own_number, 0x23456789u);  // low 32 bits
      EXPECT_EQ(made->data_size, r.data_size);
    }
    EXPECT_TRUE(b->in_block);
  }
  // A name is a C string: what follows a NUL is no part of it, moved or copied.
  r.posix_name = std::string("Long\0tail", 9);
  EXPECT_EQ(std::unique_ptr<FILE_INODE>(MakeFileInode(r))->name, "Long");
  EXPECT_EQ(TakeBlockFileInode(ctx(), r)->name, "Long");

  const std::size_t slots = ctx().file_block_used;
  r.posix_name = " x";
  r.short_name = "";
  EXPECT_EQ(MakeFileInode(r), nullptr);
  EXPECT_EQ(TakeBlockFileInode(ctx(), r), nullptr);
  r.posix_name.reset();
  r.short_name.reset();
  EXPECT_EQ(MakeFileInode(r), nullptr);
  EXPECT_EQ(TakeBlockFileInode(ctx(), r), nullptr);
  EXPECT_EQ(ctx().file_block_used, slots) << "no slot spent on a record without a name";
  ReleasePendingFiles(ctx());
}

TEST(NumberTableTest, KeepsEveryKeyThroughGrowthIncludingTheFreeMarker) {
  NumberTable<int> table;
  EXPECT_EQ(table.Find(7), nullptr);
  std::vector<std::uint64_t> keys{0, ~std::uint64_t{0}, kNoParent - 1, kRootNumber};
  for (std::uint64_t k = 1; k <= 3000; ++k) keys.push_back(k << 32);  // same low bits, many homes alike
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto [value, inserted] = table.TryEmplace(keys[i], static_cast<int>(i));
    ASSERT_TRUE(inserted);
    EXPECT_EQ(*value, static_cast<int>(i));
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto [value, inserted] = table.TryEmplace(keys[i], -1);
    EXPECT_FALSE(inserted);
    ASSERT_NE(table.Find(keys[i]), nullptr);
    EXPECT_EQ(*table.Find(keys[i]), static_cast<int>(i));
  }
  EXPECT_EQ(table.Find(1), nullptr);
  std::size_t seen = 0;
  table.ForEach([&](std::uint64_t, int&) { ++seen; });
  EXPECT_EQ(seen, keys.size());
}

TEST_F(ScanTreeTest, MakeRootReplacesTheTreeAndResetsTheCounters) {
  EXPECT_EQ(TreeView_GetRoot(ctx().dir_tree), Root());
  EXPECT_EQ(std::tie(Root()->text, Root()->image, Root()->selected_image), std::make_tuple("Root", 2, 1));
  const INODE_RECD* rec = Rec(Root());
  EXPECT_EQ(std::tie(rec->own_number, rec->parent_number, rec->record_flags),
            std::make_tuple(kRootNumber, kNoParent, 3u));
  EXPECT_EQ(drive_.dirs_found, 1);

  // A FAT-style tree: records and files owned by their items.
  INODE_RECD* d = Dir(20, 5, "dir");
  d->tree_owned = true;
  TreeItem* di = InsertTreeRecord(ctx(), d, Root(), TreeInsert::Sort);
  AppendFileToDir(*d, File(20, "a.txt"));
  AppendFileToDir(*Rec(Root()), File(5, "top.txt"));
  INODE_RECD* deleted = Dir(21, 20, "gone", kRecDirectory);
  deleted->tree_owned = true;
  TreeItem* gi = InsertTreeRecord(ctx(), deleted, di, TreeInsert::Last);
  EXPECT_EQ(std::tie(gi->image, gi->selected_image), std::make_tuple(4, 3));
  drive_.files_found = 7;
  drive_.spare_count = 3;

  ASSERT_EQ(MakeRoot(ctx()), 1);  // frees the old records (ASan would see a leak or a double free)
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 1u);
  EXPECT_NE(Root(), nullptr);
  EXPECT_EQ(std::tie(drive_.dirs_found, drive_.files_found, drive_.spare_count), std::make_tuple(1, 0, 0));
}

TEST_F(ScanTreeTest, ChildrenBeforeParentsArePlacedInOneStepEach) {
  // Listed deepest first, as passes over the list would need one pass per level for.
  for (std::uint64_t n = 104; n > 100; --n) AddDir(n, n == 101 ? 5 : n - 1, "d" + std::to_string(n - 100));
  const std::uint64_t steps_before = headless::PumpSteps();
  ASSERT_EQ(LinkPendingDirs(ctx()), 1);
  EXPECT_EQ(headless::PumpSteps() - steps_before, 4u) << "one look at the window per record";

  TreeItem* d4 = Child(Child(Child(Child(Root(), "d1"), "d2"), "d3"), "d4");
  ASSERT_NE(d4, nullptr);
  EXPECT_EQ(Find(104), d4);
  EXPECT_EQ(Unlinked()->first_child, nullptr);
  for (INODE_RECD* r = ctx().pending_dir_head; r; r = r->next_pending) EXPECT_EQ(r->link_state, kLinkFinal);
  EXPECT_EQ(std::tie(ctx().progress_bar->pos, ctx().progress_bar->high), std::make_tuple(0, 4));
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
  LinkAndAttach();

  EXPECT_EQ(ChildTexts(Root()), (Names{"alpha", "ALPHA", "Beta", "Unlinked Data", "Orphan Files"}));
  EXPECT_EQ(ChildTexts(Unlinked()), (Names{"parent-missing", "parent-is-a-file"}));
  EXPECT_NE(Child(Child(Child(Unlinked(), "parent-missing"), "under-missing-child"), "grandchild"), nullptr);
  EXPECT_EQ(std::tie(Unlinked()->image, Unlinked()->selected_image), std::make_tuple(8, 7));
  EXPECT_EQ(FileNames(Rec(Orphans())), Names{"the file"});
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

  const INODE_RECD* docs = Rec(Child(Root(), "docs"));
  EXPECT_EQ(FileNames(docs), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(docs->file_count, 2u);
  EXPECT_EQ(docs->files_tail->name, "b.txt");
  EXPECT_EQ(FileNames(Rec(Unlinked())), Names{"zero-parent"});
  EXPECT_EQ(FileNames(Rec(Root())), Names{"top.txt"});
  EXPECT_EQ(FileNames(Rec(Orphans())), Names{"lost"});
  EXPECT_EQ(drive_.dirs_found, 3);
  EXPECT_EQ(ctx().pending_dir_tail, Rec(Orphans()));
  EXPECT_EQ(ctx().progress_bar->pos, 0);
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(4, 180, 21));
}

// Attaching reuses the index linking built only while the tree is unchanged:
// an item inserted in between (here a directory placed by hand) must still
// receive its files, and one deleted in between must not.
TEST_F(ScanTreeTest, AttachingSeesTreeChangesMadeAfterLinking) {
  for (const bool insert : {true, false}) {
    ResetScanTree(ctx());
    ASSERT_EQ(MakeRoot(ctx()), 1);
    AddDir(90, 5, "linked");
    AddFile(91, "for the later one");
    AddFile(90, "for the linked one");
    ASSERT_EQ(LinkPendingDirs(ctx()), 1);
    INODE_RECD* later = nullptr;
    if (insert) {
      later = Dir(91, 5, "later");
      later->tree_owned = true;
      ASSERT_NE(InsertTreeRecord(ctx(), later, Root(), TreeInsert::Sort), nullptr);
    } else {
      TreeView_DeleteItem(ctx().dir_tree, Child(Root(), "linked"));
    }
    ASSERT_EQ(AttachPendingFiles(ctx()), 1);
    if (insert) {
      EXPECT_EQ(FileNames(later), Names{"for the later one"});
      EXPECT_EQ(FileNames(Rec(Child(Root(), "linked"))), Names{"for the linked one"});
    } else {
      EXPECT_EQ(FileNames(Rec(Orphans())), (Names{"for the later one", "for the linked one"}));
    }
  }
}

TEST_F(ScanTreeTest, OrphanFilesIsMadeEvenWhenEmptyAsRootsLastChild) {
  LinkAndAttach();
  EXPECT_EQ(ChildTexts(Root()), (Names{"Unlinked Data", "Orphan Files"}));
  EXPECT_EQ(Rec(Orphans())->file_count, 0u);
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
        ASSERT_EQ(index.Find(n), Find(n)) << "seed " << seed << " insertion " << i << " number " << n;
    }
    const DirNumberIndex rebuilt(ctx());  // a fresh build from the finished tree agrees too
    for (std::uint64_t n = 0; n < 26; ++n) EXPECT_EQ(rebuilt.Find(n), Find(n));
  }
}

TEST_F(ScanTreeTest, LinkingWithRepeatedNumbersBuildsTheSameTreeAsTheFullSearch) {
  const char* texts[] = {"x", "X", "y", "Y", "k", "dup"};
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    ResetScanTree(ctx());
    ASSERT_EQ(MakeRoot(ctx()), 1);
    std::mt19937 rng(seed);
    // Small number ranges: many repeats, parents that are missing, and
    // numbers shared with Root (5) and "Unlinked Data" (0).
    for (int i = 0; i < 400; ++i) AddDir(rng() % 70, rng() % 8 == 0 ? kRootNumber : rng() % 80, texts[rng() % 6]);
    ExpectLinkingMatchesThePasses(seed);
  }
}

// Forests listed in tree order, deepest first and shuffled, with repeated
// numbers, records naming themselves, cycles and missing parents: the
// one-pass linking must place every record where the passes would have,
// "Unlinked Data" and the order of equal names included.
TEST_F(ScanTreeTest, LinkingMatchesThePassesOnRandomForests) {
  const char* texts[] = {"p", "P", "q", "r", "same"};
  for (std::uint32_t seed = 1; seed <= 24; ++seed) {
    std::mt19937 rng(seed);
    struct DirPlan {
      std::uint64_t own, parent;
      int depth;
      std::string text;
    };
    std::vector<DirPlan> plans;
    const int count = 60 + static_cast<int>(rng() % 240);
    for (int i = 0; i < count; ++i) {
      DirPlan s{1000 + static_cast<std::uint64_t>(i), kRootNumber, 0, texts[rng() % 5]};
      const std::uint32_t roll = rng() % 100;
      if (i > 0 && roll < 70) {
        const DirPlan& p = plans[rng() % plans.size()];
        s.parent = p.own;
        s.depth = p.depth + 1;
      } else if (roll < 75) {
        s.parent = 900 + rng() % 10;  // missing, or one of the cycles below
        s.depth = 50;
      }
      if (rng() % 12 == 0 && !plans.empty()) s.own = plans[rng() % plans.size()].own;  // repeated number
      if (rng() % 30 == 0) s.parent = s.own;                                          // its own parent
      plans.push_back(s);
    }
    // Cycles off the tree: 900 -> 901 -> 900, 902 -> 902, and 903 -> 904 -> 905 -> 903.
    for (const auto& [own, parent] :
         std::initializer_list<std::pair<int, int>>{{900, 901}, {901, 900}, {902, 902}, {903, 904}, {904, 905}, {905, 903}})
      plans.push_back({static_cast<std::uint64_t>(own), static_cast<std::uint64_t>(parent), 60, "cycle"});
    switch (seed % 3) {
      case 0:
        std::stable_sort(plans.begin(), plans.end(), [](const DirPlan& a, const DirPlan& b) { return a.depth > b.depth; });
        break;
      case 1:
        std::shuffle(plans.begin(), plans.end(), rng);
        break;
      default:
        break;  // parents first
    }

    ResetScanTree(ctx());
    ASSERT_EQ(MakeRoot(ctx()), 1);
    for (const DirPlan& s : plans) AddDir(s.own, s.parent, s.text);
    ExpectLinkingMatchesThePasses(seed);
    ASSERT_EQ(TreeView_GetCount(ctx().dir_tree), plans.size() + 2) << "every record placed once";
  }
}

TEST_F(ScanTreeTest, DeepChainsNeitherRecurseNorSlowDown) {
  // Parents first, then deepest first: passes would take one per level.
  constexpr std::uint64_t kDepth = 100'000;
  for (const bool deepest_first : {false, true}) {
    ResetScanTree(ctx());
    ASSERT_EQ(MakeRoot(ctx()), 1);
    for (std::uint64_t k = 0; k < kDepth; ++k) {
      const std::uint64_t i = deepest_first ? kDepth - 1 - k : k;
      AddDir(1000 + i, i == 0 ? kRootNumber : 999 + i, "d");
    }
    ASSERT_EQ(LinkPendingDirs(ctx()), 1);
    TreeItem* deepest = Find(1000 + kDepth - 1);
    ASSERT_NE(deepest, nullptr);
    EXPECT_EQ(TreeView_GetLevel(deepest), static_cast<int>(kDepth));
    EXPECT_EQ(Rec(deepest)->own_number, 1000 + kDepth - 1);
  }
}

TEST_F(ScanTreeTest, ReleasingTheListsTakesTheirRecordsOutOfTreeAndFileLists) {
  INODE_RECD* d = AddDir(70, 5, "d");
  EXPECT_EQ(AppendPendingDir(ctx(), d), 0);  // listed twice would loop the list
  AddDir(71, 70, "e");
  AddFile(70, "in d");
  AddFile(5, "in root");
  FILE_INODE* f = AddFile(0, "in unlinked");
  EXPECT_EQ(AppendPendingFile(ctx(), f), 0);
  LinkAndAttach();
  // A FAT-style file owned by Root sits in the same list as the listed ones.
  INODE_RECD* root_rec = Rec(Root());
  AppendFileToDir(*root_rec, File(5, "owned by root"));

  ReleasePendingFiles(ctx());
  EXPECT_EQ(ctx().pending_file_count, 0u);
  EXPECT_EQ(FileNames(root_rec), Names{"owned by root"});
  EXPECT_EQ(root_rec->file_count, 1u);
  EXPECT_EQ(Rec(Unlinked())->file_count, 0u);

  ReleasePendingDirs(ctx());
  EXPECT_EQ(ctx().pending_dir_count, 0u);
  EXPECT_EQ(ctx().pending_dir_head, nullptr);
  EXPECT_EQ(ChildTexts(Root()), Names{"Unlinked Data"});

  // A new scan's start and a reset free the rest exactly once.
  ASSERT_EQ(MakeRoot(ctx()), 1);
  AddDir(80, 5, "again");
  AddFile(80, "f");
  LinkAndAttach();
  ResetScanTree(ctx());
  EXPECT_EQ(TreeView_GetCount(ctx().dir_tree), 0u);
  EXPECT_EQ(ctx().root_item, nullptr);
  EXPECT_EQ(std::tie(ctx().pending_dir_count, ctx().pending_file_count), std::make_tuple(0u, 0u));
  EXPECT_EQ(ctx().pending_file_head, nullptr);
}
