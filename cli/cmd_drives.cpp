#include <cstdio>

#include "app/context.h"
#include "cli/cli.h"
#include "disk/phydrive.h"

namespace cli {

int CmdDrives(const std::vector<std::string>& images) {
  Session s(images);
  AppContext& ctx = App();
  const int rows = ListView_GetItemCount(ctx.phy_list);
  for (int r = 0; r < rows; ++r) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(ctx.phy_list, r));
    std::printf("%s\t%s\t%s\t%s\n", ListView_GetItemText(ctx.phy_list, r, 0).c_str(),
                ListView_GetItemText(ctx.phy_list, r, 1).c_str(), ListView_GetItemText(ctx.phy_list, r, 2).c_str(),
                d ? d->device_path.c_str() : "");
  }
  return ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
