// retrova-cli scan: the partition search, then the fast or slow logical scan
// of one volume, printed as the directory tree and file lists show it.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "app/context.h"
#include "app/status.h"
#include "cli/cli.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/records.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace cli {
namespace {

constexpr const char kUsage[] = "usage: retrova-cli scan DRIVE VOLUME [--slow] [--image IMAGE...]\n";

bool IsNumber(const std::string& s) {
  return !s.empty() && s.size() < 20 && s.find_first_not_of("0123456789") == std::string::npos;
}

// DRIVE: a row of the physical-drive list, a listed device path, or an image
// file, which is added as a drive. -1 when none of these.
int ResolveDrive(AppContext& ctx, const std::string& drive) {
  const int rows = ListView_GetItemCount(ctx.phy_list);
  if (IsNumber(drive)) {
    const unsigned long row = std::stoul(drive);
    return row < static_cast<unsigned long>(rows) ? static_cast<int>(row) : -1;
  }
  for (int r = 0; r < rows; ++r) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(ctx.phy_list, r));
    if (d && d->device_path == drive) return r;
  }
  return AddImageFile(ctx, drive) ? ListView_GetItemCount(ctx.phy_list) - 1 : -1;
}

int RowOfVolume(AppContext& ctx, std::uint64_t start_lba) {
  for (int r = 0; r < ListView_GetItemCount(ctx.log_list); ++r) {
    const auto* v = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, r));
    if (v && static_cast<std::uint64_t>(v->start_lba) == start_lba) return r;
  }
  return -1;
}

void ReportUnknownVolume(AppContext& ctx, const std::string& volume) {
  const int rows = ListView_GetItemCount(ctx.log_list);
  std::fprintf(stderr, "retrova-cli scan: no volume at Logical LBA %s; ", volume.c_str());
  if (rows == 0) {
    std::fputs("the search found no volume\n", stderr);
    return;
  }
  std::fputs("the logical-drive list has:\n", stderr);
  for (int r = 0; r < rows; ++r) {
    const auto* v = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, r));
    std::fprintf(stderr, "  %" PRId64 "\t%s\n", v ? v->start_lba : std::int64_t{0},
                 ListView_GetItemText(ctx.log_list, r, 1).c_str());
  }
}


std::string RecordName(const INODE_RECD& r) {
  if (r.posix_name) return std::string(r.posix_name->c_str());
  if (r.short_name) return std::string(r.short_name->c_str());
  return {};
}

void PrintLine(const std::string& path, std::uint32_t flags, std::uint64_t size, const FILE_INODE& dated,
               std::uint64_t own_number) {
  std::printf("%s\t%s\t%" PRIu64 "\t%s\t%" PRIu64 "\n", path.c_str(), (flags & kRecInUse) ? "in-use" : "deleted",
              size, FileDateText(dated).c_str(), own_number);
}

// Root's subtree in tree order: each directory, its files, then its
// subdirectories. An explicit stack: trees from damaged volumes can be deep.
void PrintTree(AppContext& ctx) {
  if (!ctx.root_item) return;
  std::vector<std::pair<const TreeItem*, std::string>> stack{{ctx.root_item, "Root"}};
  while (!stack.empty()) {
    auto [item, path] = std::move(stack.back());
    stack.pop_back();
    const INODE_RECD* r = GetItemRecord(ctx, item);
    if (!r) continue;
    if (item != ctx.root_item) {
      FILE_INODE dated;
      dated.fat_date = r->fat_date;
      dated.fat_time = r->fat_time;
      dated.write_time = r->write_time;
      PrintLine(path, r->record_flags, r->data_size, dated, r->own_number);
    }
    const FILE_INODE* f = r->files_head;
    for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir)
      PrintLine(path + "/" + Latin1ToUtf8(f->name), f->record_flags, f->data_size, *f, f->own_number);
    std::vector<const TreeItem*> children;
    for (const TreeItem* c = item->first_child; c; c = c->next_sibling) children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      const INODE_RECD* cr = GetItemRecord(ctx, *it);
      stack.emplace_back(*it, path + "/" + Latin1ToUtf8(cr ? RecordName(*cr) : std::string()));
    }
  }
}

}  // namespace

int CmdScan(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::vector<std::string> images;
  bool slow = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--slow") {
      slow = true;
    } else if (args[i] == "--image") {
      if (i + 1 == args.size()) {
        std::fputs("retrova-cli scan: --image needs a path\n", stderr);
        return 2;
      }
      images.push_back(args[++i]);
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2 || !IsNumber(positional[1])) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string& drive = positional[0];
  const std::string& volume = positional[1];

  Session s(images);
  AppContext& ctx = App();
  const int drive_row = ResolveDrive(ctx, drive);
  if (drive_row < 0) {
    std::fprintf(stderr, "retrova-cli scan: no drive \"%s\" (%d rows in the physical-drive list)\n", drive.c_str(),
                 ListView_GetItemCount(ctx.phy_list));
    return 2;
  }
  s.ClickRow(IDC_PHY_LIST, drive_row);
  s.Command(IDM_SCAN_PHYSICAL);

  const int volume_row = RowOfVolume(ctx, std::stoull(volume));
  if (volume_row < 0) {
    ReportUnknownVolume(ctx, volume);
    return 2;
  }
  s.ClickRow(IDC_LOG_LIST, volume_row);
  const auto* vol = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(ctx.log_list, volume_row));
  if (!vol || (vol->fs_type != kFsFat32 && vol->fs_type != kFsNtfs)) {
    std::fprintf(stderr, "retrova-cli scan: the volume at %s is %s, which is listed but not scanned\n",
                 volume.c_str(), ListView_GetItemText(ctx.log_list, volume_row, 1).c_str());
    return 1;
  }
  s.Command(slow ? IDM_SLOW_LOGICAL : IDM_FAST_LOGICAL);
  PrintTree(ctx);
  std::fflush(stdout);  // the table first, then the summary, also when both go to one pipe
  std::fprintf(stderr, "T-Dirs %s  T-Files %s\n", GetDlgItemText(ctx.main_dlg, IDC_T_DIRS).c_str(),
               GetDlgItemText(ctx.main_dlg, IDC_T_FILES).c_str());
  return ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
