// The scan tree: pending lists, tree insertion, search by number, Root,
// linking the pending directories and attaching the pending files.
#pragma once
#include <cstdint>
#include <unordered_map>

#include "app/context.h"
#include "scan/records.h"

int AppendPendingDir(AppContext& ctx, INODE_RECD* r);
int AppendPendingFile(AppContext& ctx, FILE_INODE* f);
// A fresh FILE_INODE from a record's fields and name; null when neither name qualifies.
FILE_INODE* MakeFileInode(const INODE_RECD& r);
// Appends f to the directory record's file list.
void AppendFileToDir(INODE_RECD& dir, FILE_INODE* f);

// The image pair of a directory item follows its record_flags.
void TreeImagesFor(const INODE_RECD& r, int& image, int& selected_image);
// Inserts a record under parent (null: the top level), last or sorted by text.
TreeItem* InsertTreeRecord(AppContext& ctx, INODE_RECD* r, TreeItem* parent, TreeInsert where);
INODE_RECD* GetItemRecord(const AppContext& ctx, const TreeItem* item);
// Depth-first from start over first children, then next siblings; the first
// item whose record has own_number == number, or null.
TreeItem* FindDirByNumber(const AppContext& ctx, TreeItem* start, std::uint64_t number);

// Answers FindDirByNumber(first top-level item, number) without searching:
// built from the tree once, then told of every item inserted afterwards.
class DirNumberIndex {
 public:
  explicit DirNumberIndex(const AppContext& ctx);
  TreeItem* Find(std::uint64_t number) const;
  void Add(TreeItem* item);

 private:
  std::unordered_map<std::uint64_t, TreeItem*> first_;  // first item in depth-first order
};

int MakeRoot(AppContext& ctx);
void ResetScanTree(AppContext& ctx);
void ReleasePendingDirs(AppContext& ctx);
void ReleasePendingFiles(AppContext& ctx);

// The "Unlinked Data" step and the "Orphan Files" step.
int LinkPendingDirs(AppContext& ctx);
int AttachPendingFiles(AppContext& ctx);
