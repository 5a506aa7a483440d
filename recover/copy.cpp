#include "recover/copy.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "fat/fat.h"
#include "platform/frontend.h"
#include "platform/text.h"
#include "recover/output.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace {

CopyObserver& Observer() {
  static CopyObserver observer;
  return observer;
}

// Items reached by walking down from the top are in the tree: their records are read directly.
INODE_RECD* RecordOf(const TreeItem* item) { return item ? static_cast<INODE_RECD*>(item->data) : nullptr; }

std::string FolderName(const INODE_RECD& r) {
  if (r.posix_name) return *r.posix_name;
  if (r.short_name) return *r.short_name;
  return {};
}

void Untick(AppContext& ctx, TreeItem* item) { TreeView_SetCheckState(ctx.dir_tree, item, false); }

void Count(CopyTally& t, const CopyResult& r) {
  switch (r.outcome) {
    case CopyOutcome::Copied:
      ++t.copied;
      break;
    case CopyOutcome::Skipped:
      ++t.skipped;
      break;
    case CopyOutcome::Failed:
    case CopyOutcome::Stopped:
      ++t.failed;
      break;
  }
  t.bytes += r.bytes;
}

// One level of a walk: the sibling chain still to visit, the folder its
// directories go into, and the item whose children the chain is (unticked
// when the chain is done).
struct Level {
  TreeItem* next = nullptr;
  TreeItem* owner = nullptr;
  OutputDir own;                      // the folder made for owner
  const OutputDir* outer = nullptr;   // or the destination itself
  std::string folder;                 // relative to the destination
  const OutputDir& dir() const { return outer ? *outer : own; }
};

// Both walks, without recursion (trees of damaged volumes can be deep).
int Walk(CopyRun& run, TreeItem* first, const OutputDir& dest, bool with_dirs) {
  std::vector<Level> stack;
  stack.push_back(Level{first, nullptr, OutputDir(), &dest, std::string()});
  while (!stack.empty()) {
    Level& level = stack.back();
    TreeItem* item = level.next;
    INODE_RECD* r = RecordOf(item);
    if (!r) {
      TreeItem* owner = level.owner;
      stack.pop_back();
      if (owner) Untick(run.ctx, owner);
      continue;
    }
    level.next = TreeView_GetNextSibling(item);
    const bool ticked = TreeView_GetCheckState(item);
    if (!with_dirs) {
      if (ticked && CopyDirectoryFiles(run, item, *r, dest, std::string()) == 0) return 0;
      stack.push_back(Level{TreeView_GetChild(item), item, OutputDir(), &dest, std::string()});
      continue;
    }
    if (!ticked) continue;  // neither its files nor its subdirectories
    std::string used;
    OutputDir sub = CreateOutputFolder(level.dir(), FolderName(*r), r->own_number, used);
    if (!sub.ok()) {
      Untick(run.ctx, item);  // skipped with its subtree
      continue;
    }
    std::string folder = level.folder.empty() ? used : level.folder + "/" + used;
    if (CopyDirectoryFiles(run, item, *r, sub, folder) == 0) return 0;
    stack.push_back(Level{TreeView_GetChild(item), item, std::move(sub), nullptr, std::move(folder)});
  }
  return 1;
}

void ShowBox(AppContext& ctx, const std::string& text) {
  fe_MessageBox(ctx.main_dlg, text, "** Error **", MB_OK | MB_ICONSTOP);
}

std::string ReadSmallFile(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::string s;
  std::getline(in, s);
  return s;
}

bool ParseDev(const std::string& s, dev_t& dev) {
  unsigned maj = 0, min = 0;
  if (std::sscanf(s.c_str(), "%u:%u", &maj, &min) != 2) return false;
  dev = makedev(maj, min);
  return true;
}

}  // namespace

void SetCopyObserver(CopyObserver observer) { Observer() = std::move(observer); }

ProgressBar* PerFileProgressBar(AppContext& ctx) {
  return ctx.finder_copy_running && ctx.finder_progress ? ctx.finder_progress : ctx.progress_bar2;
}

int CopyDirectoryFiles(CopyRun& run, const TreeItem* item, INODE_RECD& dir, const OutputDir& out,
                       const std::string& folder) {
  if (dir.file_count == 0) return 1;
  AppContext& ctx = run.ctx;
  FILE_INODE* f = dir.files_head;
  for (std::uint64_t i = 0; i < dir.file_count && f; ++i, f = f->next_in_dir) {
    if (f->mark_state != kMarkMarked) continue;
    CopyResult result;
    switch (ctx.active_fs_type) {
      case kFsFat32:
        CopyFat32File(ctx, run.drive, run.vol, *f, out, result);
        break;
      case kFsNtfs:
        CopyNtfsFile(ctx, run.drive, run.vol, *f, out, result);
        break;
      default:
        result.outcome = CopyOutcome::Skipped;  // no copy for this volume type
        break;
    }
    Count(run.tally, result);
    if (Observer()) Observer()(item, *f, folder, result);
    f->mark_state = kMarkUnmarked;
    ++ctx.files_done;
    if (ctx.files_done % 100 == 0 && ctx.progress_bar) Progress_StepIt(ctx.progress_bar);
  }
  return CheckTerminate(IDM_TERMINATE_SCAN) == 1 ? 0 : 1;
}

int CopyMarkedFilesWithDirs(CopyRun& run, TreeItem* first, const OutputDir& dest) {
  return Walk(run, first, dest, true);
}

int CopyMarkedFilesFlat(CopyRun& run, TreeItem* first, const OutputDir& dest) { return Walk(run, first, dest, false); }

std::uint64_t CountMarkedFiles(const AppContext& ctx) {
  std::uint64_t n = 0;
  std::vector<const TreeItem*> stack;
  for (const TreeItem* top = TreeView_GetRoot(ctx.dir_tree); top; top = TreeView_GetNextSibling(top)) {
    stack.push_back(top);
    while (!stack.empty()) {
      const TreeItem* it = stack.back();
      stack.pop_back();
      if (const INODE_RECD* r = RecordOf(it)) {
        const FILE_INODE* f = r->files_head;
        for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir)
          if (f->mark_state == kMarkMarked) ++n;
      }
      for (const TreeItem* c = TreeView_GetChild(it); c; c = TreeView_GetNextSibling(c)) stack.push_back(c);
    }
  }
  return n;
}

CopyTally CopyMarkedFiles(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, const OutputDir& dest,
                          bool with_dirs) {
  CopyRun run{ctx, drive, vol, {}};
  ctx.active_fs_type = static_cast<std::int32_t>(vol.fs_type);
  ctx.files_done = 0;
  if (ctx.progress_bar) {
    const std::uint64_t steps = CountMarkedFiles(ctx) / 100;
    Progress_SetRange32(ctx.progress_bar, 0, static_cast<std::int32_t>(std::min<std::uint64_t>(steps, INT32_MAX)));
    Progress_SetStep(ctx.progress_bar, 1);
    Progress_SetPos(ctx.progress_bar, 0);
  }
  LoadedFats fats(vol);
  if (vol.fs_type == kFsFat32 && fats.Allocate()) {
    // Without the tables every file would be copied contiguously: still a copy.
    fats.Load(ctx, drive, 1);
    fats.Load(ctx, drive, 2);
  }
  if (TreeItem* first = TreeView_GetRoot(ctx.dir_tree))
    with_dirs ? CopyMarkedFilesWithDirs(run, first, dest) : CopyMarkedFilesFlat(run, first, dest);
  fats.Release();
  if (ctx.progress_bar) Progress_SetPos(ctx.progress_bar, 0);
  return run.tally;
}

void CopyMarkedFilesCommand(AppContext& ctx, bool with_dirs) {
  if (ctx.scan_running || ctx.finder_copy_running) return;
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!drive || !vol) {
    ShowBox(ctx, "No drive is selected: select the physical drive and the logical drive that was scanned.");
    return;
  }
  RecountMarkedFiles(ctx);
  if (CountMarkedFiles(ctx) == 0) {
    ShowBox(ctx, "No files have been marked.");
    return;
  }
  const std::optional<std::string> folder =
      fe_ChooseFolder(ctx.main_dlg, "Choose the folder to copy the marked files into");
  if (!folder) return;
  if (const std::string why = DestinationConflict(*folder, *drive); !why.empty()) {
    ShowBox(ctx, why);
    return;
  }
  const OutputDir dest = OutputDir::Open(*folder, false);
  if (!dest.ok()) {
    ShowBox(ctx, "The folder " + *folder + " cannot be opened.");
    return;
  }
  // The copy pumps the queue: no scan may tear down the tree it walks.
  ctx.scan_running = 1;
  SetScanMenus(ctx, false);
  const CopyTally t = CopyMarkedFiles(ctx, *drive, *vol, dest, with_dirs);
  SetScanMenus(ctx, true);
  ctx.scan_running = 0;
  RecountMarkedFiles(ctx);
  ShowSelectedDirFiles(ctx);
  char line[160];
  std::snprintf(line, sizeof line, "Copied %" PRIu64 " files, skipped %" PRIu64 ", failed %" PRIu64 " (%s bytes)",
                t.copied, t.skipped, t.failed, FormatThousands(t.bytes).c_str());
  SetStatusField(ctx, IDC_STATUS, line);
}

bool DeviceOnDrive(dev_t folder_dev, dev_t drive_dev, const std::string& sys_dev_block) {
  namespace fs = std::filesystem;
  // From the folder's device down to what it is built on: its whole disk
  // when it is a partition, its slaves when it is stacked. Bounded: the
  // block layer has no cycles, but a damaged or crafted tree might.
  std::vector<dev_t> todo{folder_dev};
  std::set<dev_t> seen;
  while (!todo.empty() && seen.size() < 256) {
    const dev_t d = todo.back();
    todo.pop_back();
    if (d == drive_dev) return true;
    if (!seen.insert(d).second) continue;
    std::error_code ec;
    const fs::path node = fs::path(sys_dev_block) / (std::to_string(major(d)) + ":" + std::to_string(minor(d)));
    const fs::path real = fs::canonical(node, ec);
    if (ec) continue;
    dev_t up{};
    if (fs::exists(real / "partition", ec) && ParseDev(ReadSmallFile(real.parent_path() / "dev"), up))
      todo.push_back(up);
    for (fs::directory_iterator it(real / "slaves", ec), end; !ec && it != end; it.increment(ec))
      if (ParseDev(ReadSmallFile(it->path() / "dev"), up)) todo.push_back(up);
  }
  return false;
}

std::string DestinationConflict(const std::string& folder, const PHYDRIVE_INFO& drive) {
  struct stat fst {}, dst {};
  if (::stat(folder.c_str(), &fst) != 0 || drive.device_path.empty()) return {};
  if (::stat(drive.device_path.c_str(), &dst) != 0 || !S_ISBLK(dst.st_mode)) return {};
  if (!DeviceOnDrive(fst.st_dev, dst.st_rdev)) return {};
  return "The folder " + folder + " lies on " + drive.device_path +
         ", the drive being recovered: copying there would overwrite the data being rescued. "
         "Choose a folder on another drive.";
}
