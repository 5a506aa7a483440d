#include <charconv>
#include <cstdio>
#include <string>

#include "app/status.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"

namespace cli {
namespace {

// The row whose device or image path is `path`, or -1.
int RowOfPath(AppContext& ctx, const std::string& path) {
  for (int r = 0; r < ListView_GetItemCount(ctx.phy_list); ++r) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, r));
    if (d && d->device_path == path) return r;
  }
  return -1;
}

void ReportUnknownDrive(AppContext& ctx, const char* verb, const std::string& drive) {
  const int rows = ListView_GetItemCount(ctx.phy_list);
  std::fprintf(stderr, "retrova-cli %s: no drive \"%s\"; ", verb, EscapeText(drive).c_str());
  if (rows == 0) {
    std::fputs("the physical-drive list is empty\n", stderr);
  } else {
    std::fprintf(stderr, "rows 0..%d exist:\n", rows - 1);
    for (int r = 0; r < rows; ++r) {
      const auto* d = static_cast<const PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, r));
      std::fprintf(stderr, "  %d\t%s\n", r, d ? EscapeText(d->device_path).c_str() : "");
    }
  }
  if (!ctx.drive_access_note.empty()) std::fprintf(stderr, "retrova-cli %s: %s\n", verb, EscapeText(ctx.drive_access_note).c_str());
}

}  // namespace

int ResolveDrive(AppContext& ctx, const char* verb, const std::string& drive) {
  int row = -1;
  const bool digits = !drive.empty() && drive.find_first_not_of("0123456789") == std::string::npos;
  if (digits) {
    // Digits are always a row index (an image named so is given as ./NAME);
    // one too large for an int names no row.
    std::uint64_t index = 0;
    const auto [end, err] = std::from_chars(drive.data(), drive.data() + drive.size(), index);
    if (err == std::errc() && end == drive.data() + drive.size() &&
        index < static_cast<std::uint64_t>(ListView_GetItemCount(ctx.phy_list)))
      row = static_cast<int>(index);
  } else {
    // A device already listed is used as it is; any other path is an image.
    row = RowOfPath(ctx, drive);
    if (row < 0 && AddImageFile(ctx, drive)) row = ListView_GetItemCount(ctx.phy_list) - 1;
  }
  if (row < 0) ReportUnknownDrive(ctx, verb, drive);
  return row;
}

}  // namespace cli
