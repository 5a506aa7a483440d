#include "scan/display.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "app/status.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "scan/tree.h"

namespace {

// Each file list is walked at most file_count steps: a list from a damaged
// saved file may be shorter than its count or loop.
template <typename Fn>
void ForEachFile(const INODE_RECD& dir, Fn&& fn) {
  FILE_INODE* f = dir.files_head;
  for (std::uint64_t i = 0; i < dir.file_count && f; ++i, f = f->next_in_dir) fn(*f);
}

void SetMarkOnFiles(INODE_RECD* dir, std::uint32_t mark) {
  if (dir) ForEachFile(*dir, [mark](FILE_INODE& f) { f.mark_state = mark; });
}

void TickAncestors(TreeView* tv, TreeItem* item) {
  for (TreeItem* p = TreeView_GetParent(tv, item); p; p = TreeView_GetParent(tv, p)) TreeView_SetCheckState(tv, p, true);
}

// Sets the tick and the files' marks on item and every item below it.
void ApplyToSubtree(AppContext& ctx, TreeItem* item, bool mark) {
  const std::uint32_t state = mark ? kMarkMarked : kMarkUnmarked;
  std::vector<TreeItem*> stack{item};
  while (!stack.empty()) {
    TreeItem* it = stack.back();
    stack.pop_back();
    TreeView_SetCheckState(ctx.dir_tree, it, mark);
    SetMarkOnFiles(GetItemRecord(ctx, it), state);
    for (TreeItem* c = TreeView_GetChild(it); c; c = TreeView_GetNextSibling(c)) stack.push_back(c);
  }
}

}  // namespace

CalendarTime FileTimeToCalendar(std::uint64_t filetime) {
  const std::int64_t secs = static_cast<std::int64_t>(filetime / 10'000'000ULL);
  const std::int64_t rem = secs % 86400;
  // Days since 1970-01-01 (1601-01-01 is 134774 days before it), then the
  // civil calendar from a day count (eras of 400 years starting in March).
  const std::int64_t z = secs / 86400 - 134774 + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return CalendarTime{static_cast<int>(y), static_cast<int>(m), static_cast<int>(d), static_cast<int>(rem / 3600),
                      static_cast<int>((rem / 60) % 60), static_cast<int>(rem % 60)};
}

void AppendFileDateText(std::string& out, const FILE_INODE& f) {
  int month, day, year, hour, minute;
  if (f.write_time != 0) {
    const CalendarTime t = FileTimeToCalendar(f.write_time);
    month = t.month;
    day = t.day;
    year = t.year;
    hour = t.hour;
    minute = t.minute;
  } else {
    day = f.fat_date & 0x1F;
    month = (f.fat_date >> 5) & 0x0F;
    year = ((f.fat_date >> 9) & 0x7F) + 1980;
    hour = (f.fat_time >> 11) & 0x1F;
    minute = (f.fat_time >> 5) & 0x3F;
  }
  // "%02d-%02d-%04d %02d:%02d" into a local buffer, by hand: listings format
  // a date per file, and this runs a million times for a large volume.
  char text[64];
  char* at = text;
  auto put = [&at](int v, int width) {
    if (v < 0) {
      *at++ = '-';
      v = -v;
    }
    char digits[12];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v > 0 && n < 11);
    for (int i = n; i < width; ++i) *at++ = '0';
    while (n > 0) *at++ = digits[--n];
  };
  // Fields inside their widths, as nearly every date's are, go digit by digit.
  auto two = [&](int v) {
    if (v < 0 || v > 99) return put(v, 2);
    *at++ = static_cast<char>('0' + v / 10);
    *at++ = static_cast<char>('0' + v % 10);
  };
  two(month);
  *at++ = '-';
  two(day);
  *at++ = '-';
  if (year >= 0 && year <= 9999) {
    two(year / 100);
    two(year % 100);
  } else {
    put(year, 4);
  }
  *at++ = ' ';
  two(hour);
  *at++ = ':';
  two(minute);
  out.append(text, static_cast<std::size_t>(at - text));
}

std::string FileDateText(const FILE_INODE& f) {
  std::string out;
  AppendFileDateText(out, f);
  return out;
}

int AddFileToDisplayList(AppContext& ctx, FILE_INODE* f) {
  if (!f || f->name.empty()) return -1;
  const int index = ListView_GetItemCount(ctx.file_list);
  const int row =
      ListView_InsertItem(ctx.file_list, index, f->name, (f->record_flags & kRecInUse) ? 5 : 6, f);
  if (row < 0) {
    fe_MessageBox(ctx.main_dlg, "AddFileToDisplayList: InsertItem FAILED", kProductTitle, MB_OK);
    return -1;
  }
  ListView_SetItemText(ctx.file_list, row, 1, FileDateText(*f));
  char size[32];
  std::snprintf(size, sizeof size, "%" PRIu64, f->data_size);
  ListView_SetItemText(ctx.file_list, row, 2, size);
  if (f->mark_state == kMarkMarked) ListView_SetCheckState(ctx.file_list, row, true);
  return row;
}

void ShowDirItemFiles(AppContext& ctx, TreeItem* item) {
  ListView_DeleteAllItems(ctx.file_list);
  INODE_RECD* dir = GetItemRecord(ctx, item);
  if (!dir || dir->file_count == 0) return;
  ForEachFile(*dir, [&ctx](FILE_INODE& f) { AddFileToDisplayList(ctx, &f); });
}

void ShowSelectedDirFiles(AppContext& ctx) { ShowDirItemFiles(ctx, ctx.dir_tree ? ctx.dir_tree->selection : nullptr); }

int RecountMarkedFiles(AppContext& ctx) {
  std::uint64_t bytes = 0, files = 0;
  std::vector<TreeItem*> stack;
  for (TreeItem* top = TreeView_GetRoot(ctx.dir_tree); top; top = TreeView_GetNextSibling(top)) {
    stack.push_back(top);
    while (!stack.empty()) {
      TreeItem* it = stack.back();
      stack.pop_back();
      if (const INODE_RECD* dir = GetItemRecord(ctx, it); dir && dir->file_count != 0)
        ForEachFile(*dir, [&](const FILE_INODE& f) {
          if (f.mark_state == kMarkMarked) {
            bytes += f.data_size;
            ++files;
          }
        });
      for (TreeItem* c = TreeView_GetChild(it); c; c = TreeView_GetNextSibling(c)) stack.push_back(c);
    }
  }
  SetStatusCount(ctx, IDC_M_BYTES, bytes);
  SetStatusCount(ctx, IDC_M_FILES, files);
  return bytes != 0 ? 1 : 0;
}

void FileListClick(AppContext& ctx, const Hit& hit) {
  if (hit.row < 0 || hit.row >= ListView_GetItemCount(ctx.file_list)) return;
  if (hit.part != HitPart::CheckBox) return;
  auto* f = static_cast<FILE_INODE*>(ListView_GetItemData(ctx.file_list, hit.row));
  if (!f) return;
  if (!ListView_GetCheckState(ctx.file_list, hit.row)) {
    // Unticked now: this click ticks it.
    f->mark_state = kMarkMarked;
    if (TreeItem* sel = ctx.dir_tree->selection) {
      TreeView_SetCheckState(ctx.dir_tree, sel, true);
      TickAncestors(ctx.dir_tree, sel);
    }
  } else {
    f->mark_state = kMarkUnmarked;
  }
  RecountMarkedFiles(ctx);
}

void DirTreeClick(AppContext& ctx, const Hit& hit) {
  TreeItem* item = hit.item;
  if (!item || !item->alive) return;
  if (hit.part == HitPart::Label) {
    ShowDirItemFiles(ctx, item);
    return;
  }
  if (hit.part != HitPart::CheckBox) return;
  const bool mark = !TreeView_GetCheckState(item);
  SetMarkOnFiles(GetItemRecord(ctx, item), mark ? kMarkMarked : kMarkUnmarked);
  // The clicked item's files are shown once, at the end, with their new marks.
  for (TreeItem* c = TreeView_GetChild(item); c; c = TreeView_GetNextSibling(c)) ApplyToSubtree(ctx, c, mark);
  if (mark) TickAncestors(ctx.dir_tree, item);
  if (item == TreeView_GetRoot(ctx.dir_tree))
    for (TreeItem* top = TreeView_GetNextSibling(item); top; top = TreeView_GetNextSibling(top))
      ApplyToSubtree(ctx, top, mark);
  RecountMarkedFiles(ctx);
  ShowDirItemFiles(ctx, item);
}
