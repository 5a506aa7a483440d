#include <cstdio>

#include "app/context.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "disk/phydrive.h"

namespace cli {

int CmdDrives(const std::vector<std::string>& images) {
  Session s(images);
  AppContext& ctx = App();
  const int rows = ListView_GetItemCount(ctx.phy_list);
  for (int r = 0; r < rows; ++r) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(ctx.phy_list, r));
    PrintRow({Field::Text(ListView_GetItemText(ctx.phy_list, r, 0)), Field::Text(ListView_GetItemText(ctx.phy_list, r, 1)),
              Field::Text(ListView_GetItemText(ctx.phy_list, r, 2)), Field::Text(d ? d->device_path : "")});
  }
  // Drives the user may not open are named, with the fix, rather than just missing.
  if (!ctx.drive_access_note.empty()) std::fprintf(stderr, "retrova-cli drives: %s\n", EscapeText(ctx.drive_access_note).c_str());
  return ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
