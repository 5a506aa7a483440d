#include "finder/finder.h"

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <vector>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "platform/frontend.h"
#include "recover/copy.h"
#include "recover/copy_file.h"
#include "recover/output.h"
#include "res/ids.h"
#include "res/resources.h"
#include "scan/display.h"
#include "volume/logdrive.h"

namespace {

const ColumnEntry kFinderColumns[] = {{180, "Name", 0}, {107, "Date", 1}, {80, "Size", 2}, {0, nullptr, 0}};

void ErrorBox(AppContext& ctx, const std::string& text) {
  fe_MessageBox(ctx.finder_dlg ? ctx.finder_dlg : ctx.main_dlg, text, "** Error **", MB_OK | MB_ICONSTOP);
}

bool Checked(const Dialog* dlg, int id) {
  const Control* c = GetDlgItem(dlg, id);
  return c && c->check == 1;
}

void SetFinderMenus(AppContext& ctx, bool enable) {
  Menu* menu = ctx.finder_dlg ? ctx.finder_dlg->menu.get() : nullptr;
  if (!menu) return;
  for (const auto& [popup, position] : FinderCopyLockedPositions()) Menu_EnableByPosition(menu, popup, position, enable);
}

std::string JoinTokens(const std::vector<std::string>& tokens) {
  std::string out;
  for (const std::string& t : tokens) out += (out.empty() ? "\"" : ", \"") + t + "\"";
  return out;
}

void ShowFoundCount(AppContext& ctx) {
  if (ctx.finder_dlg) SetDlgItemText(ctx.finder_dlg, IDC_FINDER_FOUND, FormatThousands(static_cast<std::uint64_t>(ctx.finder_found)));
}

}  // namespace

const std::vector<std::pair<int, int>>& FinderCopyLockedPositions() {
  // "&File": Find, Copy, Exit; "&Options": both items. Stop Copy stays.
  static const std::vector<std::pair<int, int>> positions = {{0, 0}, {0, 1}, {0, 5}, {1, 0}, {1, 1}};
  return positions;
}

void TickUpToTickedAncestor(AppContext& ctx, TreeItem* item) {
  for (TreeItem* it = item; it && !TreeView_GetCheckState(it); it = it->parent) TreeView_SetCheckState(ctx.dir_tree, it, true);
}

int AddFinderRow(AppContext& ctx, FILE_INODE* f) {
  if (!f || f->name.empty()) return -1;
  ListView* list = ctx.finder_list;
  const int row = ListView_InsertItem(list, ListView_GetItemCount(list), f->name, (f->record_flags & kRecInUse) ? 5 : 6, f);
  if (row < 0) {
    fe_MessageBox(ctx.finder_dlg, "AddFileFinderToDisplayList: InsertItem FAILED", kProductTitle, MB_OK);
    return -1;
  }
  ListView_SetItemText(list, row, 1, FileDateText(*f));
  char size[32];
  std::snprintf(size, sizeof size, "%" PRIu64, f->data_size);
  ListView_SetItemText(list, row, 2, size);
  ListView_SetCheckState(list, row, false);
  ++ctx.finder_found;
  ShowFoundCount(ctx);
  return row;
}

int MatchDirectoryFiles(AppContext& ctx, const TreeItem* item, INODE_RECD& dir, const FinderCriteria& criteria,
                        FinderResult& result, const FinderVisit& visit) {
  if (!dir.files_head) return 0;
  int any = 0;
  FILE_INODE* f = dir.files_head;
  // At most file_count steps: a damaged list may be shorter or loop.
  for (std::uint64_t i = 0; i < dir.file_count && f; ++i, f = f->next_in_dir) {
    if (!FileMeetsCriteria(*f, criteria)) continue;
    f->mark_state = kMarkMarked;
    any = 1;
    ++result.found;
    if (ctx.finder_found < kMaxFinderRows) {
      if (ctx.finder_list) {
        if (AddFinderRow(ctx, f) >= 0) ++result.listed;
      } else if (!f->name.empty()) {
        ++ctx.finder_found;
        ++result.listed;
      }
    }
    if (visit) visit(item, *f);
  }
  return any;
}

FinderResult SearchTreeForTypes(AppContext& ctx, TreeItem* first, const FinderCriteria& criteria,
                                const FinderVisit& visit) {
  FinderResult result;
  // Pre-order without recursion (trees of damaged volumes can be deep): an
  // item, its subtree, then its next sibling. The stack holds at most one
  // pending sibling per level.
  std::vector<TreeItem*> stack{first};
  while (!stack.empty()) {
    TreeItem* item = stack.back();
    stack.pop_back();
    if (!item) continue;
    if (TreeItem* next = TreeView_GetNextSibling(item)) stack.push_back(next);
    // Items reached from the top are in the tree: their records are read directly.
    if (auto* dir = static_cast<INODE_RECD*>(item->data))
      if (MatchDirectoryFiles(ctx, item, *dir, criteria, result, visit)) TickUpToTickedAncestor(ctx, item);
    if (TreeItem* child = TreeView_GetChild(item)) stack.push_back(child);
  }
  return result;
}

FinderCriteria ReadFinderCheckBoxes(const Dialog* dlg) {
  FinderCriteria c;
  c.graphic = Checked(dlg, IDC_FIND_GRAPHIC);
  c.mail = Checked(dlg, IDC_FIND_MAIL);
  c.text = Checked(dlg, IDC_FIND_TEXT);
  c.sound = Checked(dlg, IDC_FIND_SOUND);
  c.database = Checked(dlg, IDC_FIND_DATABASE);
  c.archive = Checked(dlg, IDC_FIND_ARCHIVE);
  c.deleted_only = Checked(dlg, IDC_FIND_DELETED);
  return c;
}

void FindSelectedFileTypes(AppContext& ctx) {
  if (ctx.finder_copy_running || !ctx.finder_dlg) return;
  PatternList parsed = ParseUserPatterns(GetDlgItemText(ctx.finder_dlg, IDC_FIND_PATTERNS));
  if (!parsed.error.empty()) {
    ErrorBox(ctx, parsed.error + " Nothing was searched for.");
    return;
  }
  FinderCriteria criteria = ReadFinderCheckBoxes(ctx.finder_dlg);
  criteria.patterns = std::move(parsed.patterns);
  ListView_DeleteAllItems(ctx.finder_list);
  ctx.finder_found = 0;
  SetDlgItemText(ctx.finder_dlg, IDC_FINDER_FOUND, "0");
  FinderResult result;
  if (TreeItem* first = TreeView_GetRoot(ctx.dir_tree)) result = SearchTreeForTypes(ctx, first, criteria);
  ShowSelectedDirFiles(ctx);
  RecountMarkedFiles(ctx);
  std::string line = "Found " + FormatThousands(result.found) + " files, listed " + FormatThousands(result.listed);
  if (!parsed.unused.empty())
    line += "; patterns not applied (the list ends at an empty pattern): " + JoinTokens(parsed.unused);
  SetStatusField(ctx, IDC_STATUS, line);
}

void MarkAllFinderRows(AppContext& ctx) {
  for (int r = 0; r < ListView_GetItemCount(ctx.finder_list); ++r) ListView_SetCheckState(ctx.finder_list, r, true);
}

void UnmarkAllFinderRows(AppContext& ctx) {
  for (int r = 0; r < ListView_GetItemCount(ctx.finder_list); ++r) ListView_SetCheckState(ctx.finder_list, r, false);
}

void CopyFinderMarkedFiles(AppContext& ctx) {
  if (ctx.finder_copy_running || ctx.scan_running || !ctx.finder_dlg) return;
  ListView* list = ctx.finder_list;
  int ticked = 0;
  for (int r = 0; r < ListView_GetItemCount(list); ++r) ticked += ListView_GetCheckState(list, r) ? 1 : 0;
  if (ticked == 0) {
    ErrorBox(ctx, "No files are ticked in the Found Files list.");
    return;
  }
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!drive || !vol) {
    ErrorBox(ctx, "No drive is selected: select the physical drive and the logical drive that was scanned.");
    return;
  }
  const std::optional<std::string> folder =
      fe_ChooseFolder(ctx.finder_dlg, "Choose the folder to copy the ticked files into");
  if (!folder) return;
  if (const std::string why = DestinationConflict(*folder, *drive); !why.empty()) {
    ErrorBox(ctx, why);
    return;
  }
  const OutputDir dest = OutputDir::Open(*folder, false);
  if (!dest.ok()) {
    ErrorBox(ctx, "The folder " + *folder + " cannot be opened.");
    return;
  }

  SetFinderMenus(ctx, false);
  ctx.finder_copy_running = 1;
  ctx.stop_copy = 0;
  ctx.active_fs_type = static_cast<std::int32_t>(vol->fs_type);
  ctx.files_done = 0;
  LoadedFats fats(*vol);
  if (vol->fs_type == kFsFat32 && fats.Allocate()) {
    // Without the tables every file would be copied contiguously: still a copy.
    fats.Load(ctx, *drive, 1);
    fats.Load(ctx, *drive, 2);
  }
  CopyTally tally;
  bool stopped = false;
  // Rows are never added or removed while the copy runs (find is refused), so
  // the row count holds for the whole walk.
  for (int r = 0; r < ListView_GetItemCount(list) && !stopped; ++r) {
    if (!ListView_GetCheckState(list, r)) continue;
    auto* f = static_cast<FILE_INODE*>(ListView_GetItemData(list, r));
    if (!f) continue;
    CopyResult result;
    if (vol->fs_type == kFsFat32)
      CopyFat32File(ctx, *drive, *vol, *f, dest, result);
    else if (vol->fs_type == kFsNtfs)
      CopyNtfsFile(ctx, *drive, *vol, *f, dest, result);
    else
      result.outcome = CopyOutcome::Skipped;
    switch (result.outcome) {
      case CopyOutcome::Copied:
        ++tally.copied;
        ListView_SetCheckState(list, r, false);
        f->mark_state = kMarkUnmarked;  // as the main copy leaves what it copied
        break;
      case CopyOutcome::Skipped:
        ++tally.skipped;
        break;
      case CopyOutcome::Failed:
        ++tally.failed;
        break;
      case CopyOutcome::Stopped:
        ++tally.failed;
        stopped = true;
        break;
    }
    tally.bytes += result.bytes;
    ++ctx.files_done;
    if (CheckFinderExit(ctx) == 100 || ctx.stop_copy) stopped = true;
  }
  fats.Release();
  ctx.finder_copy_running = 0;
  ctx.stop_copy = 0;
  if (ctx.finder_progress) Progress_SetPos(ctx.finder_progress, 0);
  SetFinderMenus(ctx, true);
  RecountMarkedFiles(ctx);
  ShowSelectedDirFiles(ctx);
  char line[200];
  std::snprintf(line, sizeof line, "%s %" PRIu64 " files, skipped %" PRIu64 ", failed %" PRIu64 " (%s bytes)",
                stopped ? "Copy stopped: copied" : "Copied", tally.copied, tally.skipped, tally.failed,
                FormatThousands(tally.bytes).c_str());
  SetStatusField(ctx, IDC_STATUS, line);
}

namespace {

int InitFinderDialog(AppContext& ctx, Dialog* dlg) {
  ctx.finder_dlg = dlg;
  ctx.finder_progress = GetProgressBar(dlg, IDC_FINDER_PROGRESS);
  ctx.finder_list = GetListView(dlg, IDC_FINDER_LIST);
  ctx.finder_found = 0;
  if (!ctx.finder_list || !ctx.finder_progress) return 0;
  InsertListColumns(ctx.finder_list, kFinderColumns);
  if (ctx.image_list) ListView_SetImageList(ctx.finder_list, ctx.image_list);
  ListView_SetExtendedStyle(ctx.finder_list, LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  SetDlgItemText(dlg, IDC_FINDER_FOUND, "0");
  SetWindowTitle(dlg, "File Finder and Recovery");
  return 1;
}

void EndFinder(AppContext& ctx, Dialog* dlg) {
  if (ctx.finder_copy_running) return;  // refused while the copy runs
  EndDialog(dlg, 0);
}

void OnFinderCommand(AppContext& ctx, Dialog* dlg, int id) {
  switch (id) {
    case IDM_FINDER_FIND:
      FindSelectedFileTypes(ctx);
      break;
    case IDM_FINDER_COPY:
      CopyFinderMarkedFiles(ctx);
      break;
    case IDM_FINDER_MARK_ALL:
      if (!ctx.finder_copy_running) MarkAllFinderRows(ctx);
      break;
    case IDM_FINDER_UNMARK_ALL:
      if (!ctx.finder_copy_running) UnmarkAllFinderRows(ctx);
      break;
    case IDM_FINDER_STOP_COPY:
      if (ctx.finder_copy_running) ctx.stop_copy = 1;
      break;
    case IDM_FINDER_EXIT:
    case IDCANCEL:
      EndFinder(ctx, dlg);
      break;
    default:
      break;
  }
}

}  // namespace

std::intptr_t FinderDlgProc(Dialog* dlg, const Msg& msg) {
  AppContext& ctx = App();
  switch (msg.kind) {
    case MsgKind::InitDialog:
      if (!InitFinderDialog(ctx, dlg)) EndDialog(dlg, 0);
      return 1;
    case MsgKind::Command:
      OnFinderCommand(ctx, dlg, static_cast<int>(msg.id & 0xFFFF));
      return 1;
    case MsgKind::SysCommand:
      if ((msg.id & 0xFFF0) == SC_CLOSE) {
        EndFinder(ctx, dlg);
        return 1;
      }
      return 0;
    case MsgKind::Notify:
      if (static_cast<int>(msg.id) == IDC_FINDER_LIST && msg.code == NM_CUSTOMDRAW && msg.draw) {
        msg.draw->result = DrawFileListItem(*msg.draw);  // the main file list's colours
        return 1;
      }
      return 0;
    case MsgKind::Close:
      return 0;
  }
  return 0;
}

void OpenFileFinder(AppContext& ctx) {
  if (ctx.scan_running || ctx.finder_copy_running) return;
  RunDialog(IDD_FINDER, FinderDlgProc, ctx.main_dlg);
  ctx.finder_dlg = nullptr;
  ctx.finder_list = nullptr;
  ctx.finder_progress = nullptr;
  ctx.finder_found = 0;
}
