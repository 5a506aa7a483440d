// The physical-drive list: the machine's drives and the image files added as
// drives, one row each, the row's item data being the drive's record.
#include "disk/drive_list.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <new>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/shell.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/controls.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"

namespace {

constexpr std::size_t kMaxDrives = 26;

}  // namespace

DriveSource& CurrentDriveSource() {
  static DriveSource source;
  return source;
}

std::string DriveAccessNote(const std::vector<std::string>& denied, int err, bool root) {
  if (denied.empty()) return {};
  std::string note = "cannot read ";
  constexpr std::size_t kNamed = 3;
  for (std::size_t i = 0; i < denied.size() && i < kNamed; ++i) note += (i ? ", " : "") + denied[i];
  if (denied.size() > kNamed) note += " and " + std::to_string(denied.size() - kNamed) + " more";
  note += ": " + sys_ErrorText(err);
  // Refused to root (a container's device policy): no right to ask for.
  if (root) return note + " (refused even to root)";
  note += "; run as root";
  // Name the group only where joining it would help: the node is readable by
  // a group other than root's (usually "disk").
  if (std::optional<std::string> group = sys_ReadingGroup(denied.front()))
    note += " or add your user to the '" + *group + "' group";
  return note;
}

int EnumPhyDrives(AppContext& ctx) {
  const DriveSource& src = CurrentDriveSource();
  std::vector<std::string> devices = sys_ListDiskDevices(src.sysfs_block, src.dev_dir);
  std::vector<std::string> denied;
  int denied_err = 0;
  for (std::size_t n = 0; n < kMaxDrives && n < devices.size(); ++n) {
    PHYDRIVE_INFO* d = OpenPhyDrive(static_cast<std::uint32_t>(n), devices[n]);
    if (d == nullptr) {
      // A drive the user may not open would otherwise just be missing.
      const int err = sys_LastError();
      if (err == EACCES || err == EPERM) {
        denied.push_back(devices[n]);
        if (denied_err == 0) denied_err = err;
      }
      continue;
    }
    if (!AddPHYDrive(ctx, d)) FreePhyDrive(d);
  }
  ctx.drive_access_note = DriveAccessNote(denied, denied_err, ::geteuid() == 0);
  if (!ctx.drive_access_note.empty()) {
    DebugPrint("EnumPhyDrives: %s", ctx.drive_access_note.c_str());
    SetStatusField(ctx, IDC_STATUS, ctx.drive_access_note);
  }
  return 1;
}

int AddPHYDrive(AppContext& ctx, PHYDRIVE_INFO* d) {
  if (d == nullptr) return 0;
  ListView* list = ctx.phy_list;
  int index = list ? ListView_GetItemCount(list) : 0;
  std::snprintf(d->name, sizeof d->name, "Phy ID %d", index);
  int row = list ? ListView_InsertItem(list, index, std::to_string(index), 0, d) : -1;
  if (row < 0) {
    fe_MessageBox(nullptr, "AddPHYDrive: InsertItem FAILED", kProductTitle, MB_OK);
    return 0;
  }
  char size[64];
  std::snprintf(size, sizeof size, "%.2f GB", static_cast<double>(d->total_sectors) / 2097152.0);
  ListView_SetItemText(list, row, 1, d->model);
  ListView_SetItemText(list, row, 2, size);
  return 1;
}

void CloseAllDrives(AppContext& ctx) {
  ListView* list = ctx.phy_list;
  if (list == nullptr) return;
  for (ListRow& row : list->rows) {
    auto* d = static_cast<PHYDRIVE_INFO*>(row.data);
    if (d == nullptr) continue;
    // Anything still pointing at the record must not outlive it.
    if (ctx.clone_source == d) ctx.clone_source = nullptr;
    if (ctx.clone_destination == d) ctx.clone_destination = nullptr;
    if (ctx.wipe_target == d) ctx.wipe_target = nullptr;
    FreePhyDrive(d);
    row.data = nullptr;
  }
  ++list->version;
}

int AddImageFile(AppContext& ctx, const std::string& path) {
  std::string reason, image_problem;
  PHYDRIVE_INFO* d = OpenImageDrive(path, reason, &image_problem);
  if (!d) {
    DebugPrint("AddImageFile: %s: %s", path.c_str(), reason.c_str());
    // A container that cannot be read says why (a missing parent, a cut
    // segment); a system error keeps the short message.
    const std::string why = image_problem.empty() ? std::string() : ":\n" + image_problem;
    fe_MessageBox(nullptr, "Could not open " + path + why, "** Error **", MB_OK | MB_ICONSTOP);
    return 0;
  }
  if (!AddPHYDrive(ctx, d)) {
    FreePhyDrive(d);
    return 0;
  }
  return 1;
}

void AddFileToDataStream(AppContext& ctx) {
  std::optional<std::string> path = fe_ChooseOpenFile(ctx.main_dlg, "/");
  if (!path) return;
  AddImageFile(ctx, *path);
}
