#include "scan/tree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "app/shell.h"
#include "res/ids.h"
#include "volume/logdrive.h"

namespace {

constexpr std::uint32_t kLinkBarColour = RGB(254, 180, 38);
constexpr std::uint32_t kAttachBarColour = RGB(4, 180, 21);

INODE_RECD* RecordOf(const TreeItem* item) { return item ? static_cast<INODE_RECD*>(item->data) : nullptr; }

// Names are C strings in the stored format: anything after a NUL is not part of them.
std::string CName(const std::string& s) { return std::string(s.c_str()); }

std::string ItemText(const INODE_RECD& r) {
  if (r.posix_name) return CName(*r.posix_name);
  if (r.short_name) return CName(*r.short_name);
  return {};
}

// Opt is std::optional<std::string>, const or not: the name is read, or taken.
template <typename Opt>
auto QualifyingName(Opt& name) -> decltype(&*name) {
  if (!name || name->empty()) return nullptr;
  const char first = (*name)[0];
  return (first == ' ' || first == '\0') ? nullptr : &*name;
}

// Pre-order successor of item within the forest below stop (stop excluded).
TreeItem* NextPreOrder(TreeItem* item, const TreeItem* stop) {
  if (item->first_child) return item->first_child;
  while (item && !item->next_sibling) {
    item = item->parent;
    if (item == stop) return nullptr;
  }
  return item ? item->next_sibling : nullptr;
}

template <typename Fn>
void ForEachItem(TreeView* tv, Fn&& fn) {
  if (!tv) return;
  for (TreeItem* it = tv->root.first_child; it; it = NextPreOrder(it, &tv->root)) fn(it);
}

// Lists are walked at most count steps: a damaged list may be short or loop.
std::vector<INODE_RECD*> PendingDirs(const AppContext& ctx) {
  std::vector<INODE_RECD*> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ctx.pending_dir_count, 1u << 24)));
  INODE_RECD* r = ctx.pending_dir_head;
  for (std::uint64_t i = 0; i < ctx.pending_dir_count && r; ++i, r = r->next_pending) out.push_back(r);
  return out;
}

// Drops from a directory's file list every file the predicate picks.
template <typename Pred>
void FilterFileList(INODE_RECD& dir, Pred&& drop) {
  FILE_INODE* f = dir.files_head;
  FILE_INODE* head = nullptr;
  FILE_INODE* tail = nullptr;
  std::uint64_t kept = 0;
  for (std::uint64_t i = 0; i < dir.file_count && f; ++i) {
    FILE_INODE* next = f->next_in_dir;
    if (!drop(f)) {
      (tail ? tail->next_in_dir : head) = f;
      tail = f;
      ++kept;
    }
    f = next;
  }
  if (tail) tail->next_in_dir = nullptr;
  dir.files_head = head;
  dir.files_tail = tail;
  dir.file_count = kept;
}

// Frees tree-owned records (Root, "Unlinked Data", the FAT scans' directories)
// and the files they own; files and records the pending lists own are left to
// the lists, so nothing is freed twice.
void FreeTreeOwned(AppContext& ctx, std::vector<INODE_RECD*> owned) {
  if (owned.empty()) return;
  std::sort(owned.begin(), owned.end());
  owned.erase(std::unique(owned.begin(), owned.end()), owned.end());
  // A record on the pending list is the list's to free, even marked as the tree's.
  // The owned ones are few beside a large list, so they are what is searched.
  std::vector<bool> listed(owned.size(), false);
  if (ctx.pending_dir_count != 0)
    for (INODE_RECD* r : PendingDirs(ctx))
      if (auto it = std::lower_bound(owned.begin(), owned.end(), r); it != owned.end() && *it == r)
        listed[static_cast<std::size_t>(it - owned.begin())] = true;
  for (std::size_t i = 0; i < owned.size(); ++i) {
    INODE_RECD* r = owned[i];
    if (listed[i]) continue;
    FilterFileList(*r, [&](FILE_INODE* f) {
      if (f->pending) return false;
      delete f;
      return true;
    });
    ReleaseRecord(r);
  }
}

// Deletes the given items with their subtrees, freeing the tree-owned records in them.
void RemoveItems(AppContext& ctx, const std::vector<TreeItem*>& tops) {
  if (tops.empty()) return;
  if (ctx.file_list) ListView_DeleteAllItems(ctx.file_list);
  std::vector<INODE_RECD*> owned;
  for (TreeItem* top : tops) {
    std::vector<TreeItem*> stack{top};
    while (!stack.empty()) {
      TreeItem* it = stack.back();
      stack.pop_back();
      if (it == ctx.root_item) ctx.root_item = nullptr;
      if (INODE_RECD* r = RecordOf(it); r && r->tree_owned) owned.push_back(r);
      for (TreeItem* c = it->first_child; c; c = c->next_sibling) stack.push_back(c);
    }
  }
  for (TreeItem* top : tops) TreeView_DeleteItem(ctx.dir_tree, top);
  FreeTreeOwned(ctx, std::move(owned));
}

void DeleteAllTreeItems(AppContext& ctx) {
  if (ctx.file_list) ListView_DeleteAllItems(ctx.file_list);
  ctx.root_item = nullptr;
  ctx.linked_index.reset();
  TreeView* tv = ctx.dir_tree;
  if (!tv) return;
  // The records are gathered as the items go, then their flags read a few
  // ahead: in tree order the records are scattered, and one miss at a time
  // is what would make this slow.
  std::vector<INODE_RECD*> records;
  records.reserve(tv->item_count);
  TreeView_DeleteAllItems(
      tv,
      [](void* data, void* out) {
        if (data) static_cast<std::vector<INODE_RECD*>*>(out)->push_back(static_cast<INODE_RECD*>(data));
      },
      &records);
  std::vector<INODE_RECD*> owned;
  constexpr std::size_t kAhead = 16;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i + kAhead < records.size()) __builtin_prefetch(&records[i + kAhead]->tree_owned);
    if (records[i]->tree_owned) owned.push_back(records[i]);
  }
  FreeTreeOwned(ctx, std::move(owned));
}

INODE_RECD* MakeSyntheticRecord(const char* name, std::uint64_t own, std::uint64_t parent, std::uint32_t flags) {
  try {
    auto* r = new INODE_RECD;
    r->posix_name = name;
    r->own_number = own;
    r->parent_number = parent;
    r->record_flags = flags;
    return r;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::int32_t BarHigh(std::uint64_t count) {
  return static_cast<std::int32_t>(std::min<std::uint64_t>(count, std::numeric_limits<std::int32_t>::max()));
}

void StartBar(ProgressBar* bar, std::uint64_t count, std::uint32_t colour) {
  Progress_SetRange32(bar, 0, BarHigh(count));
  Progress_SetStep(bar, 1);
  Progress_SetBarColour(bar, colour);
}

// Which of two distinct items of one tree comes first in depth-first pre-order.
bool PrecedesInPreOrder(const TreeItem* a, const TreeItem* b) {
  auto depth = [](const TreeItem* x) {
    std::size_t d = 0;
    for (; x->parent; x = x->parent) ++d;
    return d;
  };
  std::size_t da = depth(a), db = depth(b);
  const TreeItem* x = a;
  const TreeItem* y = b;
  for (; da > db; --da) x = x->parent;
  for (; db > da; --db) y = y->parent;
  if (x == y) return x == a;  // one is the other's ancestor, which comes first
  while (x->parent != y->parent) {
    x = x->parent;
    y = y->parent;
  }
  // Siblings: step forward from both in turn, so the cost is their distance
  // rather than the length of the child list.
  const TreeItem* fx = x;
  const TreeItem* fy = y;
  for (;;) {
    fx = fx->next_sibling;
    if (fx == y) return true;
    if (!fx) return false;
    fy = fy->next_sibling;
    if (fy == x) return false;
    if (!fy) return true;
  }
}

// A set of list positions below a bound, as 64-way levels of bitmaps:
// inserting and taking the smallest cost a word operation a level, and a
// million positions take 128 KiB, so the set stays in the caches where a
// heap of a million entries would not.
class PositionSet {
 public:
  explicit PositionSet(std::size_t bound) {
    std::size_t words = bound / 64 + 1;
    for (;;) {
      levels_.emplace_back(words, 0);
      if (words == 1) break;
      words = (words + 63) / 64;
    }
  }
  bool Empty() const { return levels_.back()[0] == 0; }
  void Insert(std::size_t pos) {
    for (std::vector<std::uint64_t>& level : levels_) {
      std::uint64_t& word = level[pos / 64];
      const bool was_empty = word == 0;
      word |= std::uint64_t{1} << (pos % 64);
      if (!was_empty) return;  // the levels above know of this word already
      pos /= 64;
    }
  }
  // The smallest position, taken out of the set; the set must not be empty.
  std::size_t PopMin() {
    std::size_t pos = 0;
    for (std::size_t l = levels_.size(); l-- > 0;)
      pos = pos * 64 + static_cast<std::size_t>(std::countr_zero(levels_[l][pos]));
    for (std::size_t at = pos; std::vector<std::uint64_t>& level : levels_) {
      std::uint64_t& word = level[at / 64];
      word &= ~(std::uint64_t{1} << (at % 64));
      if (word != 0) break;
      at /= 64;
    }
    return pos;
  }

 private:
  std::vector<std::vector<std::uint64_t>> levels_;  // [0]: one bit a position; the last: one word
};

// The numbers linking reads of each listed record, copied out in one walk of
// the list (at most count steps, as PendingDirs), side by side so that one
// cache line serves a record's lookups, and working out the order never goes
// back to the records.
struct Listed {
  INODE_RECD* rec;
  std::uint64_t own, parent;
};

std::vector<Listed> ListPendingNumbers(const AppContext& ctx) {
  std::vector<Listed> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ctx.pending_dir_count, 1u << 24)));
  // Each step waits for the record before it to know where the next one is.
  // Records are mostly allocated in list order, so the distance between two
  // neighbours says where the ones a few steps on will be: fetching there is
  // a guess, which costs nothing when wrong.
  // (Integer arithmetic: the guess need not point into any object.)
  constexpr std::uintptr_t kAhead = 8;
  INODE_RECD* r = ctx.pending_dir_head;
  std::uintptr_t before = 0;
  for (std::uint64_t i = 0; i < ctx.pending_dir_count && r; ++i, r = r->next_pending) {
    const auto at = reinterpret_cast<std::uintptr_t>(r);
    if (before) {
      const std::uintptr_t guess = at + kAhead * (at - before);
      __builtin_prefetch(reinterpret_cast<const void*>(guess));
      __builtin_prefetch(reinterpret_cast<const void*>(guess + 128));
    }
    before = at;
    out.push_back(Listed{r, r->own_number, r->parent_number});
  }
  return out;
}

// What linking works from: the placing order, and every number as a dense
// id, so that finding a parent is an array read rather than a hash probe.
template <typename Pos>
struct LinkPlan {
  std::vector<Pos> order;                // positions, in placing order
  std::vector<Pos> own_id, parent_id;    // each position's numbers, as dense ids
  std::vector<TreeItem*> holder_of_id;   // the first item in the tree holding each number, by its id
};

// The order in which linking places records: passes over the list, each
// placing every record whose parent number is in the tree by the time the
// pass reaches it, until a pass places nothing. A record at position pos
// whose parent number first appears at (pass k, position q) is placed in
// pass k when q < pos, else in pass k + 1; numbers already in the tree appear
// before pass 1. So each pass is a set of positions taken smallest first,
// the current one growing only above the position being placed: the passes'
// order without running them. Records never placed are left out.
//
// Pos holds every position and number id (at most twice the count): the
// arrays below are read in scattered order, and half the bytes is half the
// cache misses. tree: the items already in the tree with their numbers, in
// pre-order, so that the first one seen for a number is the one a search finds.
template <typename Pos>
LinkPlan<Pos> LinkOrder(const std::vector<Listed>& list, const std::vector<std::pair<std::uint64_t, TreeItem*>>& tree) {
  constexpr std::size_t kAhead = 16;  // hash lookups started this many records early
  const std::size_t count = list.size();

  // Each number gets a dense id: the own numbers first, in list order, so
  // that a pass, which goes up the list, also goes up the ids and the runs
  // below; then the parent numbers no record owns.
  NumberTable<Pos> ids;
  ids.Reserve(count);
  Pos next_id = 0;
  auto id_of = [&](std::uint64_t number) {
    const auto [id, added] = ids.TryEmplace(number, next_id);
    if (added) ++next_id;
    return *id;
  };
  LinkPlan<Pos> plan;
  std::vector<Pos>& own_id = plan.own_id;
  own_id.resize(count);
  for (std::size_t pos = 0; pos < count; ++pos) {
    if (pos + kAhead < count) ids.Prefetch(list[pos + kAhead].own);
    own_id[pos] = id_of(list[pos].own);
  }
  std::vector<Pos>& parent_id = plan.parent_id;
  parent_id.resize(count);
  for (std::size_t pos = 0; pos < count; ++pos) {
    if (pos + kAhead < count) ids.Prefetch(list[pos + kAhead].parent);
    parent_id[pos] = id_of(list[pos].parent);
  }
  // The records waiting on each id, kept together in list order (a counting
  // sort), so releasing them reads one run instead of chasing a chain.
  struct Run {
    Pos begin, end;  // end == begin once released
  };
  std::vector<Run> runs(next_id, Run{0, 0});
  for (std::size_t pos = 0; pos < count; ++pos) ++runs[parent_id[pos]].end;
  Pos at = 0;
  for (Run& run : runs) {
    const Pos n = run.end;
    run = Run{at, at};
    at = static_cast<Pos>(at + n);
  }
  std::vector<Pos> waiting(count);
  for (std::size_t pos = 0; pos < count; ++pos) waiting[runs[parent_id[pos]].end++] = static_cast<Pos>(pos);

  PositionSet this_pass(count);
  PositionSet next_pass(count);
  // A number appears at position q of the pass running: the records waiting
  // on it join this pass when the pass has yet to reach them.
  auto release = [&](Pos id, std::size_t q) {
    Run& run = runs[id];
    for (Pos k = run.begin; k != run.end; ++k) (q < waiting[k] ? this_pass : next_pass).Insert(waiting[k]);
    run.end = run.begin;  // later appearances change nothing
  };
  plan.holder_of_id.assign(next_id, nullptr);
  for (const auto& [n, item] : tree)
    if (const Pos* id = ids.Find(n)) {
      if (!plan.holder_of_id[*id]) plan.holder_of_id[*id] = item;
      release(*id, std::numeric_limits<std::size_t>::max());  // all wait for it
    }
  ids = {};

  std::vector<Pos>& order = plan.order;
  order.reserve(count);
  while (!next_pass.Empty()) {
    std::swap(this_pass, next_pass);
    while (!this_pass.Empty()) {
      const std::size_t pos = this_pass.PopMin();
      order.push_back(static_cast<Pos>(pos));
      release(own_id[pos], pos);
    }
  }
  return plan;
}

}  // namespace

// ---- Pending lists and records ---------------------------------------------------

int AppendPendingDir(AppContext& ctx, INODE_RECD* r) {
  // A record already on the list would close it into a loop.
  if (!r || r == ctx.pending_dir_tail || r->next_pending) return 0;
  if (ctx.pending_dir_count == 0 || !ctx.pending_dir_tail)
    ctx.pending_dir_head = r;
  else
    ctx.pending_dir_tail->next_pending = r;
  ctx.pending_dir_tail = r;
  ++ctx.pending_dir_count;
  return 1;
}

int AppendPendingFile(AppContext& ctx, FILE_INODE* f) {
  if (!f || f == ctx.pending_file_tail || f->next_pending_file) return 0;
  if (ctx.pending_file_count == 0 || !ctx.pending_file_tail)
    ctx.pending_file_head = f;
  else
    ctx.pending_file_tail->next_pending_file = f;
  ctx.pending_file_tail = f;
  f->pending = true;
  ++ctx.pending_file_count;
  return 1;
}

namespace {

// The first of a record's names that qualifies for the file list; null when neither does.
template <typename Record>
auto FileNameOf(Record& r) -> decltype(QualifyingName(r.posix_name)) {
  auto* name = QualifyingName(r.posix_name);
  return name ? name : QualifyingName(r.short_name);
}

// Everything but the name, which f holds already (its size is taken from it).
void CopyFileFields(FILE_INODE& f, const INODE_RECD& r) {
  f.name_size = static_cast<std::uint32_t>(f.name.size() + 1);
  f.fat_date = r.fat_date;
  f.fat_time = r.fat_time;
  f.record_flags = r.record_flags;
  f.own_number = static_cast<std::uint32_t>(r.own_number);
  f.write_time = r.write_time;
  f.data_size = r.data_size;
  f.record_lba = r.record_lba;
  f.parent_number = r.parent_number;
}

}  // namespace

FILE_INODE* MakeFileInode(const INODE_RECD& r) {
  const std::string* name = FileNameOf(r);
  if (!name) return nullptr;
  try {
    auto* f = new FILE_INODE;
    f->name = CName(*name);
    CopyFileFields(*f, r);
    return f;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

FILE_INODE* TakeBlockFileInode(AppContext& ctx, INODE_RECD& r) {
  std::string* name = FileNameOf(r);
  if (!name) return nullptr;
  FILE_INODE* f = NewBlockFileInode(ctx);
  if (!f) return nullptr;
  if (name->find('\0') == std::string::npos)
    f->name = std::move(*name);
  else
    f->name = CName(*name);
  CopyFileFields(*f, r);
  return f;
}

FILE_INODE* NewBlockFileInode(AppContext& ctx) {
  constexpr std::size_t kBlockFiles = 4096;
  if (ctx.file_blocks.empty() || ctx.file_block_used == kBlockFiles) {
    try {
      ctx.file_blocks.reserve(ctx.file_blocks.size() + 1);
      ctx.file_blocks.push_back(new FILE_INODE[kBlockFiles]);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    ctx.file_block_used = 0;
  }
  FILE_INODE* f = &ctx.file_blocks.back()[ctx.file_block_used++];
  f->in_block = true;
  return f;
}

void AppendFileToDir(INODE_RECD& dir, FILE_INODE* f) {
  if (!f) return;
  f->next_in_dir = nullptr;
  if (dir.files_tail)
    dir.files_tail->next_in_dir = f;
  else
    dir.files_head = f;
  dir.files_tail = f;
  ++dir.file_count;
}

void ReleasePendingDirs(AppContext& ctx) {
  ctx.linked_index.reset();  // it points at the records about to go
  std::vector<INODE_RECD*> recs = PendingDirs(ctx);
  if (!recs.empty() && ctx.dir_tree && ctx.dir_tree->root.first_child) {
    // Items must not outlive their records: take the listed records out of the tree first.
    std::unordered_set<const INODE_RECD*> listed(recs.begin(), recs.end());
    std::vector<TreeItem*> tops;
    TreeView* tv = ctx.dir_tree;
    TreeItem* it = tv->root.first_child;
    while (it) {
      if (listed.count(RecordOf(it))) {
        tops.push_back(it);
        // Skip its subtree: continue after it.
        while (it && !it->next_sibling) it = it->parent == &tv->root ? nullptr : it->parent;
        if (it) it = it->next_sibling;
      } else {
        it = NextPreOrder(it, &tv->root);
      }
    }
    RemoveItems(ctx, tops);
  }
  for (INODE_RECD* r : recs) ReleaseRecord(r);
  ctx.pending_dir_count = 0;
  ctx.pending_dir_head = nullptr;
  ctx.pending_dir_tail = nullptr;
}

void ReleasePendingFiles(AppContext& ctx) {
  if (ctx.pending_file_count != 0) {
    // No directory list and no file-list row may keep a file about to be freed.
    if (ctx.file_list) ListView_DeleteAllItems(ctx.file_list);
    auto unlink_listed = [&](INODE_RECD* r) {
      if (r && r->files_head) FilterFileList(*r, [](const FILE_INODE* f) { return f->pending; });
    };
    ForEachItem(ctx.dir_tree, [&](TreeItem* item) { unlink_listed(RecordOf(item)); });
    for (INODE_RECD* r : PendingDirs(ctx)) unlink_listed(r);
    FILE_INODE* f = ctx.pending_file_head;
    for (std::uint64_t i = 0; i < ctx.pending_file_count && f; ++i) {
      FILE_INODE* next = f->next_pending_file;
      if (!f->in_block) delete f;
      f = next;
    }
  }
  for (FILE_INODE* block : ctx.file_blocks) delete[] block;
  ctx.file_blocks.clear();
  ctx.file_block_used = 0;
  ctx.pending_file_count = 0;
  ctx.pending_file_head = nullptr;
  ctx.pending_file_tail = nullptr;
}

// ---- Tree ------------------------------------------------------------------------

void TreeImagesFor(const INODE_RECD& r, int& image, int& selected_image) {
  if (r.record_flags & kRecInUse) {
    image = 2;
    selected_image = 1;
  } else if (r.record_flags & kRecSynthetic) {
    image = 8;
    selected_image = 7;
  } else {
    image = 4;
    selected_image = 3;
  }
}

TreeItem* InsertTreeRecord(AppContext& ctx, INODE_RECD* r, TreeItem* parent, TreeInsert where) {
  if (!r || !ctx.dir_tree) return nullptr;  // an item's parameter is never null
  int image = 0;
  int selected = 0;
  TreeImagesFor(*r, image, selected);
  return TreeView_InsertItem(ctx.dir_tree, parent, where, ItemText(*r), image, selected, r);
}

INODE_RECD* GetItemRecord(const AppContext& ctx, const TreeItem* item) {
  if (!item || !item->alive || !ctx.dir_tree) return nullptr;
  const TreeItem* top = item;
  while (top->parent) top = top->parent;
  return top == &ctx.dir_tree->root ? RecordOf(item) : nullptr;
}

TreeItem* FindDirByNumber(TreeItem* start, std::uint64_t number) {
  if (!start) return nullptr;
  // Iterative: a deep tree must not overflow the stack. From start the search
  // covers start's subtree and its later siblings' subtrees, never above.
  for (TreeItem* it = start; it; it = NextPreOrder(it, start->parent)) {
    if (const INODE_RECD* r = RecordOf(it); r && r->own_number == number) return it;
  }
  return nullptr;
}

DirNumberIndex::DirNumberIndex(const AppContext& ctx) {
  TreeView* tv = ctx.dir_tree;
  if (!tv) return;
  first_.Reserve(tv->item_count + static_cast<std::size_t>(std::min<std::uint64_t>(ctx.pending_dir_count, 1u << 24)));
  // Pre-order, so the first item seen for a number is the one the search finds.
  ForEachItem(tv, [&](TreeItem* it) {
    if (INODE_RECD* r = RecordOf(it)) first_.TryEmplace(r->own_number, First{it, r});
  });
}

TreeItem* DirNumberIndex::Find(std::uint64_t number) const {
  const First* found = first_.Find(number);
  return found ? found->item : nullptr;
}

INODE_RECD* DirNumberIndex::FindRecord(std::uint64_t number) const {
  const First* found = first_.Find(number);
  return found ? found->record : nullptr;
}

void DirNumberIndex::Add(TreeItem* item) {
  INODE_RECD* r = RecordOf(item);
  if (!r) return;
  auto [first, inserted] = first_.TryEmplace(r->own_number, First{item, r});
  // A sorted insertion can land before the current first holder of the number.
  if (!inserted && first->item != item && PrecedesInPreOrder(item, first->item)) *first = First{item, r};
}

void DirNumberIndex::Stamp(const TreeView* tv) {
  stamped_tree_ = tv;
  stamped_version_ = tv ? tv->structure_version : 0;
}

bool DirNumberIndex::Current(const TreeView* tv) const {
  return tv && tv == stamped_tree_ && tv->structure_version == stamped_version_;
}

int MakeRoot(AppContext& ctx) {
  DeleteAllTreeItems(ctx);
  if (ctx.scanned_logdrive) {
    ctx.scanned_logdrive->dirs_found = 1;
    ctx.scanned_logdrive->files_found = 0;
    ctx.scanned_logdrive->spare_count = 0;
  }
  INODE_RECD* root = MakeSyntheticRecord("Root", kRootNumber, kNoParent, kRecInUse | kRecDirectory);
  if (!root) return 0;
  root->tree_owned = true;  // on neither pending list: the next reset frees it with its item
  TreeItem* item = InsertTreeRecord(ctx, root, nullptr, TreeInsert::Last);
  if (!item) {
    ReleaseRecord(root);
    return 0;
  }
  ctx.root_item = item;
  return 1;
}

TreeItem* InsertUnlinkedNode(AppContext& ctx) {
  if (!ctx.dir_tree) return nullptr;
  INODE_RECD* unlinked = MakeSyntheticRecord("Unlinked Data", 0, kRootNumber, kRecSynthetic);
  if (!unlinked) return nullptr;
  unlinked->tree_owned = true;
  TreeItem* item = InsertTreeRecord(ctx, unlinked, TreeView_GetRoot(ctx.dir_tree), TreeInsert::Last);
  if (!item) ReleaseRecord(unlinked);
  return item;
}

void ResetScanTree(AppContext& ctx) {
  // The tree goes first, while the records its items carry are still alive.
  DeleteAllTreeItems(ctx);
  ReleasePendingDirs(ctx);
  ReleasePendingFiles(ctx);
}

// ---- Linking ---------------------------------------------------------------------

int LinkPendingDirs(AppContext& ctx) {
  ctx.linked_index.reset();
  if (!ctx.dir_tree) return 0;
  INODE_RECD* unlinked = MakeSyntheticRecord("Unlinked Data", 0, kRootNumber, kRecSynthetic);
  if (!unlinked) return 0;
  unlinked->tree_owned = true;
  TreeItem* unlinked_item = InsertTreeRecord(ctx, unlinked, TreeView_GetRoot(ctx.dir_tree), TreeInsert::Last);
  if (!unlinked_item) {
    ReleaseRecord(unlinked);
    return 0;
  }

  const std::vector<Listed> list = ListPendingNumbers(ctx);
  auto kept = std::make_shared<DirNumberIndex>(ctx);
  DirNumberIndex& index = *kept;
  ProgressBar* bar = ctx.progress_bar;
  StartBar(bar, ctx.pending_dir_count, kLinkBarColour);
  std::size_t done = 0;
  auto step = [&] {
    Progress_SetPos(bar, BarHigh(static_cast<std::uint64_t>(++done)));
    CheckTerminate(IDM_TERMINATE_SCAN);  // keeps the window live; the step always finishes
  };
  // Only the final state of a record shows once linking is over, so each
  // record is written once, as it is placed. Parents are found by the dense
  // ids of their numbers (an array read) rather than in the index (a hash
  // probe); the index is kept as well, for attaching.
  auto link = [&](auto plan) {
    const auto& own_id = plan.own_id;
    const auto& parent_id = plan.parent_id;
    std::vector<TreeItem*>& holder = plan.holder_of_id;
    // A placed item becomes its number's holder unless one comes before it
    // in depth-first order (a sorted insertion can land before the holder),
    // here and in the index attaching reads.
    auto hold = [&](std::size_t pos, TreeItem* item) {
      index.Add(item);
      TreeItem*& h = holder[own_id[pos]];
      if (!h || PrecedesInPreOrder(item, h)) h = item;
    };
    auto place = [&](std::size_t pos, TreeItem* parent) {
      INODE_RECD* r = list[pos].rec;
      r->link_state = kLinkFinal;
      TreeItem* item = parent ? InsertTreeRecord(ctx, r, parent, TreeInsert::Sort) : nullptr;
      if (item) hold(pos, item);
      return item;
    };

    // Placement is tracked here rather than read from link_state, so a record
    // that arrives marked as placed (a damaged saved file) is still linked.
    std::vector<bool> placed(list.size(), false);
    // The records come in pass order, scattered over the list: what a
    // placing reads is fetched a few places ahead, in steps: the record's
    // ids, then its parent's and its own holder slot and the record, then
    // (the slot being there by then) the parent item, then the sibling a
    // sorted insert looks at first. A look-ahead made stale by an item
    // placed meanwhile costs a miss, never a wrong placement: the placing
    // itself reads afresh.
    const auto& order = plan.order;
    constexpr std::size_t kIdsAhead = 48, kSlotsAhead = 24, kItemAhead = 8, kSiblingAhead = 4;
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i + kIdsAhead < order.size()) {
        __builtin_prefetch(&parent_id[order[i + kIdsAhead]]);
        __builtin_prefetch(&own_id[order[i + kIdsAhead]]);
        __builtin_prefetch(&list[order[i + kIdsAhead]]);
      }
      if (i + kSlotsAhead < order.size()) {
        const std::size_t at = order[i + kSlotsAhead];
        __builtin_prefetch(&holder[parent_id[at]]);
        __builtin_prefetch(&holder[own_id[at]]);
        index.Prefetch(list[at].own);
        __builtin_prefetch(list[at].rec);
      }
      if (i + kItemAhead < order.size())
        if (const TreeItem* p = holder[parent_id[order[i + kItemAhead]]]) {
          __builtin_prefetch(p);
          __builtin_prefetch(reinterpret_cast<const char*>(p) + 64);
        }
      if (i + kSiblingAhead < order.size())
        if (const TreeItem* p = holder[parent_id[order[i + kSiblingAhead]]]; p && p->last_child)
          __builtin_prefetch(p->last_child);
      const std::size_t pos = order[i];
      if (place(pos, holder[parent_id[pos]])) {
        placed[pos] = true;
        step();
      }
    }

    // What is still unplaced goes under "Unlinked Data", in list order, and a
    // record whose parent went there earlier in this pass follows it.
    for (std::size_t pos = 0; pos < list.size(); ++pos) {
      if (placed[pos]) continue;
      if (!place(pos, holder[parent_id[pos]]))
        if (TreeItem* item = InsertTreeRecord(ctx, list[pos].rec, unlinked_item, TreeInsert::Last)) hold(pos, item);
      step();
    }
  };
  std::vector<std::pair<std::uint64_t, TreeItem*>> tree;
  ForEachItem(ctx.dir_tree, [&](TreeItem* it) {
    if (const INODE_RECD* r = RecordOf(it)) tree.emplace_back(r->own_number, it);
  });
  if (list.size() < std::numeric_limits<std::uint32_t>::max() / 2)
    link(LinkOrder<std::uint32_t>(list, tree));
  else
    link(LinkOrder<std::size_t>(list, tree));
  Progress_SetPos(bar, 0);
  // Attaching the files looks numbers up in the same tree: it takes this
  // index over while the tree stays as linking left it.
  index.Stamp(ctx.dir_tree);
  ctx.linked_index = std::move(kept);
  return 1;
}

int AttachPendingFiles(AppContext& ctx) {
  if (!ctx.dir_tree) return 0;
  // Linking's index, when nothing changed the tree since; taken, so it is
  // freed when attaching ends.
  std::shared_ptr<DirNumberIndex> index = std::move(ctx.linked_index);
  if (index && !index->Current(ctx.dir_tree)) index.reset();
  INODE_RECD* orphans = MakeSyntheticRecord("Orphan Files", 0, kRootNumber, kRecSynthetic);
  if (!orphans) return 0;
  // Inserted before it joins the pending list: a failed insertion releases the
  // node, and the list must not keep a pointer to it.
  TreeItem* orphans_item = InsertTreeRecord(ctx, orphans, TreeView_GetRoot(ctx.dir_tree), TreeInsert::Last);
  if (!orphans_item) {
    ReleaseRecord(orphans);
    return 0;
  }
  AppendPendingDir(ctx, orphans);
  if (ctx.scanned_logdrive) ++ctx.scanned_logdrive->dirs_found;
  if (index)
    index->Add(orphans_item);
  else
    index = std::make_shared<DirNumberIndex>(ctx);

  // One walk of the list in stages a few files apart, so the misses of one
  // file overlap with those of the next ones: a file is read (and its index
  // slot fetched), its directory looked up (and fetched), that directory's
  // last file fetched, and then the file appended, in list order.
  constexpr std::uint64_t kFind = 24, kTail = 48, kAppend = 64, kRing = 128;
  struct InFlight {
    FILE_INODE* file;
    std::uint64_t parent;
    INODE_RECD* dir;
  };
  std::array<InFlight, kRing> ring{};
  ProgressBar* bar = ctx.progress_bar;
  StartBar(bar, ctx.pending_file_count, kAttachBarColour);
  FILE_INODE* f = ctx.pending_file_head;
  std::uint64_t read = 0;
  for (std::uint64_t j = 0;; ++j) {
    if (f && read < ctx.pending_file_count) {
      ring[read % kRing] = InFlight{f, f->parent_number, nullptr};
      index->Prefetch(f->parent_number);
      f = f->next_pending_file;
      ++read;
    }
    if (j >= kFind && j - kFind < read) {
      InFlight& at = ring[(j - kFind) % kRing];
      INODE_RECD* dir = index->FindRecord(at.parent);
      at.dir = dir ? dir : orphans;
      __builtin_prefetch(&at.dir->files_tail, 1);
    }
    if (j >= kTail && j - kTail < read)
      if (const FILE_INODE* tail = ring[(j - kTail) % kRing].dir->files_tail) __builtin_prefetch(&tail->next_in_dir, 1);
    if (j >= kAppend) {
      if (j - kAppend >= read) break;
      const InFlight& at = ring[(j - kAppend) % kRing];
      Progress_StepIt(bar);
      AppendFileToDir(*at.dir, at.file);
      CheckTerminate(IDM_TERMINATE_SCAN);
    }
  }
  Progress_SetPos(bar, 0);
  return 1;
}
