// Disk images as drives: a file's bytes are the sectors of one more row of
// the physical-drive list.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "app/context.h"
#include "app/shell.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"

void FillImageDriveInfo(PHYDRIVE_INFO& d, const std::string& path, std::uint64_t size_bytes) {
  std::memset(d.model, 0, sizeof d.model);
  std::memcpy(d.model, path.data(), std::min(path.size(), sizeof d.model - 1));
  std::memset(d.serial, 0, sizeof d.serial);
  std::memset(d.firmware, 0, sizeof d.firmware);
  d.drive_number = 0;
  // A partial last sector is still a sector: its bytes can be read.
  d.total_sectors = size_bytes / kSectorSize + (size_bytes % kSectorSize != 0 ? 1 : 0);
  d.heads = 255;
  d.sectors_per_track = 63;
  d.sectors_per_cylinder = 255 * 63;
  d.cylinders = d.total_sectors / d.sectors_per_cylinder;
  d.size_mb = static_cast<std::int64_t>(d.total_sectors / 2048);
  d.read_errors = 0;
  d.device_path = path;
}

int AddImageFile(AppContext& ctx, const std::string& path) {
  PHYDRIVE_INFO* d = new (std::nothrow) PHYDRIVE_INFO{};
  if (d == nullptr) return 0;
  DevHandle h = sys_OpenRead(path);
  // Only something with sectors is a drive: a directory opens but has none.
  std::optional<std::uint64_t> size = h != kNoDevice ? sys_GetSize(h) : std::nullopt;
  if (!size) {
    const int err = sys_LastError();
    sys_Close(h);
    delete d;
    DebugPrint("AddImageFile: %s: %s", path.c_str(), sys_ErrorText(err).c_str());
    std::string text = "Could not open " + path;
    fe_MessageBox(nullptr, text, "** Error **", MB_OK | MB_ICONSTOP);
    return 0;
  }
  FillImageDriveInfo(*d, path, *size);
  d->handle = h;
  if (!AddPHYDrive(ctx, d)) {
    sys_Close(h);
    delete d;
    return 0;
  }
  return 1;
}

void AddFileToDataStream(AppContext& ctx) {
  std::optional<std::string> path = fe_ChooseOpenFile(ctx.main_dlg, "/");
  if (!path) return;
  AddImageFile(ctx, *path);
}
