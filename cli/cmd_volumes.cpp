#include <cinttypes>
#include <cstdio>
#include <string>

#include "app/context.h"
#include "cli/cli.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "res/ids.h"
#include "volume/logdrive.h"

namespace cli {
namespace {

bool IsRowIndex(const std::string& s) {
  return !s.empty() && s.size() < 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

// The row whose device or image path is `path`, or -1.
int RowOfPath(const std::string& path) {
  ListView* list = App().phy_list;
  for (int r = 0; r < ListView_GetItemCount(list); ++r) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(list, r));
    if (d && d->device_path == path) return r;
  }
  return -1;
}

void ReportUnknownDrive(const std::string& drive) {
  ListView* list = App().phy_list;
  const int rows = ListView_GetItemCount(list);
  std::fprintf(stderr, "retrova-cli volumes: no drive \"%s\"; ", drive.c_str());
  if (rows == 0) {
    std::fputs("the physical-drive list is empty\n", stderr);
    return;
  }
  std::fprintf(stderr, "rows 0..%d exist:\n", rows - 1);
  for (int r = 0; r < rows; ++r) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(list, r));
    std::fprintf(stderr, "  %d\t%s\n", r, d ? d->device_path.c_str() : "");
  }
}

}  // namespace

int CmdVolumes(const std::vector<std::string>& args) {
  std::string drive;
  std::vector<std::string> images;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--image") {
      if (i + 1 == args.size()) {
        std::fputs("retrova-cli volumes: --image needs a path\n", stderr);
        return 2;
      }
      images.push_back(args[++i]);
    } else if (drive.empty()) {
      drive = args[i];
    } else {
      std::fprintf(stderr, "retrova-cli volumes: unexpected argument \"%s\"\n", args[i].c_str());
      return 2;
    }
  }
  if (drive.empty()) {
    std::fputs("usage: retrova-cli volumes DRIVE [--image IMAGE...]\n", stderr);
    return 2;
  }

  Session s(images);
  AppContext& ctx = App();
  int row = -1;
  if (IsRowIndex(drive)) {
    row = std::stoi(drive);
    if (row >= ListView_GetItemCount(ctx.phy_list)) row = -1;
  } else {
    // A device already listed is used as it is; any other path is an image.
    row = RowOfPath(drive);
    if (row < 0 && AddImageFile(ctx, drive)) row = ListView_GetItemCount(ctx.phy_list) - 1;
  }
  if (row < 0) {
    ReportUnknownDrive(drive);
    return 2;
  }

  s.ClickRow(IDC_PHY_LIST, row);
  s.Command(IDM_SCAN_PHYSICAL);

  ListView* list = ctx.log_list;
  for (int r = 0; r < ListView_GetItemCount(list); ++r) {
    const auto* vol = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(list, r));
    std::printf("%s\t%s\t%s\t%" PRIu32 "\t%" PRId64 "\n", ListView_GetItemText(list, r, 0).c_str(),
                ListView_GetItemText(list, r, 1).c_str(), ListView_GetItemText(list, r, 2).c_str(),
                vol ? vol->fs_type : 0u, vol ? vol->mount_flags : std::int64_t{0});
  }
  return ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
