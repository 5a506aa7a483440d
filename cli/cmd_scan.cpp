// retrova-cli scan: the volume mounted at its start sector (or found by the
// partition search), then the fast or slow logical scan of it, printed as the
// directory tree and file lists show it.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/context.h"
#include "app/status.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/headless/headless.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/records.h"
#include "scan/tree.h"
#include "volume/direct_mount.h"
#include "volume/logdrive.h"

namespace cli {
namespace {

int RowOfVolume(AppContext& ctx, std::uint64_t start_lba) {
  for (int r = 0; r < ListView_GetItemCount(ctx.log_list); ++r) {
    const auto* v = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, r));
    if (v && static_cast<std::uint64_t>(v->start_lba) == start_lba) return r;
  }
  return -1;
}

void ReportUnknownVolume(AppContext& ctx, const char* verb, std::uint64_t volume) {
  const int rows = ListView_GetItemCount(ctx.log_list);
  std::fprintf(stderr, "retrova-cli %s: no volume at Logical LBA %" PRIu64 "; ", verb, volume);
  if (rows == 0) {
    std::fputs("the search found no volume\n", stderr);
    return;
  }
  std::fputs("the logical-drive list has:\n", stderr);
  for (int r = 0; r < rows; ++r) {
    const auto* v = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, r));
    std::fprintf(stderr, "  %" PRId64 "\t%s\n", v ? v->start_lba : std::int64_t{0},
                 EscapeName(ListView_GetItemText(ctx.log_list, r, 1)).c_str());
  }
}

std::string RecordName(const INODE_RECD& r) {
  if (r.posix_name) return std::string(r.posix_name->c_str());
  if (r.short_name) return std::string(r.short_name->c_str());
  return {};
}

// The columns after the path: state, size, date, own number. "Unlinked Data"
// and "Orphan Files" stand for no record: no state, no date.
void PrintColumns(Row& row, std::uint32_t flags, std::uint64_t size, const FILE_INODE& dated, std::uint64_t own_number) {
  if (!(flags & kRecInUse) && (flags & kRecSynthetic)) {
    row.Text("synthetic").Number(size).Text("").Number(own_number).Print();
    return;
  }
  static std::string date;  // reused: a row per file
  date.clear();
  AppendFileDateText(date, dated);
  row.Text((flags & kRecInUse) ? "in-use" : "deleted").Number(size).Text(date).Number(own_number).Print();
}

void PrintLine(const Field& path, std::uint32_t flags, std::uint64_t size, const FILE_INODE& dated,
               std::uint64_t own_number) {
  Row row;
  row.Add(path);
  PrintColumns(row, flags, size, dated, own_number);
}

void PrintFileRow(const Field& dir_path, const FILE_INODE& f) {
  Row row;
  row.Child(dir_path, f.name);
  PrintColumns(row, f.record_flags, f.data_size, f, f.own_number);
}

// Items reached by walking down from Root are in the tree: their records are
// read directly (GetItemRecord would climb to the top for each one).
const INODE_RECD* WalkedRecord(const TreeItem* item) { return static_cast<const INODE_RECD*>(item->data); }

void PrintDirectory(AppContext& ctx, const TreeItem* item, const Field& path, std::uint64_t& lines) {
  const INODE_RECD* r = WalkedRecord(item);
  if (!r) return;
  if (item != ctx.root_item) {
    FILE_INODE dated;
    dated.fat_date = r->fat_date;
    dated.fat_time = r->fat_time;
    dated.write_time = r->write_time;
    PrintLine(path, r->record_flags, r->data_size, dated, r->own_number);
    ++lines;
  }
  const FILE_INODE* f = r->files_head;
  for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir, ++lines)
    PrintFileRow(path, *f);
}

// Root's subtree in tree order: each directory, its files, then its
// subdirectories. An explicit stack, as trees from damaged volumes can be
// deep, holding only the path being walked: one frame per level with the
// next sibling to visit, so a directory with many subdirectories costs no
// memory per subdirectory. Returns the number of lines printed.
std::uint64_t PrintTree(AppContext& ctx) {
  if (!ctx.root_item) return 0;
  struct Frame {
    const TreeItem* next;  // the next child of this level's directory
    Field path;            // that directory's path
  };
  std::uint64_t lines = 0;
  std::vector<Frame> stack;
  stack.push_back({ctx.root_item->first_child, Field::Text("Root")});
  PrintDirectory(ctx, ctx.root_item, stack.back().path, lines);
  while (!stack.empty()) {
    const TreeItem* item = stack.back().next;
    if (!item) {
      stack.pop_back();
      continue;
    }
    stack.back().next = item->next_sibling;
    const INODE_RECD* r = WalkedRecord(item);
    Field path = Field::Child(stack.back().path, r ? RecordName(*r) : std::string());
    PrintDirectory(ctx, item, path, lines);
    stack.push_back({item->first_child, std::move(path)});
  }
  return lines;
}

}  // namespace

// The scan of a saved-scan file: the "Load Scan" command answered with it.
int LoadSavedScan(Session& s, const ScanOptions& o, const char* verb, ScannedVolume& out) {
  AppContext& ctx = App();
  const int errors = ErrorBoxes();
  headless::AnswerOpenFile(o.load);
  s.Command(IDM_LOAD_SCAN);
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (ErrorBoxes() != errors || !drive || !vol || !ctx.root_item) {
    std::fprintf(stderr, "retrova-cli %s: the saved scan \"%s\" was not loaded\n", verb, EscapeText(o.load).c_str());
    return 1;
  }
  out.drive = drive;
  out.vol = vol;
  return -1;
}

void PrintFileLine(const Field& path, const FILE_INODE& f) {
  PrintLine(path, f.record_flags, f.data_size, f, f.own_number);
}

int ScanVolume(Session& s, const ScanOptions& o, const char* verb, ScannedVolume& out) {
  AppContext& ctx = App();
  if (!o.load.empty()) return LoadSavedScan(s, o, verb, out);
  const int drive_row = ResolveDrive(ctx, verb, o.drive);
  if (drive_row < 0) return 2;
  s.ClickRow(IDC_PHY_LIST, drive_row);
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, drive_row));
  if (!drive) return 2;

  // The volume's own start sector is enough to mount it; the whole drive is
  // read only when that finds nothing there, or when asked to.
  if (o.search || !MountVolumeAt(ctx, *drive, o.volume)) s.Command(IDM_SCAN_PHYSICAL);

  const int volume_row = RowOfVolume(ctx, o.volume);
  if (volume_row < 0) {
    ReportUnknownVolume(ctx, verb, o.volume);
    return 2;
  }
  s.ClickRow(IDC_LOG_LIST, volume_row);
  auto* vol = static_cast<LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, volume_row));
  if (!vol || (vol->fs_type != kFsFat32 && vol->fs_type != kFsNtfs)) {
    std::fprintf(stderr, "retrova-cli %s: the volume at %" PRIu64 " is %s, which is listed but not scanned\n", verb,
                 o.volume, EscapeName(ListView_GetItemText(ctx.log_list, volume_row, 1)).c_str());
    return 1;
  }
  s.Command(o.slow ? IDM_SLOW_LOGICAL : IDM_FAST_LOGICAL);
  // The fast NTFS scan reads through the $MFT's own record; without it nothing was read.
  if (vol->fs_type == kFsNtfs && !o.slow && !ctx.mft_inode) {
    std::fprintf(stderr,
                 "retrova-cli %s: the $MFT record of the volume at %" PRIu64
                 " could not be decoded; the fast scan did not start (--slow searches the whole volume)\n",
                 verb, o.volume);
    return 1;
  }
  out.drive = drive;
  out.vol = vol;
  return -1;
}

int CmdScan(const ScanOptions& o) {
  Session s(o.images);
  AppContext& ctx = App();
  ScannedVolume sv;
  if (const int status = ScanVolume(s, o, "scan", sv); status >= 0) return status;
  const LOGDRIVE_INFO* vol = sv.vol;
  PHYDRIVE_INFO* drive = sv.drive;
  const std::uint64_t lines = PrintTree(ctx);
  std::fflush(stdout);  // the table first, then the summary, also when both go to one pipe
  std::fprintf(stderr, "T-Dirs %s  T-Files %s\n", GetDlgItemText(ctx.main_dlg, IDC_T_DIRS).c_str(),
               GetDlgItemText(ctx.main_dlg, IDC_T_FILES).c_str());
  // A volume reaching past the drive's end (a truncated image) that gave
  // nothing at all was not read: an empty tree is no result to succeed with.
  if (lines == 0 && SectorsPastDriveEnd(*vol, *drive) > 0) {
    std::fprintf(stderr, "retrova-cli scan: nothing of the volume at %" PRId64 " could be read\n", vol->start_lba);
    return 1;
  }
  s.LeaveStanding();
  return ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
