// The file finder (dialog 123): searches the scan tree by name for the
// ticked kinds and patterns, marks what it finds, ticks the directories that
// hold it, lists up to 2000 of it, and copies the ticked rows out.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "app/context.h"
#include "finder/match.h"
#include "platform/window.h"
#include "scan/records.h"

inline constexpr std::int32_t kMaxFinderRows = 2000;

// Told of every file a search marks, in tree order, with its directory's item.
using FinderVisit = std::function<void(const TreeItem* dir_item, FILE_INODE& f)>;

struct FinderResult {
  std::uint64_t found = 0;   // files marked
  std::uint64_t listed = 0;  // rows added (at most 2000)
};

// One search over the whole tree from its first item: marks, ticks and,
// when ctx.finder_list is set, the rows (counted in ctx.finder_found).
// Without a list the rows that would be listed are still counted.
FinderResult SearchTreeForTypes(AppContext& ctx, TreeItem* first, const FinderCriteria& criteria,
                                const FinderVisit& visit = {});
// The files of one directory; 1 when any of them was found.
int MatchDirectoryFiles(AppContext& ctx, const TreeItem* item, INODE_RECD& dir, const FinderCriteria& criteria,
                        FinderResult& result, const FinderVisit& visit);
// Ticks item and its ancestors up to the first one already ticked.
void TickUpToTickedAncestor(AppContext& ctx, TreeItem* item);
// Adds one row to the found-files list; the row or -1.
int AddFinderRow(AppContext& ctx, FILE_INODE* f);

// The dialog's criteria: its check boxes and the parsed "User Defined" text.
FinderCriteria ReadFinderCheckBoxes(const Dialog* dlg);

// The commands of the dialog's menu.
void FindSelectedFileTypes(AppContext& ctx);
void MarkAllFinderRows(AppContext& ctx);
void UnmarkAllFinderRows(AppContext& ctx);
void CopyFinderMarkedFiles(AppContext& ctx);

std::intptr_t FinderDlgProc(Dialog* dlg, const Msg& msg);
// "Find Files from ACTIVE scan.": the dialog, modally; nothing while a scan or the finder's copy runs.
void OpenFileFinder(AppContext& ctx);

// The menu positions the finder's copy greys: (pop-up, position).
const std::vector<std::pair<int, int>>& FinderCopyLockedPositions();
