// The scan tree: pending lists, tree insertion, search by number, Root,
// linking the pending directories and attaching the pending files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "app/context.h"
#include "scan/records.h"

int AppendPendingDir(AppContext& ctx, INODE_RECD* r);
int AppendPendingFile(AppContext& ctx, FILE_INODE* f);
// A fresh FILE_INODE from a record's fields and name; null when neither name qualifies.
FILE_INODE* MakeFileInode(const INODE_RECD& r);
// A fresh FILE_INODE from the context's file blocks, for a reader that makes
// many (one allocation for thousands); the caller appends it to the
// pending-file list, whose release frees the blocks. Null when memory runs out.
FILE_INODE* NewBlockFileInode(AppContext& ctx);
// MakeFileInode's file from the context's file blocks, its name moved out of
// r (a scan that keeps the file inode releases the record next).
FILE_INODE* TakeBlockFileInode(AppContext& ctx, INODE_RECD& r);
// Appends f to the directory record's file list.
void AppendFileToDir(INODE_RECD& dir, FILE_INODE* f);

// The image pair of a directory item follows its record_flags.
void TreeImagesFor(const INODE_RECD& r, int& image, int& selected_image);
// Inserts a record under parent (null: the top level), last or sorted by text.
TreeItem* InsertTreeRecord(AppContext& ctx, INODE_RECD* r, TreeItem* parent, TreeInsert where);
INODE_RECD* GetItemRecord(const AppContext& ctx, const TreeItem* item);
// Depth-first from start over first children, then next siblings; the first
// item whose record has own_number == number, or null.
TreeItem* FindDirByNumber(TreeItem* start, std::uint64_t number);

// A map from record numbers, open addressing with linear probing: a lookup
// is one run of adjacent slots, which keeps the cost flat once a million
// directories no longer fit the caches.
template <typename V>
class NumberTable {
 public:
  void Reserve(std::size_t n) {
    if (2 * n > slots_.size()) Rehash(2 * n);
  }
  V* Find(std::uint64_t key) {
    if (key == kEmpty) return has_empty_key_ ? &empty_key_value_ : nullptr;
    if (slots_.empty()) return nullptr;
    for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kEmpty) return nullptr;
    }
  }
  const V* Find(std::uint64_t key) const { return const_cast<NumberTable*>(this)->Find(key); }
  // Starts loading the slot a lookup of key begins at: loops that know their
  // keys ahead overlap the misses instead of waiting on each one.
  // Unconditional: an empty table has mask 0, so this touches nothing there
  // (a prefetch never faults), and a guarded prefetch the compiler drops.
  void Prefetch(std::uint64_t key) const { __builtin_prefetch(slots_.data() + Home(key)); }
  // The value under key, and whether it was inserted (else it was there already).
  std::pair<V*, bool> TryEmplace(std::uint64_t key, V value) {
    if (key == kEmpty) {
      const bool inserted = !std::exchange(has_empty_key_, true);
      if (inserted) empty_key_value_ = std::move(value);
      return {&empty_key_value_, inserted};
    }
    if (2 * (size_ + 1) > slots_.size()) Rehash(2 * (size_ + 1));
    for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) return {&s.value, false};
      if (s.key == kEmpty) {
        s = Slot{key, std::move(value)};
        ++size_;
        return {&s.value, true};
      }
    }
  }
  template <typename Fn>
  void ForEach(Fn&& fn) {
    if (has_empty_key_) fn(kEmpty, empty_key_value_);
    for (Slot& s : slots_)
      if (s.key != kEmpty) fn(s.key, s.value);
  }

 private:
  // Marks a free slot, so a slot is just a key and a value; a record that
  // does carry this number is kept aside.
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  struct Slot {
    std::uint64_t key = kEmpty;
    V value{};
  };
  std::size_t Home(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_) & mask_;
  }
  void Rehash(std::size_t at_least) {
    std::size_t cap = 16;
    int bits = 4;
    while (cap < at_least) cap <<= 1, ++bits;
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(cap));
    mask_ = cap - 1;
    shift_ = 64 - bits;
    size_ = 0;
    for (Slot& s : old)
      if (s.key != kEmpty) TryEmplace(s.key, std::move(s.value));
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  int shift_ = 63;  // a shift by 64 would be undefined; the mask makes any home 0 here
  std::size_t size_ = 0;
  bool has_empty_key_ = false;
  V empty_key_value_{};
};

// Answers FindDirByNumber(first top-level item, number) without searching:
// built from the tree once, then told of every item inserted afterwards.
class DirNumberIndex {
 public:
  explicit DirNumberIndex(const AppContext& ctx);
  TreeItem* Find(std::uint64_t number) const;
  // The record of Find(number), read from the index rather than the item.
  INODE_RECD* FindRecord(std::uint64_t number) const;
  void Prefetch(std::uint64_t number) const { first_.Prefetch(number); }
  void Add(TreeItem* item);
  // Whether the index still describes tv: it was stamped on tv and nothing
  // was inserted into or deleted from tv since.
  void Stamp(const TreeView* tv);
  bool Current(const TreeView* tv) const;

 private:
  struct First {
    TreeItem* item = nullptr;  // first item in depth-first order
    INODE_RECD* record = nullptr;
  };
  NumberTable<First> first_;
  const TreeView* stamped_tree_ = nullptr;
  std::uint64_t stamped_version_ = 0;
};

int MakeRoot(AppContext& ctx);
// The "Unlinked Data" node the linking makes, inserted as Root's last child;
// null when it cannot be made.
TreeItem* InsertUnlinkedNode(AppContext& ctx);
void ResetScanTree(AppContext& ctx);
void ReleasePendingDirs(AppContext& ctx);
void ReleasePendingFiles(AppContext& ctx);

// The "Unlinked Data" step and the "Orphan Files" step.
int LinkPendingDirs(AppContext& ctx);
int AttachPendingFiles(AppContext& ctx);
