#include "app/context.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "res/ids.h"
#include "volume/logdrive.h"

namespace cli {

int CmdVolumes(const std::string& drive, const std::vector<std::string>& images) {
  Session s(images);
  AppContext& ctx = App();
  const int row = ResolveDrive(ctx, "volumes", drive);
  if (row < 0) return 2;

  s.ClickRow(IDC_PHY_LIST, row);
  s.Command(IDM_SCAN_PHYSICAL);

  ListView* list = ctx.log_list;
  for (int r = 0; r < ListView_GetItemCount(list); ++r) {
    const auto* vol = static_cast<const LOGDRIVE_INFO*>(ListView_GetItemData(list, r));
    // The file-system name comes from the boot record: disk bytes.
    PrintRow({Field::Text(ListView_GetItemText(list, r, 0)), Field::Name(ListView_GetItemText(list, r, 1)),
              Field::Text(ListView_GetItemText(list, r, 2)), Field::Number(vol ? vol->fs_type : 0u),
              Field::Signed(vol ? vol->mount_flags : 0)});
  }
  return ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
